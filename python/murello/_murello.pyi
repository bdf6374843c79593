"""Type stubs for the native core, murello._murello."""

import os
from collections.abc import Sequence
from typing import final

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

    def __init__(
        self,
        sample_rate: int,
        channels: int,
        frames_per_buffer: int,
        format: str,
        device: int | str | Device | None = None,
        vad: bool = False,
        vad_threshold: float = 0.5,
        vad_mode: str = "silero",
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
    ) -> None: ...
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
    ) -> None: ...
    def aec_metrics(self) -> _AecMetrics | None: ...
    @property
    def is_open(self) -> bool: ...
    @property
    def vad_probability(self) -> float: ...
    @property
    def vad_holdoff_ms(self) -> int: ...
    @property
    def overrun_count(self) -> int: ...
    @staticmethod
    def devices() -> list[MicrophoneInfo]: ...
    @staticmethod
    def version() -> VersionInfo: ...

@final
class SpeakerBridge:
    """Playback to a speaker: samples written as int16 or float32 bytes or arrays,
    interleaved at `channels`, are played at `sample_rate` as written."""

    def __init__(
        self,
        sample_rate: int,
        channels: int,
        format: str,
        device: int | str | Device | None = None,
    ) -> None: ...
    def start(self) -> None: ...
    def write(self, samples: bytes | npt.NDArray[np.int16] | npt.NDArray[np.float32]) -> None:
        """Queue samples; blocks while 32 writes wait to be played."""
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
        format: str = "int16",
        vad: bool = False,
        vad_threshold: float = 0.5,
        vad_mode: str = "silero",
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
    ) -> FileBridge: ...
    @staticmethod
    def buffer(
        samples: bytes | Sequence[float],
        input_rate: int,
        input_channels: int = 1,
        sample_rate: int = 16000,
        channels: int = 1,
        channel_map: Sequence[int] | None = None,
        format: str = "int16",
        vad: bool = False,
        vad_threshold: float = 0.5,
        vad_mode: str = "silero",
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
    ) -> FileBridge: ...
    def read(self) -> _Chunk | None: ...
    def check_not_engaged(self) -> None: ...
    def analyze(self) -> tuple[list[_Window], list[tuple[float, float]]]: ...
    def save(
        self, path: _Path, format: str | None = None, compression: int | None = None
    ) -> tuple[int, int]: ...
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

    @property
    def container(self) -> str:
        """'WAV', 'RF64', 'AIFF', 'AIFF-C' or 'FLAC'."""
    @property
    def sample_rate(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def frames(self) -> int | None:
        """Frames per channel; None when a FLAC stream does not declare it."""
    @property
    def sample_format(self) -> str:
        """How samples are stored, e.g. '16-bit PCM' or '32-bit IEEE float'."""
    @property
    def duration(self) -> float | None:
        """frames / sample_rate in seconds; None without frames."""

_AecMetrics = tuple[
    int | None, float, bool, int, int, int, int, int,
    list[tuple[int | None, float, bool, int, int, int]],
]

class EchoCanceller:
    """Offline acoustic echo cancellation of a recording against the signal that was
    played, with the engine that capture uses."""

    def __init__(
        self,
        sample_rate: int,
        tail_ms: int = 200,
        suppression: str = "conservative",
        format: str = "float32",
    ) -> None: ...
    def process(self, near: _Chunk, far: _Chunk) -> _Chunk:
        """The cleaned samples completed so far; they lag `near` by under 256 samples."""
    def flush(self) -> _Chunk:
        """The cleaned samples still held (an array when the last process() was given
        one); ends the recording."""
    def metrics(self) -> _AecMetrics:
        """(delay, erle_db, adaptation_held, far_missing, samples_without_delay,
        search_restarts, discarded, padded, channels)."""

def info(path: _Path) -> FileInfo:
    """The header facts of an audio file, read without decoding its samples; raises what
    FileBridge.open raises for the same header."""

def _load(
    path: _Path,
    sample_rate: int | None = None,
    channels: int | None = None,
    channel_map: Sequence[int] | None = None,
    format: str = "int16",
    numpy: bool = True,
    **options: object,
) -> tuple[npt.NDArray[np.float32] | npt.NDArray[np.int16] | bytes, int]:
    """A whole file read and conditioned as (array, rate), or (interleaved bytes, rate)
    with numpy=False; takes FileBridge.open's keywords, with None for sample_rate or
    channels keeping the file's own. A resampled result is aligned with the file and
    exactly as long. murello.load wraps it."""

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
    path: _Path,
    block_frames: int,
    sample_rate: int | None = None,
    channels: int | None = None,
    channel_map: Sequence[int] | None = None,
    format: str = "int16",
    numpy: bool = True,
    **options: object,
) -> _FileStream:
    """A file read block by block, conditioned as FileBridge.open conditions it and aligned
    as _load aligns it; takes FileBridge.open's keywords. murello.stream wraps it."""

def _analyze(path: _Path, **options: object) -> tuple[list[_Window], list[tuple[float, float]]]:
    """What FileBridge.open(path, **options).analyze() returns, with the file read through a
    block at a time. murello.analyze wraps it."""

class _RecordingFile:
    """A 16-bit WAV, AIFF or FLAC file written as samples arrive and readable at every
    moment: what `murello record` writes."""

    def __init__(
        self,
        path: _Path,
        sample_rate: int,
        channels: int,
        format: str | None = None,
        compression: int | None = None,
    ) -> None: ...
    def write(self, samples: bytes | bytearray | memoryview) -> None:
        """Append float32 little-endian interleaved samples; FileWriteFailed when the file
        system refuses them (the file keeps what was written whole)."""
    def close(self) -> None:
        """Complete the header, flush the file to disk and close it; then a no-op."""
    @property
    def frames(self) -> int:
        """Frames written whole so far; after close(), those the file declares."""

def _numpy_smoke() -> npt.NDArray[np.int16]: ...
