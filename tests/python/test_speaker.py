"""SpeakerBridge: construction, the sample forms it takes, and playback end to end on the
test sound card (tests/alsa), whose speakers record exactly what they play."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import wave
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

from conftest import ROOT, run_python
from murello._murello import SpeakerBridge
from murello.exceptions import (
    ChannelsOutOfRange,
    InvalidFormat,
    SampleRateOutOfRange,
    SpeakerStreamClosed,
)

CARD_CONF = (
    Path(os.environ.get("MURELLO_BUILD_DIR", ROOT / "build" / "tests")) / "tests" / "alsa" / "card.conf"
)


@dataclass
class Card:
    env: dict[str, str]
    record: Path

    def run(self, code: str) -> dict:
        """Runs `code` in a fresh interpreter on the card and returns what it printed as
        JSON (ALSA's configuration is process-wide)."""
        result = run_python(code, self.env)
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout.strip().splitlines()[-1])

    def played(self) -> np.ndarray:
        return np.fromfile(self.record, dtype="<f4")


@pytest.fixture
def card(tmp_path) -> Card:
    """The test card, with a recording speaker and a speaker that is lost 100 ms in, both
    selectable by name."""
    if not CARD_CONF.exists():
        pytest.skip(f"the test sound card is not built ({CARD_CONF}); run scripts/test")
    record = tmp_path / "played.raw"
    extra = tmp_path / "speakers.conf"
    extra.write_text(
        f"""
pcm.recorder {{
  type asym
  playback.pcm "speaker:RECORD={record}"
  hint {{ show on description "Recording speaker|IOIDOutput" }}
}}
pcm.lost {{
  type asym
  playback.pcm "speaker_unplug:AFTER=4800"
  hint {{ show on description "Lost speaker|IOIDOutput" }}
}}
"""
    )
    return Card({"ALSA_CONFIG_PATH": f"{CARD_CONF}:{extra}"}, record)


def leading_silence_then(played: np.ndarray, written: np.ndarray) -> None:
    """`played` is silence, then `written` exactly, then silence."""
    lead = int(np.argmax(played != 0))
    assert lead % 2 == 0
    assert played[lead : lead + len(written)].tobytes() == written.tobytes()
    assert not played[:lead].any() and not played[lead + len(written) :].any()


# What a script does after its last write: wait until everything written has left the
# device's buffer (0.1 s of silence after it), then stop.
FINISH = """
s.drain()
import time
target = s.underrun_count + 9600
while s.underrun_count < target:
    time.sleep(0.005)
s.stop()
"""


def test_constructor_checks_in_order_and_a_fresh_bridge_is_idle():
    assert SpeakerBridge.__text_signature__ == "(sample_rate, channels, format, device=None)"
    with pytest.raises(InvalidFormat, match="^format must be 'int16' or 'float32'$"):
        SpeakerBridge(999, 0, "pcm")
    with pytest.raises(ValueError, match="^device must be None, int, str, or Device$"):
        SpeakerBridge(999, 0, "int16", device=-1)
    with pytest.raises(SampleRateOutOfRange, match="^sample rate must be between 1000 and 384000$"):
        SpeakerBridge(999, 0, "int16")
    with pytest.raises(ChannelsOutOfRange, match="^channels must be at least 1$"):
        SpeakerBridge(sample_rate=48000, channels=0, format="float32")
    with pytest.raises(OverflowError) as overflow:
        SpeakerBridge(48000, 70000, "float32")
    assert overflow.value.__notes__ == ["while processing 'channels'"]

    s = SpeakerBridge(48000, 2, "float32", None)
    assert s.is_playing is False and s.underrun_count == 0
    for call in (lambda: s.write(b""), s.drain):
        with pytest.raises(SpeakerStreamClosed, match="^output is not running$"):
            call()
    s.stop()
    s.close()


