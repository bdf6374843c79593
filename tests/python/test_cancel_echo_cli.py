"""`murello cancel-echo`: two files in, the cleaned recording out."""

from __future__ import annotations

import re

import numpy as np
import soundfile
import soxr

from murello.cli import main


def test_cancel_echo_with_the_far_end_at_another_rate_and_layout(tmp_path, capsys):
    rng = np.random.default_rng(7)
    # Speech-band noise: both rate conversions keep all of it, so all of the echo is
    # cancellable.
    far16 = soxr.resample(0.3 * rng.uniform(-1, 1, 8 * 8000), 8000, 16000).astype(np.float32)
    mic = np.zeros_like(far16)
    mic[800:] = 0.5 * far16[:-800]  # 50 ms later, half level
    far48 = soxr.resample(far16, 16000, 48000)
    soundfile.write(tmp_path / "far.wav", np.stack([far48, far48], 1), 48000, subtype="FLOAT")
    soundfile.write(tmp_path / "mic.flac", mic, 16000, subtype="PCM_24")

    out = tmp_path / "clean.wav"
    assert main(["cancel-echo", str(tmp_path / "mic.flac"), str(tmp_path / "far.wav"),
                 str(out)]) == 0
    cleaned, rate = soundfile.read(out, dtype="float32")
    assert rate == 16000 and cleaned.shape == mic.shape
    last = slice(7 * 16000, 8 * 16000)
    reduction = 10 * np.log10(np.sum(mic[last] ** 2) / (np.sum(cleaned[last] ** 2) + 1e-12))
    assert reduction > 15
    printed = capsys.readouterr().out
    delay = re.search(r"echo delay (\d+) samples", printed)
    # The far end's conversion from 48 kHz delays it by the resampler's own filter delay,
    # which shortens the echo delay the canceller sees.
    assert delay and 600 <= int(delay.group(1)) <= 832 and "ERLE" in printed


def test_the_erle_reported_is_the_median_while_the_far_end_played(tmp_path, capsys):
    rng = np.random.default_rng(3)
    far = soxr.resample(0.3 * rng.uniform(-1, 1, 6 * 8000), 8000, 16000).astype(np.float32)
    far[-2 * 16000:] = 0  # the far end falls silent for the last two seconds
    mic = np.zeros_like(far)
    mic[800:] = 0.5 * far[:-800]
    soundfile.write(tmp_path / "far.wav", far, 16000, subtype="FLOAT")
    soundfile.write(tmp_path / "mic.wav", mic, 16000, subtype="FLOAT")
    assert main(["cancel-echo", str(tmp_path / "mic.wav"), str(tmp_path / "far.wav"),
                 str(tmp_path / "clean.wav")]) == 0
    erle = re.search(r"ERLE (-?[\d.]+) dB \(median while the far end played\)",
                     capsys.readouterr().out)
    assert erle and float(erle.group(1)) > 10  # the last value would be 0 dB
