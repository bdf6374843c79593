"""Core errors raised as the classes of murello.exceptions, and the class registry."""

from __future__ import annotations

import builtins
import re

import pytest

import murello.exceptions as exc
from conftest import run_python


def test_exceptions_module_follows_the_error_table(probe):
    table = probe.error_table()
    assert list(exc.__all__) == [name for name, *_ in table]
    for name, base, _, _ in table:
        cls = getattr(exc, name)
        assert cls.__bases__ == (getattr(exc, base, None) or getattr(builtins, base),), name


def test_every_kind_is_raised_as_its_own_class_with_its_arguments(probe):
    kinds = [(n, extra, t) for n, _, extra, t in probe.error_table() if extra is not None]
    assert len(kinds) == 60
    for name, extra, template in kinds:
        fields = [f"field{i}" for i in range(template.count("{"))]
        with pytest.raises(getattr(exc, name)) as info:
            probe.raise_kind(name, *fields)
        assert type(info.value).__name__ == name
        message = re.sub(r"\{\w+\}", lambda _m, it=iter(fields): next(it), template)
        assert info.value.args == (message, *fields[:extra]), name
    with pytest.raises(exc.MultipleDevicesMatch) as info:
        probe.raise_kind("MultipleDevicesMatch", "usb", "alsa:a\nalsa:b")
    assert info.value.args == ('Multiple devices match "usb":\nalsa:a\nalsa:b',)


def test_registry_holds_63_classes_with_the_documented_hierarchy():
    assert len(exc.__all__) == 63
    assert issubclass(exc.OrtLoadFailed, exc.OrtPathError)
    assert issubclass(exc.OrtPathInvalid, exc.OrtPathError)
    assert issubclass(exc.OrtPathError, exc.OrtError)
    assert issubclass(exc.VadModelLoadFailed, exc.OrtError)
    assert all(issubclass(getattr(exc, n), exc.MurelloError) for n in exc.__all__)


@pytest.mark.parametrize("kind", ["VadModelLoadFailed", "ModelLoadFailed", "OrtLoadFailed"])
def test_path_kinds_carry_the_path_with_replacement_characters(probe, kind):
    with pytest.raises(getattr(exc, kind)) as info:
        probe.raise_path_kind(kind, b"/models/v\xffad.onnx", "bad file")
    message, path = info.value.args
    assert path == "/models/v\ufffdad.onnx"
    assert "/models/v\ufffdad.onnx: bad file" in message


def test_ort_path_invalid_carries_message_path_and_reason(probe):
    with pytest.raises(exc.OrtPathInvalid) as info:
        probe.raise_path_kind("OrtPathInvalid", b"/opt/ort", "path is a directory")
    message, path, reason = info.value.args
    assert message.startswith(
        "murello: failed to load ONNX Runtime from /opt/ort: path is a directory. "
    )
    assert (path, reason) == ("/opt/ort", "path is a directory")


@pytest.mark.parametrize(
    "name,message",
    [
        ("FileConsumed", "File already consumed; construct a new File for another pass"),
        ("AlreadyRunning", "capture is already running"),
    ],
)
def test_raise_by_class_name(probe, name, message):
    with pytest.raises(getattr(exc, name)) as info:
        probe.raise_name(name, message)
    assert info.value.args == (message,)


def test_unknown_class_name_is_an_internal_error(probe):
    with pytest.raises(RuntimeError, match="internal error: exception class Nope not registered"):
        probe.raise_name("Nope", "x")


# The registry is process-wide and built once, so the cases below run in fresh
# interpreters with a stand-in murello.exceptions.
FAKE = (
    "import sys, types\n"
    "import murello._murello, _murello_probe as probe\n"
    "import murello.exceptions as real\n"
    "fake = types.ModuleType('murello.exceptions')\n"
    "for n in real.__all__: setattr(fake, n, getattr(real, n))\n"
    "sys.modules['murello.exceptions'] = fake\n"
    "def attempt():\n"
    "    try:\n"
    "        probe.raise_kind('ChannelsOutOfRange')\n"
    "    except Exception as e:\n"
    "        print(type(e).__name__, e)\n"
)


