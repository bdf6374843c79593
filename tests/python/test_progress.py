"""Long command-line work: progress counted natively, shown on a terminal, and Ctrl-C
that ends the work at once without a traceback."""

from __future__ import annotations

import fcntl
import os
import pty
import signal
import struct
import subprocess
import sys
import termios

import numpy as np
import pytest
import soundfile

from murello import _murello, _progress


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("progress") / "long.wav"
    noise = np.random.default_rng(5).uniform(-0.1, 0.1, 16000 * 300).astype(np.float32)
    soundfile.write(path, noise, 16000)
    return path


@pytest.fixture(scope="module")
def silent_hours(tmp_path_factory):
    """Two hours of 48 kHz stereo silence as a sparse 16-bit WAV: long enough that a
    conversion is still running when Ctrl-C comes, without writing its gigabytes."""
    path = tmp_path_factory.mktemp("progress") / "silent.wav"
    data = 2 * 3600 * 48000 * 4
    header = (b"RIFF" + struct.pack("<I", 36 + data) + b"WAVEfmt "
              + struct.pack("<IHHIIHH", 16, 1, 2, 48000, 48000 * 4, 4, 16)
              + b"data" + struct.pack("<I", data))
    with open(path, "wb") as file:
        file.write(header)
        file.truncate(len(header) + data)
    return path


def test_analysis_counts_its_frames_and_stops_when_asked(long_file):
    work = _murello._Progress()
    windows, _ = _murello._analyze(long_file, work, vad=True)
    assert work.frames == 16000 * 300 and len(windows) == 16000 * 300 // 512
    stopped = _murello._Progress()
    stopped.stop()
    windows, _ = _murello._analyze(long_file, stopped, vad=True)
    assert 0 < stopped.frames < 16000 and len(windows) == stopped.frames // 512


def read_until(fd: int, marker: bytes) -> bytes:
    seen = b""
    while marker not in seen:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the terminal closed: the process ended
            break
        if not chunk:
            break
        seen += chunk
    return seen


def test_conversion_counts_its_frames_and_stops_when_asked(long_file, tmp_path):
    work = _murello._Progress()
    out = tmp_path / "out.wav"
    assert _murello._convert(long_file, out, progress=work, sample_rate=8000) == (0, 0)
    assert work.frames == 8000 * 300 and out.exists()
    stopped = _murello._Progress()
    stopped.stop()
    assert _murello._convert(long_file, out, progress=stopped, sample_rate=8000) is None
    assert 0 < stopped.frames < 8000 * 300
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.wav"]  # the earlier one kept


def run_in_terminal(args: list[str], marker: bytes, columns: int,
                    stop: int = signal.SIGINT) -> tuple[int, bytes]:
    """Runs the command line with stderr on a terminal `columns` wide, sends `stop`
    (Ctrl-C) once `marker` was shown, and returns the status and all that was shown."""
    terminal, stderr = pty.openpty()
    fcntl.ioctl(stderr, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen([sys.executable, "-m", "murello", *args],
                            stdout=subprocess.PIPE, stderr=stderr)
    os.close(stderr)
    try:
        seen = read_until(terminal, marker)
        assert marker in seen, seen
        proc.send_signal(stop)
        proc.wait(timeout=120)  # a guard against a hang, not a measure
        seen += read_until(terminal, b"\0")
    finally:
        os.close(terminal)
        proc.kill()
    return proc.returncode, seen


@pytest.mark.parametrize("command", [
    ["analyze", "{speech}"],
    ["convert", "{silence}", "{out}", "--rate", "8000", "--channels", "1"],
])
def test_ctrl_c_ends_long_work_at_once_without_a_traceback(long_file, silent_hours, tmp_path,
                                                           command):
    pytest.importorskip("tqdm")
    out = tmp_path / "out.flac"
    args = [a.format(speech=long_file, silence=silent_hours, out=out) for a in command]
    status, seen = run_in_terminal(args, b"%|", 100)  # the bar, with the share done
    assert status == 130, seen
    assert b"murello: interrupted" in seen and b"Traceback" not in seen
    # A conversion cut short leaves neither its output nor its hidden temporary file.
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGHUP])
def test_a_conversion_told_to_stop_cleans_up_as_for_ctrl_c(silent_hours, tmp_path, stop):
    pytest.importorskip("tqdm")
    out = tmp_path / "out.flac"
    status, seen = run_in_terminal(["convert", str(silent_hours), str(out), "--rate", "8000"],
                                   b"%|", 100, stop)
    assert status == 130, seen
    assert b"murello: interrupted" in seen and b"Traceback" not in seen
    assert list(tmp_path.iterdir()) == []


def test_a_terminal_without_a_width_gets_plain_lines(long_file, monkeypatch):
    pytest.importorskip("tqdm")
    terminal, stderr = pty.openpty()  # a new terminal reports 0 columns
    with os.fdopen(stderr, "w") as shown:
        monkeypatch.setattr(sys, "stderr", shown)
        monkeypatch.setattr(_progress, "PLAIN_SECONDS", 0.0)
        progress = _progress.Progress("converting", 100.0)
        progress.update(25.0)
        progress.close()
    line = read_until(terminal, b"\n")
    os.close(terminal)
    assert b"converting:  25% (25 of 100 s of audio)" in line, line
