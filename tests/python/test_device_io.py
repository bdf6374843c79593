"""murello.play and murello.record on the test sound card: arrays in and out, converted
to and from the device's own configuration."""

from __future__ import annotations

import numpy as np

import murello

from test_microphone import card  # noqa: F401 (the named microphones)
from test_speaker import card as speakers  # noqa: F401 (the recording speaker)


def test_play_converts_an_array_to_the_speakers_configuration(speakers):
    # 0.25 s of a 16 kHz mono ramp on a speaker that takes 48 kHz stereo.
    assert speakers.run(
        """
import json, numpy as np, murello
ramp = np.linspace(-0.5, 0.5, 4000, dtype=np.float32)
playing = murello.play(ramp, 16000, device="Recording speaker")
print(json.dumps({"active": playing.active}))
"""
    ) == {"active": False}
    # Every sample of the ramp as the file machinery converts it, on both channels.
    ramp = np.linspace(-0.5, 0.5, 4000, dtype=np.float32)
    converted = np.concatenate(list(murello.FileBridge.buffer(
        ramp.tobytes(), 16000, sample_rate=48000, channels=2, channel_map=[0, 0],
        format="float32", numpy=True))).reshape(-1)
    played = speakers.played()
    start = int(np.argmax(played != 0))
    first = int(np.argmax(converted != 0))
    assert played[start:start + len(converted) - first].tobytes() == converted[first:].tobytes()


def test_play_can_return_at_once_and_be_stopped(speakers):
    result = speakers.run(
        """
import json, numpy as np, murello
tone = np.zeros((48000 * 20, 2), np.int16) + 1000
playing = murello.play(tone, 48000, device="Recording speaker", blocking=False)
started = playing.active
playing.stop()
print(json.dumps({"started": started, "finished": playing.wait(), "repr": repr(playing)}))
"""
    )
    assert result == {"started": True, "finished": True, "repr": "Playing(active=False)"}
    # Stopped long before the twenty seconds were written.
    assert 0 < len(speakers.played()) < 48000 * 2 * 10


def test_record_returns_the_seconds_asked_for_at_the_rate_and_channels(card):
    mono = murello.record(0.5, 16000, device="Tone mic")
    assert mono.shape == (8000,) and mono.dtype == np.float32
    assert 0.45 < np.max(np.abs(mono[1000:])) < 0.55  # the card's sine at half scale
    stereo = murello.record(0.1, 8000, channels=2, device="Tone mic")
    assert stereo.shape == (800, 2)
    assert murello.record(0, 16000, device="Tone mic").shape == (0,)
