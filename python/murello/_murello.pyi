"""Type stubs for the native core, murello._murello."""

import os
from collections.abc import Sequence
from typing import ClassVar, Literal, final

import numpy as np
import numpy.typing as npt

from murello._classes import Device

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Chunk = bytes | npt.NDArray[np.int16] | npt.NDArray[np.float32]
_Window = tuple[float, float, float, bool]

__all__ = [
    "VersionInfo",
    "MicrophoneInfo",
    "SpeakerInfo",
    "MicrophoneBridge",
    "SpeakerBridge",
    "FileBridge",
    "FileInfo",
    "info",
    "EchoCanceller",
    "_numpy_smoke",
]

@final
class VersionInfo:
    """Versions of the core, its audio backend and the binding."""

    @property
    def murello(self) -> str: ...
    @property
    def audio_backend(self) -> str: ...
    @property
    def binding(self) -> str: ...

@final
class MicrophoneInfo:
    """A capture device as listed by MicrophoneBridge.devices()."""

    @property
    def index(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def id(self) -> str: ...
    @property
    def max_input_channels(self) -> int: ...
    @property
    def default_sample_rate(self) -> int: ...
    @property
    def is_default(self) -> bool: ...

@final
class SpeakerInfo:
    """A playback device as listed by SpeakerBridge.devices()."""

    @property
    def index(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def id(self) -> str: ...
    @property
    def max_output_channels(self) -> int: ...
    @property
    def default_sample_rate(self) -> int: ...
    @property
    def is_default(self) -> bool: ...

@final
class MicrophoneBridge:
    """Capture from a microphone, conditioned and scored."""

    def __new__(
        cls,
        sample_rate: int,
        channels: int,
        frames_per_buffer: int,
        format: str,
        device: int | str | Device | None = None,
        vad: bool = False,
        vad_threshold: float = 0.5,
        vad_mode: str = ...,
        vad_holdoff: int = 0,
        model_path: _Path | None = None,
        numpy: bool = False,
        ort_library_path: _Path | None = None,
        denoise: str | None = None,
        denoise_model_path: _Path | None = None,
        highpass: int | None = None,
        agc: int | None = None,
        limiter: float | None = None,
        dc_removal: bool = False,
        aec: str | None = None,
        aec_tail_ms: int | None = None,
        aec_suppression: str | None = None,
        aec_reference_sample_rate: int | None = None,
        aec_reference_channels: int | None = None,
        channel_map: Sequence[int] | None = None,
        detector_source: int | None = None,
        echo_reference: SpeakerBridge | None = None,
    ) -> MicrophoneBridge:
        """Capture `frames_per_buffer` frames at a time at `sample_rate` and `channels`,
        whatever the device's own configuration.

        sample_rate: delivered rate in Hz (1000 to 384000).
        channels: delivered channels; more than the device has need `channel_map`, one
            is the mean of the device's channels.
        frames_per_buffer: frames per block handed out (64 to 65536).
        format: "int16" or "float32", the samples of bytes or arrays.
        device: None (the default microphone), an index into devices(), part of a
            device's name (matched ignoring case, exactly one match), or Device(id).
        vad: score every block with the detector of `vad_mode`.
        vad_threshold: speech threshold of the model detector, 0.0 to 1.0.
        vad_mode: "silero" (the model, the default; 8000 or 16000 Hz) or "energy" (the
            RMS).
        vad_holdoff: milliseconds reported back as vad_holdoff_ms for your hold-off.
        model_path: the Silero model file; default the one shipped with murello.
        numpy: hand out arrays instead of bytes (needs NumPy).
        ort_library_path: the ONNX Runtime library; default ORT_DYLIB_PATH, then the
            onnxruntime package's, then the system loader's search.
        denoise: "fastenhancer-t" to run the neural denoiser (needs denoise_model_path).
        denoise_model_path: the denoiser's ONNX model.
        highpass: 80 or 100 Hz high-pass filter.
        agc: automatic gain control target in dBFS, -40 to -3.
        limiter: limiter ceiling in dBFS, -3.0 to 0.0.
        dc_removal: remove a DC offset.
        aec: "tau" to cancel the echo of the far end: what echo_reference plays, or
            what is pushed with push_aec_reference().
        aec_tail_ms: echo tail to model, 16 to 500 ms (default 200).
        aec_suppression: "conservative" (default) or "off": residual echo suppression.
        aec_reference_sample_rate: rate of the pushed reference (default sample_rate).
        aec_reference_channels: channels of the pushed reference (default 1).
        channel_map: device channel for each delivered channel.
        detector_source: the delivered channel the detector hears (default their mean).
        echo_reference: a SpeakerBridge whose audio thread hands the canceller what it
            plays, as it plays it (needs aec; the speaker's rate and channels replace
            aec_reference_sample_rate and aec_reference_channels, which stay unset).
        """
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def close(self) -> None: ...
    def read(self, timeout_ms: int | None = None) -> _Chunk | None: ...
    def __enter__(self) -> MicrophoneBridge: ...
    def __exit__(self, _exc_type: object, _exc_value: object, _traceback: object) -> bool: ...
    def __iter__(self) -> MicrophoneBridge: ...
    def __next__(self) -> _Chunk: ...
    def push_aec_reference(
        self, samples: bytes | npt.NDArray[np.int16] | npt.NDArray[np.float32]
    ) -> None:
        """The far end played by other means, in the order played; dropped without echo
        cancellation or with an `echo_reference` (counted as discarded)."""
    def aec_metrics(self) -> EchoMetrics | None: ...
    @property
    def is_open(self) -> bool: ...
    @property
    def vad_probability(self) -> float: ...
    @property
    def vad_holdoff_ms(self) -> int: ...
    @property
    def overrun_count(self) -> int:
        """Device periods of audio lost: dropped while the reader was 64 periods behind,
        or lost by the device itself in an overrun of its buffer (rounded up to whole
        periods)."""
    @staticmethod
    def devices() -> list[MicrophoneInfo]: ...
    @staticmethod
    def version() -> VersionInfo: ...

@final
class SpeakerBridge:
    """Playback to a speaker: samples written as int16 or float32 bytes or arrays,
    interleaved at `channels`, are played at `sample_rate` as written."""

    def __new__(
        cls,
        sample_rate: int,
        channels: int,
        format: str,
        device: int | str | Device | None = None,
    ) -> SpeakerBridge:
        """Play at `sample_rate` and `channels` as written.

        sample_rate: rate in Hz of what is written; the device's own may differ.
        channels: channels of what is written, interleaved.
        format: "int16" or "float32", the samples of bytes or arrays written.
        device: None (the default speaker), an index into devices(), part of a device's
            name (matched ignoring case, exactly one match), or Device(id).
        """
    def start(self) -> None: ...
    def write(self, samples: bytes | npt.NDArray[np.int16] | npt.NDArray[np.float32]) -> None:
        """Queue samples; blocks while 32 writes wait to be played. NaN and infinities
        play as 0.0, samples beyond +-1.0 as +-1.0; a trailing partial frame waits for
        the rest of its frame in the next write."""
    def drain(self) -> None:
        """Wait until everything written so far has been taken from the queue."""
    def stop(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> SpeakerBridge: ...
    def __exit__(self, _exc_type: object, _exc_value: object, _traceback: object) -> bool: ...
    @staticmethod
    def devices() -> list[SpeakerInfo]: ...
    @property
    def is_playing(self) -> bool:
        """True from start() until stop(), even after the device was lost."""
    @property
    def underrun_count(self) -> int:
        """Samples (all channels) of silence played because nothing was queued."""

@final
class FileBridge:
    """Read, condition, analyse and save audio files and buffers."""

    @staticmethod
    def open(
        path: _Path,
        sample_rate: int = 16000,
        channels: int = 1,
        channel_map: Sequence[int] | None = None,
        format: str = ...,
        vad: bool = False,
        vad_threshold: float = 0.5,
        vad_mode: str = ...,
        vad_holdoff: int = 300,
        model_path: _Path | None = None,
        numpy: bool = False,
        ort_library_path: _Path | None = None,
        denoise: str | None = None,
        denoise_model_path: _Path | None = None,
        highpass: int | None = None,
        agc: int | None = None,
        limiter: float | None = None,
        dc_removal: bool = False,
        detector_source: int | None = None,
    ) -> FileBridge:
        """Open an audio file (WAV, RF64, AIFF, AIFF-C or FLAC) as a source.

        sample_rate: delivered rate in Hz.
        channels: delivered channels; fewer than the source's are their mean (1) or need
            `channel_map`.
        channel_map: source channel for each delivered channel.
        format: "int16" (the default) or "float32", the samples of bytes or arrays read.
        vad: score every read with the detector of `vad_mode` (vad_probability).
        vad_threshold: speech threshold of the model detector, 0.0 to 1.0.
        vad_mode: "silero" (the model, the default; analyze() needs it) or "energy"
            (the RMS).
        vad_holdoff: analyze() merges speech separated by at most this many milliseconds.
        model_path: the Silero model file; default the one shipped with murello.
        numpy: read() returns arrays instead of bytes (needs NumPy).
        ort_library_path: the ONNX Runtime library; default ORT_DYLIB_PATH, then the
            onnxruntime package's, then the system loader's search.
        denoise: "fastenhancer-t" to run the neural denoiser (needs denoise_model_path).
        denoise_model_path: the denoiser's ONNX model.
        highpass: 80 or 100 Hz high-pass filter.
        agc: automatic gain control target in dBFS, -40 to -3.
        limiter: limiter ceiling in dBFS, -3.0 to 0.0.
        dc_removal: remove a DC offset.
        detector_source: the delivered channel the detector hears (default their mean).
        """
    @staticmethod
    def buffer(
        samples: bytes | Sequence[float],
        input_rate: int,
        input_channels: int = 1,
        sample_rate: int = 16000,
        channels: int = 1,
        channel_map: Sequence[int] | None = None,
        format: str = ...,
        vad: bool = False,
        vad_threshold: float = 0.5,
        vad_mode: str = ...,
        vad_holdoff: int = 300,
        model_path: _Path | None = None,
        numpy: bool = False,
        ort_library_path: _Path | None = None,
        denoise: str | None = None,
        denoise_model_path: _Path | None = None,
        highpass: int | None = None,
        agc: int | None = None,
        limiter: float | None = None,
        dc_removal: bool = False,
        detector_source: int | None = None,
    ) -> FileBridge:
        """Use samples in memory as a source: `samples` is a list of floats or
        float32 little-endian bytes, interleaved at `input_channels`, at `input_rate`.

        sample_rate: delivered rate in Hz.
        channels: delivered channels; fewer than the source's are their mean (1) or need
            `channel_map`.
        channel_map: source channel for each delivered channel.
        format: "int16" (the default) or "float32", the samples of bytes or arrays read.
        vad: score every read with the detector of `vad_mode` (vad_probability).
        vad_threshold: speech threshold of the model detector, 0.0 to 1.0.
        vad_mode: "silero" (the model, the default; analyze() needs it) or "energy"
            (the RMS).
        vad_holdoff: analyze() merges speech separated by at most this many milliseconds.
        model_path: the Silero model file; default the one shipped with murello.
        numpy: read() returns arrays instead of bytes (needs NumPy).
        ort_library_path: the ONNX Runtime library; default ORT_DYLIB_PATH, then the
            onnxruntime package's, then the system loader's search.
        denoise: "fastenhancer-t" to run the neural denoiser (needs denoise_model_path).
        denoise_model_path: the denoiser's ONNX model.
        highpass: 80 or 100 Hz high-pass filter.
        agc: automatic gain control target in dBFS, -40 to -3.
        limiter: limiter ceiling in dBFS, -3.0 to 0.0.
        dc_removal: remove a DC offset.
        detector_source: the delivered channel the detector hears (default their mean).
        """
    def read(self) -> _Chunk | None: ...
    def __iter__(self) -> FileBridge: ...
    def __next__(self) -> _Chunk: ...
    def __enter__(self) -> FileBridge: ...
    def __exit__(self, _exc_type: object, _exc_value: object, _traceback: object) -> bool: ...
    def check_not_engaged(self) -> None: ...
    def analyze(self) -> tuple[list[_Window], list[tuple[float, float]]]: ...
    def save(
        self,
        path: _Path,
        format: str | None = None,
        compression: int | None = None,
        bits: int | None = None,
        float: bool = False,
    ) -> tuple[int, int]:
        """Write the conditioned recording as WAV, AIFF or FLAC (format, else the path's
        extension). Samples are stored as integers of `bits` (16, 24 or 32; default 16),
        clamped to full scale and truncated toward zero, or with float=True as 32-bit
        floats kept as they are, beyond +-1.0 too (WAV and AIFF only; FLAC takes 16 or 24
        bits). Returns (clipped, non_finite)."""
    def close(self) -> None: ...
    @property
    def vad_probability(self) -> float: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def input_rate(self) -> int: ...
    @property
    def channels(self) -> int: ...

@final
class FileInfo(tuple[str, int, int, int | None, str, float | None]):
    """The header facts of an audio file, as info() reads them."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[tuple[str, ...]]

    @property
    def container(self) -> str:
        """'WAV', 'RF64', 'AIFF', 'AIFF-C' or 'FLAC'."""
    @property
    def sample_rate(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def frames(self) -> int | None:
        """Frames per channel the file really holds (a WAV or AIFF file left by a
        streaming writer: as many as follow its header); None when a FLAC stream does not
        declare it."""
    @property
    def sample_format(self) -> str:
        """How samples are stored, e.g. '16-bit PCM' or '32-bit IEEE float'; PCM gives its
        declared depth ('12-bit PCM', decoded from 16-bit words)."""
    @property
    def duration(self) -> float | None:
        """frames / sample_rate in seconds; None without frames."""

@final
class ChannelEchoMetrics(tuple[int | None, float, bool, int, int, int]):
    """One channel's echo canceller state."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[tuple[str, ...]]

    @property
    def delay(self) -> int | None:
        """Echo delay in samples; None until one is found."""
    @property
    def erle_db(self) -> float: ...
    @property
    def adaptation_held(self) -> bool: ...
    @property
    def far_missing(self) -> int: ...
    @property
    def samples_without_delay(self) -> int: ...
    @property
    def search_restarts(self) -> int: ...

@final
class EchoMetrics(
    tuple[int | None, float, bool, int, int, int, int, int, list[ChannelEchoMetrics]]
):
    """The echo canceller's state: channel 0's fields, the reference queue's counters and
    every channel's record."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[tuple[str, ...]]

    @property
    def delay(self) -> int | None: ...
    @property
    def erle_db(self) -> float: ...
    @property
    def adaptation_held(self) -> bool: ...
    @property
    def far_missing(self) -> int: ...
    @property
    def samples_without_delay(self) -> int: ...
    @property
    def search_restarts(self) -> int: ...
    @property
    def discarded(self) -> int: ...
    @property
    def padded(self) -> int: ...
    @property
    def channels(self) -> list[ChannelEchoMetrics]: ...

@final
class EchoCanceller:
    """Offline acoustic echo cancellation of a recording against the signal that was
    played, with the engine that capture uses."""

    def __new__(
        cls,
        sample_rate: int,
        tail_ms: int = 200,
        suppression: str = "conservative",
        format: str = "float32",
    ) -> EchoCanceller: ...
    def process(self, near: _Chunk, far: _Chunk) -> _Chunk:
        """The cleaned samples completed so far; they lag `near` by under 256 samples.
        `near` may be an (N, channels) array: each channel gets its own engine, all fed
        the mono `far`; the first call fixes the channel count."""
    def flush(self) -> _Chunk:
        """The cleaned samples still held (an array when the last process() was given
        one); ends the recording."""
    def metrics(self) -> EchoMetrics:
        """(delay, erle_db, adaptation_held, far_missing, samples_without_delay,
        search_restarts, discarded, padded, channels)."""

def info(path: _Path) -> FileInfo:
    """The header facts of an audio file, read without decoding its samples; raises what
    FileBridge.open raises for the same header."""

def _selected_device(
    direction: Literal["capture", "playback"], device: int | str | Device | None = None
) -> tuple[int | None, str, str, int, int]:
    """The device a MicrophoneBridge ('capture') or SpeakerBridge ('playback') given
    `device` would open now: (index, name, id, channels, default_sample_rate), index None
    for a default device the listing does not show, channels and rate those of its default
    configuration (both 0 when it cannot be read). Raises the selection errors start()
    raises."""

def _load(
    path: _Path | bytearray,
    offset: float | None = None,
    duration: float | None = None,
    sample_rate: int | None = None,
    channels: int | None = None,
    channel_map: Sequence[int] | None = None,
    format: str = "int16",
    numpy: bool = True,
    **options: object,
) -> tuple[npt.NDArray[np.float32] | npt.NDArray[np.int16] | bytes, int]:
    """A whole file read and conditioned as (array, rate), or (interleaved bytes, rate)
    with numpy=False; takes FileBridge.open's keywords, with None for sample_rate or
    channels keeping the file's own, and offset and duration (seconds) reading only that
    span. A resampled result is aligned with the file and exactly as long. A bytearray
    is taken as the file's bytes. murello.load wraps it."""

@final
class _FileStream:
    """An audio file read a block at a time; made by _stream(). murello.Stream wraps it."""

    def read(self) -> npt.NDArray[np.float32] | npt.NDArray[np.int16] | bytes | None: ...
    def close(self) -> None: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def channels(self) -> int: ...

def _stream(
    path: _Path | bytearray,
    block_frames: int,
    sample_rate: int | None = None,
    channels: int | None = None,
    channel_map: Sequence[int] | None = None,
    format: str = "int16",
    numpy: bool = True,
    **options: object,
) -> _FileStream:
    """A file read block by block, conditioned as FileBridge.open conditions it and aligned
    as _load aligns it; takes FileBridge.open's keywords and, as _load, a bytearray as the
    file's bytes. murello.stream wraps it."""

def _analyze(
    path: _Path, progress: _Progress | None = None, windows: bool = True, **options: object
) -> tuple[list[_Window], list[tuple[float, float]]]:
    """What FileBridge.open(path, **options).analyze() returns, with the file read through a
    block at a time; `progress` counts the frames done and can stop it early, and
    windows=False leaves the list of windows empty. murello.analyze wraps it."""

def _convert(
    path: _Path,
    output: _Path,
    container: str | None = None,
    compression: int | None = None,
    progress: _Progress | None = None,
    sample_rate: int | None = None,
    channels: int | None = None,
    **options: object,
) -> tuple[int, int] | None:
    """Read path, condition it and write it to output as FileBridge.save writes, a step at
    a time, aligned with the input and as long as murello.load delivers it; takes
    FileBridge.open's keywords. container is 'wav', 'aiff' or 'flac' (default: from
    output's extension); output is replaced only once complete. Returns (clipped,
    non_finite), or None when `progress` stopped it (nothing written)."""

@final
class _Progress:
    """How far a long call has come."""

    def stop(self) -> None:
        """Ask the call to end after the step in hand."""
    @property
    def frames(self) -> int:
        """Delivered frames processed so far."""

@final
class _RecordingFile:
    """A 16-bit WAV, AIFF or FLAC file written as samples arrive and readable at every
    moment: what `murello record` writes."""

    def __new__(
        cls,
        path: _Path,
        sample_rate: int,
        channels: int,
        format: str | None = None,
        compression: int | None = None,
    ) -> _RecordingFile: ...
    def write(self, samples: bytes | bytearray | memoryview) -> None:
        """Append float32 little-endian interleaved samples; FileWriteFailed when the file
        system refuses them (the file keeps what was written whole)."""
    def close(self) -> None:
        """Complete the header, flush the file to disk and close it; then a no-op."""
    @property
    def frames(self) -> int:
        """Frames written whole so far; after close(), those the file declares."""

def _numpy_smoke() -> npt.NDArray[np.int16]: ...
def _set_default_model_path(path: _Path | None, /) -> None:
    """The model used where model_path is not given; murello sets the shipped one."""
