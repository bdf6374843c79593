"""murello.play and murello.record on the test sound card: arrays in and out, converted
to and from the device's own configuration."""

from __future__ import annotations

import json

import numpy as np
import pytest

import murello
from murello import _murello, exceptions
from murello._classes import Device

from conftest import run_python
from test_microphone import card  # noqa: F401 (the named microphones)
from test_microphone import card_config
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


def test_the_core_says_which_device_an_argument_selects(card):
    listing = {m.name: m for m in murello.MicrophoneBridge.devices()}

    def entry(m):
        return (m.index, m.name, m.id, m.max_input_channels, m.default_sample_rate)

    quiet = entry(listing["Quiet mic"])
    assert quiet[3:] == (1, 16000)
    for argument in ("QUIET", quiet[0], Device("alsa:quiet")):
        assert _murello._selected_device("capture", argument) == quiet
    (default,) = [m for m in listing.values() if m.is_default]
    assert _murello._selected_device("capture") == entry(default)
    assert _murello._selected_device(direction="capture", device=None) == entry(default)
    # The refusals a start would raise, raised without opening a stream.
    for direction, argument, error in [
        ("capture", "mic", exceptions.MultipleDevicesMatch),
        ("capture", "nothing", exceptions.MicrophoneNotFound),
        ("capture", 99, exceptions.DeviceIndexOutOfRange),
        ("playback", "quiet", exceptions.SpeakerNotFound),
    ]:
        with pytest.raises(error):
            _murello._selected_device(direction, argument)
    with pytest.raises(ValueError, match="direction must be 'capture' or 'playback'"):
        _murello._selected_device("both")
    with pytest.raises(ValueError, match="device must be None, int, str, or Device"):
        _murello._selected_device("capture", -1)


def test_play_uses_an_unlisted_default_speakers_own_configuration(tmp_path):
    # The default speaker is missing from the listing and takes 16 kHz mono only: the
    # samples reach it unconverted.
    record = tmp_path / "played.raw"
    extra = tmp_path / "default.conf"
    extra.write_text(f'pcm.!default {{ type asym playback.pcm "speaker:RATE=16000,CHANNELS=1,'
                     f'RECORD={record}" }}\n')
    result = run_python(
        """
import json, numpy as np, murello
from murello import _murello
ramp = np.linspace(-0.5, 0.5, 4000, dtype=np.float32)
murello.play(ramp, 16000)
print(json.dumps(_murello._selected_device("playback")))
""", {"ALSA_CONFIG_PATH": f"{card_config()}:{extra}"})
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == [None, "default", "alsa:default", 1, 16000]
    played = np.fromfile(record, dtype="<f4")
    start = int(np.argmax(played != 0))
    ramp = np.linspace(-0.5, 0.5, 4000, dtype=np.float32)
    assert played[start:start + 4000].tobytes() == ramp.tobytes()
