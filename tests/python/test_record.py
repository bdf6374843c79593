"""`murello record` on the test sound card: the file survives every way the recorder ends."""

from __future__ import annotations

import os
import resource
import signal
import subprocess
import sys
import time

import pytest
import soundfile

import murello

from test_microphone import card_config

RATE = 16000
SUFFIXES = [".wav", ".aiff", ".flac"]


@pytest.fixture
def mics(tmp_path):
    """A tone microphone, and one that is unplugged after half a second (48 kHz)."""
    conf = tmp_path / "mics.conf"
    conf.write_text(
        f"<{card_config()}>\n"
        "pcm.tone { type testcard kind mic rate 48000 channels 2 signal sine amplitude 0.5 "
        'hint { show on description "Tone mic|IOIDInput" } }\n'
        "pcm.unplugged { type testcard kind mic rate 48000 channels 1 signal ramp "
        'unplug_after 24000 hint { show on description "Unplugged mic|IOIDInput" } }\n')
    return dict(os.environ, ALSA_CONFIG_PATH=str(conf))


def start(env, out, *options, preexec_fn=None) -> subprocess.Popen:
    recorder = subprocess.Popen(
        [sys.executable, "-m", "murello", "record", str(out), "--rate", str(RATE), *options],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
        preexec_fn=preexec_fn)
    line = recorder.stderr.readline()
    assert "recording" in line, line + recorder.stderr.read()
    return recorder


def wait_for_size(path, size: int) -> None:
    """Waits until the recorder has written `size` bytes (no timing is asserted)."""
    while not path.exists() or path.stat().st_size < size:
        time.sleep(0.02)


def only_file(folder, out) -> None:
    assert sorted(p.name for p in folder.iterdir()) == ["mics.conf", out.name]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_killed_recorder_leaves_all_but_the_last_second(mics, tmp_path, suffix):
    out = tmp_path / f"take{suffix}"
    recorder = start(mics, out, "--device", "Tone mic")
    # 2.5 s of 16-bit mono, or of FLAC, which takes about a sixth of that for the tone.
    wait_for_size(out, int(2.5 * RATE * 2 / (6 if suffix == ".flac" else 1)))
    recorder.kill()
    recorder.communicate(timeout=60)
    if suffix == ".flac":
        # Its total is left unknown until the end, which soundfile cannot take.
        samples, rate = murello.load(out)
    else:
        samples, rate = soundfile.read(out, dtype="float32")
        assert len(samples) >= (out.stat().st_size - 100) // 2 - RATE
    assert rate == RATE and len(samples) >= RATE
    assert 0.45 < abs(samples).max() < 0.55
    only_file(tmp_path, out)


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_stop_signal_finishes_the_file(mics, tmp_path, suffix, stop):
    out = tmp_path / f"take{suffix}"
    recorder = start(mics, out, "--device", "Tone mic")
    wait_for_size(out, 6000)
    recorder.send_signal(stop)
    if stop == signal.SIGINT:
        recorder.send_signal(stop)  # a second Ctrl-C while the file is being finished
    _, err = recorder.communicate(timeout=60)
    assert recorder.returncode == 0, err
    assert "Traceback" not in err
    info = soundfile.info(out)
    assert f"wrote {out}: {info.frames} frames" in err
    assert info.frames > 0 and info.frames % 320 == 0  # whole 20 ms blocks
    only_file(tmp_path, out)


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_an_unplugged_microphone_keeps_what_it_recorded(mics, tmp_path, suffix):
    out = tmp_path / f"take{suffix}"
    result = subprocess.run(
        [sys.executable, "-m", "murello", "record", str(out), "--rate", str(RATE),
         "--device", "Unplugged mic"], capture_output=True, text=True, env=mics, timeout=60)
    assert result.returncode == 1, result.stderr
    frames = soundfile.info(out).frames
    # Half a second at 48 kHz reached the recorder before the unplug: all of it is kept,
    # with the resampler's tail, in whole blocks.
    assert RATE // 2 - 640 <= frames <= RATE // 2 + 320
    assert f"kept {frames} frames" in result.stderr and str(out) in result.stderr
    assert "murello: the microphone failed (audio device error" in result.stderr
    assert "murello: murello:" not in result.stderr
    only_file(tmp_path, out)


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_refused_write_keeps_what_fits(mics, tmp_path, suffix):
    limit = 20000

    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    out = tmp_path / f"take{suffix}"
    recorder = start(mics, out, "--device", "Tone mic", "--channels", "2",
                     preexec_fn=limit_file_size)
    _, err = recorder.communicate(timeout=60)
    assert recorder.returncode == 1, err
    assert "File too large" in err and "kept" in err
    samples, rate = soundfile.read(out, dtype="int16")
    assert samples.shape[1] == 2 and out.stat().st_size <= limit
    assert f"kept {len(samples)} frames" in err
    only_file(tmp_path, out)


@pytest.mark.parametrize("seconds", ["0", "-1", "nan", "inf"])
def test_seconds_must_be_above_zero(mics, tmp_path, seconds):
    out = tmp_path / "take.wav"
    result = subprocess.run(
        [sys.executable, "-m", "murello", "record", str(out), f"--seconds={seconds}",
         "--device", "Tone mic"], capture_output=True, text=True, env=mics, timeout=60)
    assert result.returncode == 2 and "--seconds must be" in result.stderr
    assert not out.exists()
