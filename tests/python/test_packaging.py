"""What a pip install brings: the shipped model, the runtime found without a path in hand,
the user's own runtime choice kept, and one version everywhere."""

from __future__ import annotations

import importlib.metadata
import importlib.util
import json
import re
import subprocess
import tomllib
from pathlib import Path

import pytest

import murello
from conftest import ROOT, run_python

# Runs in a fresh interpreter with the environment given, because the runtime is loaded
# once per process and the package reads ORT_DYLIB_PATH when it is imported. Prints
# ORT_DYLIB_PATH as the import left it, then the outcome of a Silero analysis of SPEECH.
ANALYSE = """
import json, os
import murello
from murello.exceptions import OrtPathInvalid
seen = os.environ.get("ORT_DYLIB_PATH")
options = dict(vad=True, model_path=murello.silero_model_path(), sample_rate=16000, channels=1)
options.update(OPTIONS)
try:
    windows, segments = murello.FileBridge.open(SPEECH, **options).analyze()
    outcome = {"segments": segments}
except OrtPathInvalid as error:
    outcome = {"invalid": list(error.args[1:])}
print(json.dumps({"seen": seen, **outcome}))
"""


@pytest.fixture(scope="module")
def speech(tmp_path_factory) -> Path:
    """A spoken sentence, as espeak-ng writes it."""
    directory = tmp_path_factory.mktemp("packaging")
    spoken = directory / "spoken.wav"
    subprocess.run(["espeak-ng", "-g", "20", "-w", str(spoken), "Testing one two three."],
                   check=True)
    return spoken


def analyse(speech: Path, env: dict[str, str | None], options: str) -> dict:
    unset = [name for name, value in env.items() if value is None]
    code = ("import os\n"
            + "".join(f"os.environ.pop({name!r}, None)\n" for name in unset)
            + ANALYSE.replace("SPEECH", repr(str(speech))).replace("OPTIONS", options))
    result = run_python(code, {name: value for name, value in env.items() if value is not None})
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_shipped_model_and_licence_are_inside_the_package():
    model = Path(murello.silero_model_path())
    assert model.parent.parent == Path(murello.__file__).resolve().parent
    assert model.stat().st_size > 1_000_000
    assert "MIT License" in (model.parent / "LICENSE-silero-vad").read_text()


def test_runtime_library_is_the_onnxruntime_packages():
    library = murello.onnxruntime_library_path()
    assert library is not None
    package = importlib.util.find_spec("onnxruntime")
    assert Path(library).parent.parent == Path(package.origin).parent
    assert Path(library).name.startswith("libonnxruntime.so")


def test_without_the_onnxruntime_package_nothing_is_set():
    # A None entry in sys.modules makes the package unfindable, as if not installed.
    result = run_python("import os, sys\nsys.modules['onnxruntime'] = None\n"
                        "os.environ.pop('ORT_DYLIB_PATH', None)\nimport murello\n"
                        "print(murello.onnxruntime_library_path(), "
                        "os.environ.get('ORT_DYLIB_PATH'))\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["None", "None"]


PACKAGE = "the onnxruntime package's library"
USER = "/nonexistent/libonnxruntime.so"


@pytest.mark.parametrize(
    "env, options, seen, invalid",
    [
        # No path in hand: the shipped model and the onnxruntime package's library.
        ({"ORT_DYLIB_PATH": None}, "{}", PACKAGE, None),
        # The user's variable reaches the core untouched, even when it is wrong.
        ({"ORT_DYLIB_PATH": USER}, "{}", USER,
         [USER, "ORT_DYLIB_PATH does not point to a regular file"]),
        # An empty variable is the user's choice of the system loader's search.
        ({"ORT_DYLIB_PATH": ""}, None, "", None),
        # A constructor's path wins over the package's default and over the user's variable.
        ({"ORT_DYLIB_PATH": None}, "{'ort_library_path': '/'}", PACKAGE,
         ["/", "path does not exist or is not a regular file"]),
        ({"ORT_DYLIB_PATH": USER}, "{'ort_library_path': murello.onnxruntime_library_path()}",
         USER, None),
    ],
    ids=["no-path", "user-variable", "empty-variable", "argument-over-default", "argument-over-variable"],
)
def test_runtime_choice(speech, env, options, seen, invalid):
    report = analyse(speech, env, options or "{}")
    assert report["seen"] == (murello.onnxruntime_library_path() if seen is PACKAGE else seen)
    if options is None:
        return  # what the system loader finds depends on the machine
    if invalid is None:
        assert len(report["segments"]) >= 1
    else:
        assert report["invalid"] == invalid


def test_one_version_everywhere():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    declared = re.search(r"project\([^)]*\bVERSION\s+([0-9.]+)", cmake).group(1)
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert "version" not in project and "version" in project["dynamic"]
    assert (murello.__version__, murello.version().murello,
            importlib.metadata.version("murello")) == (declared,) * 3