def test_samples_of_the_wrong_kind_are_refused_before_the_stream_is_looked_at():
    s = SpeakerBridge(48000, 1, "int16")
    with pytest.raises(TypeError) as dtype:
        s.write(np.zeros(4, dtype=np.float32))
    assert str(dtype.value) == (
        "format='int16' configured but 1-D ndarray dtype is float32; convert with "
        "arr.astype(np.int16) or construct Speaker with format='float32'"
    )
    with pytest.raises(TypeError, match="^samples must be bytes or numpy.ndarray"):
        s.write([0.0, 0.5])
    with pytest.raises(ValueError, match="^2-D ndarray must be C-contiguous"):
        s.write(np.zeros((4, 2), dtype=np.int16).T)


def test_float32_plays_bit_exact_from_arrays_and_bytes(card):
    written = np.random.default_rng(1).uniform(0.001, 1.0, 48000).astype(np.float32)
    written[::3] *= -1
    np.save(card.record.with_suffix(".npy"), written)
    card.run(
        f"""
import json, numpy as np, murello._murello as m
w = np.load({str(card.record.with_suffix(".npy"))!r})
s = m.SpeakerBridge(48000, 2, "float32", device="Recording speaker")
s.start()
s.write(w[:200].reshape(-1, 2))          # (frames, channels)
s.write(w[200:201].tobytes())            # half a frame ...
s.write(w[201:5001])                     # ... completed by the next write
s.write(w[5001:].tobytes() + b"\\x01")   # a stray byte is ignored
{FINISH}
print(json.dumps({{}}))
"""
    )
    leading_silence_then(card.played(), written)


def test_unsafe_samples_never_reach_the_speaker_and_a_lone_sample_shifts_no_channel(card):
    # Left channel 0.25 + k/1e5, right -0.25 - k/1e5, so a swap shows at once; some
    # frames carry NaN, infinities and values far beyond full scale.
    frames = 4800
    k = np.arange(frames, dtype=np.float64) / 1e5
    stereo = np.stack([0.25 + k, -0.25 - k], axis=1).astype(np.float32)
    unsafe = stereo.copy()
    bad = [np.nan, np.inf, -np.inf, 1e30, -1e30, 1.5, -3.0]
    for i, value in enumerate(bad):
        unsafe[100 + 7 * i, i % 2] = value
    np.save(card.record.with_suffix(".npy"), unsafe)
    card.run(
        f"""
import json, numpy as np, murello._murello as m
w = np.load({str(card.record.with_suffix(".npy"))!r}).reshape(-1)
s = m.SpeakerBridge(48000, 2, "float32", device="Recording speaker")
s.start()
s.write(w[:301])                 # ends with a lone left sample ...
s.write(w[301:302].tobytes())    # ... whose right sample comes alone
s.write(w[302:4001])             # a lone left sample again ...
s.write(w[4001:])                # ... completed by the last write
{FINISH}
print(json.dumps({{}}))
"""
    )
    expected = unsafe.copy()
    expected[~np.isfinite(expected)] = 0.0
    expected = np.clip(expected, -1.0, 1.0)
    played = card.played()
    assert np.isfinite(played).all() and np.abs(played).max() <= 1.0
    lead = int(np.argmax(played != 0))
    assert lead % 2 == 0
    assert played[lead : lead + expected.size].tobytes() == expected.reshape(-1).tobytes()


def test_int16_plays_within_one_step_of_the_float_signal(card):
    t = np.arange(24000) / 48000
    signal_ = (0.8 * np.sin(2 * np.pi * 440 * t + 0.5)).astype(np.float32)
    stereo = np.repeat(signal_, 2)
    quantised = np.clip(np.trunc(stereo * 32768), -32768, 32767).astype("<i2")
    card.record.with_suffix(".pcm").write_bytes(quantised.tobytes())
    card.run(
        f"""
import json, numpy as np, murello._murello as m
data = open({str(card.record.with_suffix(".pcm"))!r}, "rb").read()
s = m.SpeakerBridge(48000, 2, "int16", device="Recording speaker")
s.start()
s.write(data[:1001])                      # an odd byte count: the last byte is dropped
s.write(np.frombuffer(data[1000:], dtype=np.int16).reshape(-1, 2))
{FINISH}
print(json.dumps({{}}))
"""
    )
    played = card.played()
    lead = int(np.argmax(played != 0))
    got = played[lead : lead + len(stereo)]
    assert np.array_equal(got, quantised.astype(np.float32) / 32768)
    assert np.max(np.abs(got - stereo)) <= 1 / 32768


