"""The module surface: names, classes, reprs, versions and import side effects."""

from __future__ import annotations

import re

import pytest

from murello import _murello
from conftest import run_python


def test_all_lists_the_public_names_in_order():
    assert _murello.__all__ == [
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
    for name in _murello.__all__[:-1]:
        assert getattr(_murello, name).__module__ == "murello._murello"
    assert not hasattr(_murello, "devices")
    assert not hasattr(_murello, "version")


def test_version_repr_and_fields():
    info = _murello.MicrophoneBridge.version()
    backend, _, number = info.audio_backend.partition(" ")
    assert backend == "alsa" and number and " " not in number
    # The core's version is the project's (its one source is CMakeLists.txt, checked
    # against the package metadata by the packaging tests).
    assert re.fullmatch(r"\d+\.\d+\.\d+", info.murello)
    assert repr(info) == (
        f"VersionInfo(murello='{info.murello}', audio_backend='{info.audio_backend}', "
        "binding='0.13.0')"
    )
    assert info.binding == "0.13.0"
    assert info.murello is not info.murello  # a fresh object on each access
    with pytest.raises(AttributeError):
        info.murello = "1"


@pytest.mark.parametrize("cls", ["VersionInfo", "MicrophoneInfo", "SpeakerInfo"])
def test_records_cannot_be_constructed(cls):
    with pytest.raises(TypeError):
        getattr(_murello, cls)()


def test_importing_the_module_has_no_side_effects():
    result = run_python(
        "import sys\n"
        "import murello._murello\n"
        "print(sorted(m for m in ('numpy', 'murello.exceptions', 'onnxruntime') "
        "if m in sys.modules))\n"
        "print(any('onnxruntime' in line for line in open('/proc/self/maps')))\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["[]", "False"]


def test_numpy_smoke_owns_its_buffer():
    import numpy as np

    array = _murello._numpy_smoke()
    assert array.dtype == np.int16 and array.flags.writeable and array.flags.c_contiguous
    assert array.tolist() == [0, 1, 2, 3, 4]
    assert type(array.base).__name__ == "PySliceContainer"
    view = array[1:]
    del array
    assert view.tolist() == [1, 2, 3, 4]


def test_numpy_is_imported_only_on_demand():
    result = run_python(
        "import sys\n"
        "import murello._murello as m\n"
        "m.MicrophoneBridge.version()\n"
        "print('numpy' in sys.modules)\n"
        "m._numpy_smoke()\n"
        "print('numpy' in sys.modules)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "True"]


def test_numpy_missing_raises_import_error_with_cause():
    result = run_python(
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "import murello._murello as m\n"
        "try:\n"
        "    m._numpy_smoke()\n"
        "except ImportError as e:\n"
        "    print(e)\n"
        "    print(type(e.__cause__).__name__)\n"
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "numpy is not installed. Install with: pip install murello[numpy]"
    assert lines[1] in ("ImportError", "ModuleNotFoundError")
