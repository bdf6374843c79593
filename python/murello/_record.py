"""``murello record OUT``: a microphone to a file that is written as it records.

The file is the real container from the first block on (see ``_RecordingFile``): a WAV
or AIFF header declares the audio written so far every second, a FLAC stream is completed
at the end. So a recording survives the ways a recorder ends: Ctrl-C, SIGTERM and SIGHUP
stop it cleanly after the blocks already captured; a lost device or a write the disk
refuses keeps what was recorded (and says so, exiting with status 1); a killed recorder
leaves a file short of at most its last second.
"""

from __future__ import annotations

import math
import signal
import threading
from typing import Callable, NamedTuple

from murello._murello import MicrophoneBridge, _RecordingFile
from murello.exceptions import DeviceFailed, MurelloError

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def check_seconds(seconds: float | None) -> None:
    if seconds is not None and not (seconds > 0 and math.isfinite(seconds)):
        raise ValueError(f"--seconds must be a number of seconds above 0, not {seconds}")


def plain(error: BaseException) -> str:
    """An error's text without the package name some core messages start with."""
    return str(error).removeprefix("murello: ")


class Recorder:
    """Reads blocks from a running microphone into the file until told to stop, the time
    runs out or something fails; remembers why it stopped."""

    def __init__(self, microphone: MicrophoneBridge, channels: int,
                 limit_frames: int | None) -> None:
        self.microphone = microphone
        self.frame_bytes = 4 * channels
        self.limit = limit_frames
        self.stop = threading.Event()
        self.failure: str | None = None

    def request_stop(self, *_) -> None:
        # A signal handler: stopping is left to the loop, between blocks.
        self.stop.set()

    def run(self, file: _RecordingFile, show: Callable[[bytes, int], None] | None) -> None:
        frames = 0
        while self.limit is None or frames < self.limit:
            try:
                if self.stop.is_set():
                    # Whatever is already queued was recorded: keep it.
                    block = self.microphone.read(timeout_ms=0)
                    if block is None:
                        return
                else:
                    # Bounded, so that a stop request is seen while the device is silent.
                    block = self.microphone.read(timeout_ms=100)
                    if block is None:
                        continue
            except DeviceFailed as error:
                self.failure = f"the microphone failed ({plain(error)})"
                return
            if self.limit is not None:
                block = block[: (self.limit - frames) * self.frame_bytes]
            try:
                file.write(block)
            except MurelloError as error:
                self.failure = plain(error)
                return
            frames += len(block) // self.frame_bytes
            if show is not None:
                show(block, frames)


class Outcome(NamedTuple):
    frames: int            # in the file
    overruns: int          # the microphone's overrun_count
    failure: str | None    # why the recording ended early, if it did


def record(path: str, options: dict, seconds: float | None, started: Callable[[], None],
           show: Callable[[bytes, MicrophoneBridge, float], None] | None) -> Outcome:
    """Records from the microphone that `options` (MicrophoneBridge's keywords, float32)
    describe into `path`, until `seconds` have been recorded, a stop signal, a device
    failure or a refused write. Calls `started` once capture runs and `show` with each
    block, the microphone and the seconds recorded."""
    check_seconds(seconds)
    rate, channels = options["sample_rate"], options["channels"]
    microphone = MicrophoneBridge(**options)
    recorder = Recorder(microphone, channels, None if seconds is None else round(seconds * rate))
    each_block = None if show is None else (
        lambda block, frames: show(block, microphone, frames / rate))
    # Held until the file is complete, so that a second Ctrl-C during the final flush
    # only repeats the request.
    previous = {number: signal.signal(number, recorder.request_stop) for number in STOP_SIGNALS}
    try:
        with microphone:
            # Made once the device runs: a microphone that cannot start costs no file.
            file = _RecordingFile(path, rate, channels)
            try:
                started()
                recorder.run(file, each_block)
                overruns = microphone.overrun_count
            finally:
                file.close()
        return Outcome(file.frames, overruns, recorder.failure)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
