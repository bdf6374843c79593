"""Shared fixtures: the test-only probe module and subprocess helpers."""

from __future__ import annotations

import importlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
ALSA_DEVICES_CONF = ROOT / "tests" / "alsa" / "devices.conf"


@pytest.fixture(scope="session")
def probe():
    """The binding's internals, built by the test build into MURELLO_BUILD_DIR."""
    build = os.environ.get("MURELLO_BUILD_DIR", str(ROOT / "build" / "tests"))
    sys.path.insert(0, str(Path(build) / "tests" / "python" / "probe"))
    try:
        return importlib.import_module("_murello_probe")
    finally:
        sys.path.pop(0)


def run_python(code: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter (the registry and ALSA's configuration are
    process-wide) and returns the finished process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    probe_dir = Path(os.environ.get("MURELLO_BUILD_DIR", ROOT / "build" / "tests"))
    full_env["PYTHONPATH"] = os.pathsep.join(
        [str(probe_dir / "tests" / "python" / "probe"), full_env.get("PYTHONPATH", "")]
    )
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=full_env, timeout=120
    )


@pytest.fixture
def no_default_model():
    """The core's own rule, without the model the package registers at import: the model
    detector then needs model_path."""
    from murello import _murello, _paths

    _murello._set_default_model_path(None)
    yield
    _murello._set_default_model_path(_paths.SILERO_MODEL)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """Under CI=true a skipped test fails: a skip there means a missing install step."""
    outcome = yield
    report = outcome.get_result()
    if os.environ.get("CI") == "true" and report.skipped and not hasattr(report, "wasxfail"):
        report.outcome = "failed"
        report.longrepr = f"skipped under CI=true: {report.longrepr}"
