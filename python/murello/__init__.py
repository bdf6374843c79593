"""murello: capture, play, read, condition and score audio on Linux.

The native core lives in ``murello._murello``; its errors are the classes of
``murello.exceptions``.

The Silero VAD model ships with the package (``silero_model_path()``) and is the model
of every class and function whose ``model_path`` is not given. When the
environment has no ``ORT_DYLIB_PATH``, importing murello sets it to the ONNX Runtime
library of the installed ``onnxruntime`` package (``pip install "murello[vad]"``), so the
model features work without a path in hand. A variable the user set is never changed, and
a constructor's ``ort_library_path`` always wins over it.
"""

import importlib

from murello._analyze import analyze
from murello._batch import analyze_files
from murello._classes import Device
from murello._device_io import play, record
from murello._io import load, save
from murello._murello import (
    EchoCanceller,
    FileBridge,
    FileInfo,
    MicrophoneBridge,
    MicrophoneInfo,
    SpeakerBridge,
    SpeakerInfo,
    VersionInfo,
    info,
)
from murello import _murello
from murello._paths import (
    SILERO_MODEL,
    onnxruntime_library_path,
    silero_model_path,
    use_onnxruntime_package,
)
from murello._stream import Stream, stream

__all__ = [
    "Device",
    "EchoCanceller",
    "FileBridge",
    "FileInfo",
    "MicrophoneBridge",
    "MicrophoneInfo",
    "SpeakerBridge",
    "SpeakerInfo",
    "Stream",
    "VersionInfo",
    "analyze",
    "analyze_files",
    "exceptions",
    "info",
    "load",
    "onnxruntime_library_path",
    "play",
    "record",
    "save",
    "silero_model_path",
    "stream",
    "version",
]

# The build writes the version into the core from CMakeLists.txt, its one source.
__version__ = MicrophoneBridge.version().murello

use_onnxruntime_package()
# Registered even if the file is gone, so that the error names where it should be.
_murello._set_default_model_path(SILERO_MODEL)


def __getattr__(name: str):
    # The exception classes are imported on first use, so that importing the native
    # module stays light.
    if name == "exceptions":
        return importlib.import_module("murello.exceptions")
    raise AttributeError(f"module 'murello' has no attribute {name!r}")


def version() -> VersionInfo:
    """The versions of the core, its audio backend and the binding."""
    return MicrophoneBridge.version()
