"""murello: capture, play, read, condition and score audio on Linux.

The native core lives in ``murello._murello``; its errors are the classes of
``murello.exceptions``.
"""

import importlib

from murello._classes import Device
from murello._murello import (
    FileBridge,
    MicrophoneBridge,
    MicrophoneInfo,
    SpeakerBridge,
    SpeakerInfo,
    VersionInfo,
)

__all__ = [
    "Device",
    "FileBridge",
    "MicrophoneBridge",
    "MicrophoneInfo",
    "SpeakerBridge",
    "SpeakerInfo",
    "VersionInfo",
    "exceptions",
    "version",
]

__version__ = "6.4.0"


def __getattr__(name: str):
    # The exception classes are imported on first use, so that importing the native
    # module stays light.
    if name == "exceptions":
        return importlib.import_module("murello.exceptions")
    raise AttributeError(f"module 'murello' has no attribute {name!r}")


def version() -> VersionInfo:
    """The versions of the core, its audio backend and the binding."""
    return MicrophoneBridge.version()