def test_silence_before_the_first_write_is_counted_and_restarts_from_zero(card):
    out = card.run(
        """
import json, time, murello._murello as m
s = m.SpeakerBridge(48000, 2, "float32", device="Test speaker")
before = time.monotonic()
s.start()
time.sleep(0.1)
early = s.underrun_count
elapsed = time.monotonic() - before
s.stop()
stopped = s.underrun_count
with s:
    restarted = s.is_playing
print(json.dumps({"early": early, "elapsed": elapsed, "stopped": stopped,
                  "restarted": restarted, "after": s.is_playing}))
"""
    )
    # 100 ms at 48 kHz stereo is 9600 samples (less two periods for an audio thread woken
    # late); the device's buffer adds up to 40 ms.
    assert 9600 - 2 * 960 <= out["early"] <= (out["elapsed"] + 0.05) * 96000
    assert out["stopped"] == 0 and out["restarted"] and not out["after"]


def test_a_lost_device_fails_once_then_the_stream_is_closed_until_stop(card):
    out = card.run(
        """
import json, murello._murello as m
s = m.SpeakerBridge(48000, 2, "float32", device="Lost speaker")
s.start()
chunk = bytes(480 * 2 * 4)
errors = []
for call in [lambda: s.write(chunk)] * 1000:
    try:
        call()
    except Exception as e:
        errors.append([type(e).__name__, str(e)])
        break
for call in (lambda: s.write(chunk), s.drain):
    try:
        call()
    except Exception as e:
        errors.append([type(e).__name__, str(e)])
playing = s.is_playing
s.stop()
print(json.dumps({"errors": errors, "playing": playing, "after": s.is_playing}))
"""
    )
    assert out["errors"] == [
        ["DeviceFailed", "murello: audio device error: No such device"],
        ["SpeakerStreamClosed", "output is not running"],
        ["SpeakerStreamClosed", "output is not running"],
    ]
    assert out["playing"] is True and out["after"] is False


def test_blocked_writers_and_drainers_let_other_threads_run_and_stop_releases_them(card):
    out = card.run(
        """
import json, threading, time, numpy as np, murello._murello as m
s = m.SpeakerBridge(48000, 2, "float32", device="Test speaker")
s.start()
s.write(np.zeros(5 * 96000, np.float32))   # five seconds being played ...
while True:                                # (taken once the silence stops growing)
    before = s.underrun_count
    time.sleep(0.03)
    if s.underrun_count == before:
        break
chunk = np.zeros(960, np.float32)
for _ in range(32):                        # ... and a full queue behind them
    s.write(chunk)
results = {}
def attempt(name, call):
    try:
        call()
        results[name] = "returned"
    except Exception as e:
        results[name] = type(e).__name__
threads = [threading.Thread(target=attempt, args=("write", lambda: s.write(chunk))),
           threading.Thread(target=attempt, args=("drain", s.drain))]
for t in threads:
    t.start()
spins, end = 0, time.monotonic() + 0.2
while time.monotonic() < end:
    spins += 1
waiting = dict(results)
s.stop()
for t in threads:
    t.join()
print(json.dumps({"spins": spins, "waiting": waiting, "results": results}))
"""
    )
    assert out["spins"] > 1000 and out["waiting"] == {}
    assert out["results"] == {"write": "SpeakerStreamClosed", "drain": "returned"}


