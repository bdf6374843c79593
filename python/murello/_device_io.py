"""Arrays to and from sound devices in one call: ``play`` and ``record``.

Both take the device in whatever configuration it offers: ``record`` asks the capture
chain for the rate and channels wanted, and ``play`` converts the array to the speaker's
default rate and channel count through the file machinery, as ``murello play`` does.
"""

from __future__ import annotations

import threading
import time
from typing import TYPE_CHECKING, Any

from murello import _murello
from murello._classes import Device
from murello._io import _as_float32, _numpy

if TYPE_CHECKING:
    import numpy as np

# After the queue is drained its last chunk is still in the device's buffer: this much
# silence after it means it has played.
TAIL_SECONDS = 0.1
TAIL_LIMIT_SECONDS = 1.0
# Used when the core cannot read what the speaker offers without opening it to play.
FALLBACK_CONFIG = (48000, 2)
RECORD_BLOCK_SECONDS = 0.02


def speaker_config(device: int | str | Device | None) -> tuple[int, int]:
    """The default rate and channel count of the speaker `device` selects, as the core
    selects it when the speaker starts (its selection errors are raised here). A speaker
    whose configuration cannot be read gets 48 kHz stereo; starting it then says why it
    cannot be used, if it cannot."""
    _, _, _, channels, rate = _murello._selected_device("playback", device)
    if rate and channels:
        return rate, channels
    return FALLBACK_CONFIG


def spread_channels(source_channels: int, device_channels: int) -> list[int] | None:
    """The channel map that plays `source_channels` on a device: one device channel takes
    their mean; otherwise device channel i plays source channel i, repeating them when the
    device has more."""
    if device_channels == 1 or source_channels == device_channels:
        return None
    return [i % source_channels for i in range(device_channels)]


def play_out(speaker: _murello.SpeakerBridge, samples_per_second: int) -> None:
    """Drains the speaker's queue and waits until what left it last has played."""
    speaker.drain()
    silence = speaker.underrun_count + samples_per_second * TAIL_SECONDS
    deadline = time.monotonic() + TAIL_LIMIT_SECONDS
    while speaker.underrun_count < silence and time.monotonic() < deadline:
        time.sleep(0.01)


class Playing:
    """A playback started by ``play(..., blocking=False)``."""

    def __init__(self, speaker: _murello.SpeakerBridge, source: _murello.FileBridge,
                 samples_per_second: int) -> None:
        self._speaker = speaker
        self._source = source
        self._samples_per_second = samples_per_second
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="murello-play", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            for chunk in self._source:
                self._speaker.write(chunk)
            play_out(self._speaker, self._samples_per_second)
        except BaseException as error:  # handed to wait()
            if self._speaker.is_playing:
                self._error = error
        finally:
            self._speaker.stop()

    @property
    def active(self) -> bool:
        return self._thread.is_alive()

    def wait(self, timeout: float | None = None) -> bool:
        """Waits until everything has played (or `timeout` seconds); True when it has.
        Raises what failed the playback."""
        self._thread.join(timeout)
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        return not self._thread.is_alive()

    def stop(self) -> None:
        """Stops at once; what was not played yet is dropped."""
        self._speaker.stop()
        self._thread.join()

    def __repr__(self) -> str:
        return f"Playing(active={self.active})"


def play(
    samples: Any,
    sample_rate: int,
    device: int | str | Device | None = None,
    blocking: bool = True,
) -> Playing:
    """Play an array of shape (frames,) or (frames, channels) at `sample_rate`: floats at
    full scale -1.0 to 1.0, or integers at their type's full scale.

    The samples are converted to the speaker's own default rate and channel count (one
    device channel plays their mean; more device channels than the array's repeat them).
    `device` is chosen as by SpeakerBridge. With `blocking` the call returns once
    everything has played; otherwise at once, with a ``Playing`` to ``wait()`` for or
    ``stop()``. Ctrl-C during a blocking call stops the playback.
    """
    np = _numpy("play")
    array = _as_float32(np, samples)
    if array.ndim not in (1, 2):
        raise ValueError(
            f"samples must have shape (frames,) or (frames, channels), not {array.shape}")
    channels = 1 if array.ndim == 1 else array.shape[1]
    rate, device_channels = speaker_config(device)
    source = _murello.FileBridge.buffer(
        array.tobytes(), sample_rate, channels, sample_rate=rate, channels=device_channels,
        channel_map=spread_channels(channels, device_channels), format="float32",
    )
    speaker = _murello.SpeakerBridge(rate, device_channels, "float32", device=device)
    speaker.start()
    playing = Playing(speaker, source, rate * device_channels)
    if blocking:
        try:
            playing.wait()
        except KeyboardInterrupt:
            playing.stop()
            raise
    return playing


def record(
    seconds: float,
    sample_rate: int,
    channels: int = 1,
    device: int | str | Device | None = None,
) -> np.ndarray:
    """Record `seconds` from a microphone as float32 at `sample_rate` and `channels`,
    whatever the device's own configuration: shape (frames,) for one channel, else
    (frames, channels). `device` is chosen as by MicrophoneBridge.
    """
    np = _numpy("record")
    if not seconds >= 0:
        raise ValueError(f"seconds must be 0 or more, not {seconds!r}")
    frames = round(seconds * sample_rate)
    block = max(64, round(sample_rate * RECORD_BLOCK_SECONDS))
    microphone = _murello.MicrophoneBridge(sample_rate, channels, block, "float32",
                                           device=device, numpy=True)
    blocks = []
    taken = 0
    with microphone:
        while taken < frames:
            chunk = microphone.read()
            blocks.append(chunk)
            taken += len(chunk)
    shape = (0,) if channels == 1 else (0, channels)
    samples = np.concatenate(blocks) if blocks else np.zeros(shape, np.float32)
    return samples[:frames]
