"""murello.analyze: whole-file voice analysis in one call."""

from __future__ import annotations

import subprocess

import numpy as np
import pytest
import soundfile

import murello
from murello._murello import FileBridge


@pytest.fixture(scope="module")
def speech(tmp_path_factory):
    """Spoken words between stretches of silence, in stereo at 22050 Hz (the right
    channel quieter), so the analysis resamples and down-mixes."""
    directory = tmp_path_factory.mktemp("analyze")
    spoken = directory / "spoken.wav"
    subprocess.run(["espeak-ng", "-w", str(spoken), "One two three. Four five."], check=True)
    words, rate = soundfile.read(spoken, dtype="float32")
    silence = np.zeros(rate, dtype=np.float32)
    mono = np.concatenate([silence, words, silence, words, silence])
    path = directory / "speech.flac"
    soundfile.write(path, np.stack([mono, 0.5 * mono], axis=1), rate, subtype="PCM_16")
    return path


@pytest.mark.parametrize(
    "options",
    [{}, dict(vad_threshold=0.3, vad_holdoff=50), dict(channel_map=[1], sample_rate=8000)],
    ids=["defaults", "threshold_holdoff", "right_channel_8k"],
)
def test_analyze_returns_what_file_bridge_analyze_returns(speech, options):
    expected = FileBridge.open(speech, vad=True, model_path=murello.silero_model_path(),
                               **options).analyze()
    windows, segments = murello.analyze(speech, **options)
    assert (windows, segments) == expected
    assert murello.analyze(speech, windows=False, **options) == ([], segments)
    assert len(segments) >= 2 and 0.9 < segments[0][0] < 1.1  # the words follow 1 s of silence