def test_devices_are_chosen_like_microphones_and_refused_with_the_core_texts(card):
    out = card.run(
        """
import json, murello._murello as m
from murello._classes import Device
outcomes = []
for device, channels in (("no such speaker", 2), ("speaker", 2), ("Test speaker", 4)):
    s = m.SpeakerBridge(48000, channels, "float32", device=device)
    try:
        s.start()
        outcomes.append("started")
    except Exception as e:
        outcomes.append([type(e).__name__, str(e)])
    outcomes.append(s.is_playing)
listed = [d for d in m.SpeakerBridge.devices() if d.name == "Recording speaker"][0]
with m.SpeakerBridge(48000, 2, "float32", device=Device(listed.id)) as s:
    outcomes.append(s.is_playing)
with m.SpeakerBridge(48000, 2, "float32", device=listed.index) as s:
    outcomes.append(s.is_playing)
print(json.dumps(outcomes))
"""
    )
    assert out[0] == ["SpeakerNotFound", 'No speaker found matching "no such speaker"']
    assert out[2][0] == "MultipleDevicesMatch"
    assert out[4][0] == "SpeakerChannelsUnsupported"
    assert out[4][1].startswith("the output device does not support 4 output channels; "
                                "it reports 2: ")
    assert out[1] is out[3] is out[5] is False
    assert out[6:] == [True, True]


def test_a_thousand_starts_and_stops_leave_nothing_behind(card):
    out = card.run(
        """
import json, os, murello._murello as m
def usage():
    rss = int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")), rss
s = m.SpeakerBridge(48000, 2, "float32", device="Test speaker")
chunk = bytes(3840)
def cycles(n):
    for i in range(n):
        s.start()
        if i % 10 == 0:
            s.write(chunk)
        s.stop()
cycles(50)
before = usage()
cycles(1000)
after = usage()
print(json.dumps({"before": before, "after": after}))
"""
    )
    (fds0, tasks0, rss0), (fds1, tasks1, rss1) = out["before"], out["after"]
    assert (fds1, tasks1) == (fds0, tasks0)
    assert rss1 - rss0 < 4 << 20


# ---- murello play ----


def write_wav(path: Path, seconds: float, rate: int = 16000) -> None:
    t = np.arange(int(seconds * rate)) / rate
    samples = (0.5 * np.sin(2 * np.pi * 330 * t) * 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.tobytes())


def cli(card: Card, *args: str) -> subprocess.Popen:
    env = dict(os.environ, **card.env)
    return subprocess.Popen(
        [sys.executable, "-m", "murello", *args], env=env,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )


def test_play_converts_a_file_to_the_speakers_default_configuration(card, tmp_path):
    source = tmp_path / "tone.wav"
    write_wav(source, 0.5)
    done = cli(card, "play", str(source), "--device", "Recording speaker")
    _, err = done.communicate(timeout=60)
    assert done.returncode == 0, err
    # The test speaker offers 48 kHz stereo: what plays is the mono file on both
    # channels as FileBridge converts it, every sample of it.
    expected = card.run(
        f"""
import json, numpy as np, murello._murello as m
f = m.FileBridge.open({str(source)!r}, sample_rate=48000, channels=2, channel_map=[0, 0],
                      format="float32", numpy=True)
chunks = []
while (c := f.read()) is not None:
    chunks.append(c.reshape(-1))
np.save({str(tmp_path / "expected.npy")!r}, np.concatenate(chunks))
print(json.dumps({{}}))
"""
    )
    assert expected == {}
    converted = np.load(tmp_path / "expected.npy")
    played = card.played()
    start = int(np.argmax(played != 0))
    first = int(np.argmax(converted != 0))
    assert played[start : start + len(converted) - first].tobytes() == converted[first:].tobytes()


def test_play_stops_at_once_on_ctrl_c(card, tmp_path):
    source = tmp_path / "long.wav"
    write_wav(source, 30.0)
    player = cli(card, "play", str(source), "--device", "Recording speaker")
    assert "Ctrl-C" in player.stderr.readline()
    player.send_signal(signal.SIGINT)
    # Far less than the 30 s the file lasts; the limit only guards against a hang.
    player.wait(timeout=60)
    assert player.returncode == 130
    assert "stopped" in player.stderr.read()


def test_play_reports_a_missing_speaker(card, tmp_path):
    source = tmp_path / "tone.wav"
    write_wav(source, 0.1)
    done = cli(card, "play", str(source), "--device", "no such speaker")
    _, err = done.communicate(timeout=60)
    assert done.returncode == 2
    assert 'No speaker found matching "no such speaker"' in err
