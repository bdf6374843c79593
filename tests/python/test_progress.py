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

from murello import _murello


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("progress") / "long.wav"
    noise = np.random.default_rng(5).uniform(-0.1, 0.1, 16000 * 300).astype(np.float32)
    soundfile.write(path, noise, 16000)
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


@pytest.mark.parametrize("command,marker", [
    (["analyze", "{file}"], b"%|"),  # the bar, with the share done
    (["convert", "{file}", "{out}", "--rate", "8000"], b"converting"),
])
def test_ctrl_c_ends_long_work_at_once_without_a_traceback(long_file, tmp_path, command, marker):
    pytest.importorskip("tqdm")
    args = [a.format(file=long_file, out=tmp_path / "out.flac") for a in command]
    terminal, stderr = pty.openpty()
    fcntl.ioctl(stderr, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    proc = subprocess.Popen([sys.executable, "-m", "murello", *args],
                            stdout=subprocess.PIPE, stderr=stderr)
    os.close(stderr)
    try:
        seen = read_until(terminal, marker)
        assert marker in seen, seen
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=120)  # a guard against a hang, not a measure
        seen += read_until(terminal, b"\0")
    finally:
        os.close(terminal)
        proc.kill()
    assert proc.returncode == 130, seen
    assert b"murello: interrupted" in seen and b"Traceback" not in seen
