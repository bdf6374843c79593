"""The bridges in the life of a real program: threads still inside a call when the
interpreter exits, fork(), and Ctrl-C while a call waits. Each case runs in a fresh
interpreter on the test sound card (tests/alsa)."""

from __future__ import annotations

import os
import subprocess
import sys
import wave
from pathlib import Path

import pytest

from conftest import ROOT

CARD_CONF = (
    Path(os.environ.get("MURELLO_BUILD_DIR", ROOT / "build" / "tests")) / "tests" / "alsa" / "card.conf"
)


@pytest.fixture
def card_env(tmp_path) -> dict[str, str]:
    """The test card plus a speaker that stalls for a minute after 0.1 s."""
    if not CARD_CONF.exists():
        pytest.skip(f"the test sound card is not built ({CARD_CONF}); run scripts/test")
    extra = tmp_path / "stall.conf"
    extra.write_text(
        """
pcm.speaker_stall {
  type testcard
  kind speaker
  stall_at 4800
  stall_ms 60000
  hint { show on description "Stalled speaker|IOIDOutput" }
}
"""
    )
    env = dict(os.environ)
    env["ALSA_CONFIG_PATH"] = f"{CARD_CONF}:{extra}"
    return env


def run(code: str, env: dict[str, str], *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, env=env, timeout=120
    )


# Every kind of call that lets go of the interpreter lock while it works or waits.
CALLS = {
    "MicrophoneBridge.read": """
bridge = MicrophoneBridge(16000, 1, 160, "float32", device="Test microphone")
bridge.start()
call = bridge.read""",
    "MicrophoneBridge.is_open": """
bridge = MicrophoneBridge(16000, 1, 160, "float32", device="Test microphone")
bridge.start()
call = lambda: bridge.is_open""",
    "SpeakerBridge.write": """
bridge = SpeakerBridge(48000, 2, "float32", device="Test speaker")
bridge.start()
call = lambda: bridge.write(bytes(480 * 2 * 4))""",
    "SpeakerBridge.drain": """
bridge = SpeakerBridge(48000, 2, "float32", device="Test speaker")
bridge.start()
call = lambda: (bridge.write(bytes(480 * 2 * 4)), bridge.drain())""",
    "FileBridge.read": """
def call():
    source = FileBridge.open(path, sample_rate=44100, highpass=100, agc=-20, dc_removal=True)
    while source.read() is not None:
        pass""",
    "EchoCanceller.process": """
canceller = murello.EchoCanceller(16000)
near = np.zeros(1600, np.float32)
call = lambda: canceller.process(near, near)""",
    "murello.load": """
call = lambda: murello.load(path)""",
}

DAEMON = """
import sys, threading, time
import numpy as np
import murello
from murello._murello import FileBridge, MicrophoneBridge, SpeakerBridge
path = sys.argv[1]
{setup}
started = threading.Event()
def loop():
    while True:
        call()
        started.set()
threading.Thread(target=loop, daemon=True).start()
started.wait()

class SlowExit:
    # Freed while the interpreter finalises: the lock is free meanwhile, so the daemon
    # thread comes back from its call and asks for it while the process still runs.
    def __del__(self):
        time.sleep(0.3)

slow_exit = SlowExit()
"""


@pytest.fixture(scope="module")
def long_wav(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("exit") / "stereo.wav"
    with wave.open(str(path), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(48000)
        out.writeframes(bytes(48000 * 2 * 2 * 10))
    return path


@pytest.mark.parametrize("call", CALLS)
def test_a_daemon_thread_inside_a_call_lets_the_interpreter_exit(card_env, long_wav, call):
    result = run(DAEMON.format(setup=CALLS[call]), card_env, str(long_wav))
    assert (result.returncode, result.stderr) == (0, "")
