"""Where the files behind the neural features are: the Silero VAD model that ships inside
this package, and the ONNX Runtime library of the installed ``onnxruntime`` package.

These helpers only find paths. The native core keeps its own loading rules: a constructor's
``ort_library_path`` first, then the ``ORT_DYLIB_PATH`` environment variable, then the
system loader's search for ``libonnxruntime.so``.
"""

from __future__ import annotations

import glob
import importlib.util
import os
from pathlib import Path

_MODELS = Path(__file__).resolve().parent / "models"
# Where the shipped Silero model is; the default model_path of every class and function.
SILERO_MODEL = str(_MODELS / "silero_vad.onnx")


def silero_model_path() -> str:
    """The Silero VAD model shipped with murello (MIT licence, text in
    ``murello/models/LICENSE-silero-vad``), for ``model_path=``.

    Raises FileNotFoundError when the installation has lost the file.
    """
    if not os.path.isfile(SILERO_MODEL):
        raise FileNotFoundError(
            f"the Silero VAD model is missing from this installation: {SILERO_MODEL}")
    return SILERO_MODEL


def onnxruntime_library_path() -> str | None:
    """The ONNX Runtime shared library inside the installed ``onnxruntime`` package
    (``pip install "murello[vad]"``), or None when that package is not installed.

    The package is located, not imported.
    """
    package = importlib.util.find_spec("onnxruntime")
    if package is None or not package.submodule_search_locations:
        return None
    for location in package.submodule_search_locations:
        found = sorted(glob.glob(os.path.join(location, "capi", "libonnxruntime.so*")))
        if found:
            return found[0]
    return None


def use_onnxruntime_package() -> None:
    """Sets ``ORT_DYLIB_PATH`` to the ``onnxruntime`` package's library when the variable
    is absent from the environment, so that the core finds the runtime a plain pip install
    brought. A variable the user set, even to an empty string (which makes the core use the
    system loader's search), is left as it is; a constructor's ``ort_library_path`` wins
    over the variable in the core.
    """
    if "ORT_DYLIB_PATH" in os.environ:
        return
    library = onnxruntime_library_path()
    if library is not None:
        os.environ["ORT_DYLIB_PATH"] = library