def test_missing_class_fails_until_it_is_added():
    result = run_python(
        FAKE + "del fake.FileConsumed\n"
        "attempt()\n"
        "fake.FileConsumed = real.FileConsumed\n"
        "attempt()\n"
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("AttributeError")
    assert "FileConsumed" in lines[0]
    assert lines[1] == "ChannelsOutOfRange channels must be at least 1"


def test_non_class_binding_is_a_runtime_error():
    result = run_python(FAKE + "fake.OrtError = 42\nattempt()\nattempt()\n")
    assert result.returncode == 0, result.stderr
    expected = (
        "RuntimeError murello.exceptions.OrtError is not a class: "
        "'int' object is not an instance of 'type'"
    )
    assert result.stdout.splitlines() == [expected, expected]


def test_failed_import_is_raised_and_retried():
    result = run_python(
        "import sys\n"
        "import murello._murello, _murello_probe as probe\n"
        "sys.modules['murello.exceptions'] = None\n"
        "try:\n"
        "    probe.raise_kind('ChannelsOutOfRange')\n"
        "except ImportError:\n"
        "    print('ImportError')\n"
        "del sys.modules['murello.exceptions']\n"
        "try:\n"
        "    probe.raise_kind('ChannelsOutOfRange')\n"
        "except Exception as e:\n"
        "    print(type(e).__name__)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ImportError", "ChannelsOutOfRange"]


def test_concurrent_first_raises_build_once_without_deadlock():
    result = run_python(
        "import threading, murello._murello, _murello_probe as probe\n"
        "seen = []\n"
        "def worker():\n"
        "    for _ in range(50):\n"
        "        try:\n"
        "            probe.raise_kind('SampleRateOutOfRange')\n"
        "        except Exception as e:\n"
        "            seen.append(type(e).__name__)\n"
        "threads = [threading.Thread(target=worker) for _ in range(8)]\n"
        "[t.start() for t in threads]; [t.join() for t in threads]\n"
        "print(len(seen), set(seen))\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "400 {'SampleRateOutOfRange'}"


def test_str_is_the_message_even_with_extra_arguments(probe):
    with pytest.raises(exc.ModelLoadFailed) as info:
        probe.raise_path_kind("ModelLoadFailed", b"/m.onnx", "bad file")
    assert str(info.value) == "Failed to load model from /m.onnx: bad file"
    assert str(exc.MurelloError()) == ""


def test_error_raised_while_the_exceptions_import_runs_does_not_deadlock():
    # An import of murello.exceptions that itself raises a core error (here through a
    # loader that calls the probe) must fail rather than wait for its own build.
    result = run_python(
        "import sys, importlib.abc, importlib.util\n"
        "import murello._murello, _murello_probe as probe\n"
        "class Loader(importlib.abc.Loader):\n"
        "    def create_module(self, found): return None\n"
        "    def exec_module(self, module):\n"
        "        try:\n"
        "            probe.raise_kind('ChannelsOutOfRange')\n"
        "        except RuntimeError as e:\n"
        "            print('inner', e)\n"
        "        raise ImportError('stand-in')\n"
        "class Finder(importlib.abc.MetaPathFinder):\n"
        "    def find_spec(self, name, path, target=None):\n"
        "        if name == 'murello.exceptions':\n"
        "            return importlib.util.spec_from_loader(name, Loader())\n"
        "sys.meta_path.insert(0, Finder())\n"
        "try:\n"
        "    probe.raise_kind('ChannelsOutOfRange')\n"
        "except ImportError as e:\n"
        "    print('outer', e)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "inner murello.exceptions raised a murello error while it was being imported",
        "outer stand-in",
    ]
