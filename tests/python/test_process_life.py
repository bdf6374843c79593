"""The bridges in the life of a real program: threads still inside a call when the
interpreter exits, fork(), and Ctrl-C while a call waits. Each case runs in a fresh
interpreter on the test sound card (tests/alsa)."""

from __future__ import annotations

import json
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
    """The test card plus a microphone and a speaker that stall for five seconds 0.1 s
    in."""
    if not CARD_CONF.exists():
        pytest.skip(f"the test sound card is not built ({CARD_CONF}); run scripts/test")
    extra = tmp_path / "stall.conf"
    extra.write_text(
        """
pcm.speaker_stall {
  type testcard
  kind speaker
  stall_at 4800
  stall_ms 5000
  hint { show on description "Stalled speaker|IOIDOutput" }
}
pcm.mic_stalled {
  type testcard
  kind mic
  stall_at 4800
  stall_ms 5000
  hint { show on description "Stalled microphone|IOIDInput" }
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



# The interpreter exits while a daemon thread loads ONNX Runtime and the model for its
# first analysis: the runtime's own exit handlers must not run while the load is under way.
# The race is narrow, so the exit comes at several points of the load.
FIRST_LOAD = """
import sys, threading, time
import murello
started = threading.Event()
def analyse():
    started.set()
    murello.analyze(sys.argv[1], sample_rate=16000, channels=1)
threading.Thread(target=analyse, daemon=True).start()
started.wait()
time.sleep(float(sys.argv[2]))
"""


@pytest.mark.parametrize("delay", [0.0, 0.002, 0.005, 0.01, 0.02, 0.04, 0.08])
def test_exit_during_a_daemon_threads_first_model_load(card_env, long_wav, delay):
    result = run(FIRST_LOAD, card_env, str(long_wav), str(delay))
    assert (result.returncode, result.stderr) == (0, "")

# The main thread waits in the call; another thread sends SIGINT once it has waited a
# while (a microphone and a speaker that stall for five seconds 0.1 s in).
CTRL_C = """
import json, os, signal, threading, time
import murello._murello as m
{setup}
sent = []
def interrupt():
    time.sleep(1.0)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt).start()
try:
    while True:
        call()
except KeyboardInterrupt:
    print(json.dumps({{"after_signal_s": time.monotonic() - sent[0]}}))
"""

WAITS = {
    "read": """
bridge = m.MicrophoneBridge(48000, 2, 480, "float32", device="Stalled microphone")
bridge.start()
call = bridge.read""",
    "write": """
bridge = m.SpeakerBridge(48000, 2, "float32", device="Stalled speaker")
bridge.start()
call = lambda: bridge.write(bytes(480 * 2 * 4))""",
    "drain": """
bridge = m.SpeakerBridge(48000, 2, "float32", device="Stalled speaker")
bridge.start()
for _ in range(20):
    bridge.write(bytes(480 * 2 * 4))
call = bridge.drain""",
}


@pytest.mark.parametrize("call", WAITS)
def test_ctrl_c_interrupts_a_waiting_call_at_once(card_env, call):
    result = run(CTRL_C.format(setup=WAITS[call]), card_env)
    assert result.returncode == 0, result.stderr
    # The device stalls for seconds; the signal is handled within a few check intervals.
    assert json.loads(result.stdout)["after_signal_s"] < 0.1


def test_read_takes_every_unsigned_64_bit_timeout_and_names_the_range_beyond(card_env):
    code = """
import json, murello._murello as m
bridge = m.MicrophoneBridge(16000, 1, 160, "float32", device="Test microphone")
bridge.start()
out = {"block": len(bridge.read(timeout_ms=2**63)) + len(bridge.read(timeout_ms=2**64 - 1))}
for value in (2**64, -1):
    try:
        bridge.read(timeout_ms=value)
    except OverflowError as e:
        out[str(value)] = [str(e), e.__notes__]
print(json.dumps(out))
"""
    result = run(code, card_env)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)
    assert out["block"] == 2 * 160 * 4
    note = ["while processing 'timeout_ms'"]
    where = "(timeout_ms is None or 0 to 18446744073709551615)"
    assert out[str(2**64)] == [f"number too large to fit in target type {where}", note]
    assert out["-1"] == [f"number too small to fit in target type {where}", note]


# A parent capturing and playing forks a child that does one thing with the bridges it
# inherited, then exits normally; the parent's streams must go on as before.
FORK = """
import json, os, signal, sys
import murello._murello as m
signal.alarm(60)
mic = m.MicrophoneBridge(16000, 1, 160, "float32", device="Test microphone")
speaker = m.SpeakerBridge(48000, 2, "float32", device="Test speaker")
mic.start()
speaker.start()
chunk = bytes(480 * 2 * 4)
for _ in range(5):
    mic.read()
    speaker.write(chunk)
pid = os.fork()
if pid == 0:
    signal.alarm(10)
    errors = []
    for call in {calls}:
        try:
            call()
        except Exception as e:
            errors.append([type(e).__name__, str(e)])
    print("child " + json.dumps({{"pid": os.getpid(), "errors": errors}}), flush=True)
    sys.exit(0)
_, status = os.waitpid(pid, 0)
blocks = sum(mic.read(timeout_ms=1000) is not None for _ in range(20))
for _ in range(100):
    speaker.write(chunk)
speaker.drain()
print(json.dumps({{"pid": os.getpid(), "child": os.waitstatus_to_exitcode(status),
                  "blocks": blocks, "open": mic.is_open, "playing": speaker.is_playing}}))
mic.stop()
speaker.stop()
"""

CHILDREN = {
    # Runs a stream of its own, then leaves the inherited bridges to the finalisers.
    "exits": ("[lambda: m.MicrophoneBridge(16000, 1, 160, 'float32').__enter__().read()]", []),
    "stops": ("[mic.stop, speaker.stop]", ["MicrophoneBridge", "SpeakerBridge"]),
    "reads": (
        "[mic.read, lambda: speaker.write(chunk), speaker.drain, lambda: mic.is_open]",
        ["MicrophoneBridge", "SpeakerBridge", "SpeakerBridge", "MicrophoneBridge"],
    ),
    # A microphone of its own whose echo reference would be the parent's speaker.
    "links": (
        "[lambda: m.MicrophoneBridge(16000, 1, 160, 'float32', aec='tau', echo_reference=speaker)]",
        ["SpeakerBridge"],
    ),
}


@pytest.mark.parametrize("child", CHILDREN)
def test_a_forked_child_leaves_the_parents_streams_alone(card_env, child):
    calls, refused_by = CHILDREN[child]
    result = run(FORK.format(calls=calls), card_env)
    assert (result.returncode, result.stderr) == (0, "")
    child_line, parent_line = result.stdout.strip().splitlines()
    parent = json.loads(parent_line)
    assert parent.pop("pid") != 0
    assert parent == {"child": 0, "blocks": 20, "open": True, "playing": True}
    report = json.loads(child_line.removeprefix("child "))
    assert report["errors"] == [
        [
            "BridgeUsedAfterFork",
            f"{name} was created in pid {parent_pid} but is being used in pid {report['pid']}. "
            "A forked process cannot use its parent's audio stream; construct a new one in "
            "this process.",
        ]
        for name in refused_by
        for parent_pid in [json.loads(parent_line)["pid"]]
    ]
