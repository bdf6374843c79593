"""Type stubs for the native core, murello._murello."""

from typing import final

import numpy as np
import numpy.typing as npt

__all__ = [
    "VersionInfo",
    "MicrophoneInfo",
    "SpeakerInfo",
    "MicrophoneBridge",
    "SpeakerBridge",
    "FileBridge",
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

    @staticmethod
    def devices() -> list[MicrophoneInfo]: ...
    @staticmethod
    def version() -> VersionInfo: ...

@final
class SpeakerBridge:
    """Playback to a speaker from a queue of blocks."""

    @staticmethod
    def devices() -> list[SpeakerInfo]: ...

@final
class FileBridge:
    """Read, condition, analyse and save audio files and buffers."""

def _numpy_smoke() -> npt.NDArray[np.int16]: ...
