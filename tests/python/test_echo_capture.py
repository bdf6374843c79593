"""Echo cancellation while capturing, on the test sound card's speaker-to-microphone loop."""

from __future__ import annotations

import threading
import time

import numpy as np
import pytest
import soxr

from murello import Device, MicrophoneBridge, SpeakerBridge
from test_microphone import card_config

RATE = 16000
BLOCK = 320  # 20 ms


@pytest.fixture
def loop(tmp_path, monkeypatch):
    """A loop whose microphone half hears its speaker half 120 ms later at half level."""
    conf = tmp_path / "loop.conf"
    conf.write_text(
        f"<{card_config()}>\n"
        "pcm.room { type testcard kind loop loop room delay_ms 120 gain 0.5 signal silence "
        "rate 16000 channels 1 hint { show on description \"Room\" } }\n"
        "pcm.room2 { type testcard kind loop loop room2 delay_ms 120 gain 0.5 signal silence "
        "rate 16000 channels 2 hint { show on description \"Room2\" } }\n")
    monkeypatch.setenv("ALSA_CONFIG_PATH", str(conf))
    return conf


def speech_band_noise(seconds: float, seed: int = 3) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = soxr.resample(0.3 * rng.uniform(-1, 1, int(seconds * 8000)), 8000, RATE)
    return x.astype(np.float32)


def play_and_push(speaker, mic, far, channels=1, reference=None):
    """Plays `far` in real time, pushing each chunk (or the matching chunk of
    `reference`) as the echo reference just before it is written."""
    start = time.monotonic()
    for i in range(0, len(far), BLOCK):
        chunk = far[i:i + BLOCK]
        mic.push_aec_reference(chunk if reference is None else reference(i, len(chunk)))
        speaker.write(np.repeat(chunk, channels).reshape(-1, channels) if channels > 1
                      else chunk)
        # Stay 200 ms ahead of the speaker: enough that a busy machine does not starve it
        # (a gap would shift the echo against the reference), little enough for the
        # reference queue.
        ahead = (i + BLOCK) / RATE - (time.monotonic() - start)
        if ahead > 0.2:
            time.sleep(ahead - 0.2)


def capture_while_playing(device, far, channels=1, reference=None, **options):
    mic = MicrophoneBridge(RATE, channels, BLOCK, "float32", device=Device(f"alsa:{device}"),
                           numpy=True, aec="tau", **options)
    speaker = SpeakerBridge(RATE, channels, "float32", device=Device(f"alsa:{device}"))
    mic.start()
    speaker.start()
    player = threading.Thread(target=play_and_push, args=(speaker, mic, far, channels, reference))
    player.start()
    blocks = []
    while sum(len(b) for b in blocks) < len(far):
        blocks.append(mic.read(2000))
    player.join()
    metrics = mic.aec_metrics()
    speaker.stop()
    mic.stop()
    return np.concatenate(blocks), metrics


def db(x: np.ndarray) -> float:
    return 10 * np.log10(np.sum(np.asarray(x, np.float64) ** 2) + 1e-20)


def test_the_played_signal_is_cancelled_from_the_capture(loop):
    far = speech_band_noise(6)
    out, metrics = capture_while_playing("room", far)
    delay, erle, held, missing, without, restarts, discarded, padded, channels = metrics
    # The echo's delay as the canceller sees it: the room's 120 ms plus the speaker's
    # own latency, since the reference is pushed when it is written.
    assert delay is not None and 0.12 * RATE <= delay <= 0.6 * RATE
    assert erle > 10 and discarded == 0 and len(channels) == 1
    # The last second holds far-end single talk: what is left of an echo at half level.
    echo_db = db(0.5 * far[-RATE:])
    assert echo_db - db(out[-RATE:]) > 15


def test_reference_at_another_rate_and_layout_and_two_delivered_channels(loop):
    far = speech_band_noise(6, seed=5)
    far48 = soxr.resample(far, RATE, 48000).astype(np.float32)

    def stereo48(i, n):
        part = far48[3 * i:3 * (i + n)]
        return np.repeat(part, 2).reshape(-1, 2)

    out, metrics = capture_while_playing("room2", far, channels=2, reference=stereo48,
                                         aec_reference_sample_rate=48000,
                                         aec_reference_channels=2)
    assert out.shape[1] == 2
    assert len(metrics[8]) == 2 and metrics[6] == 0
    assert all(record[0] is not None for record in metrics[8])
    assert db(0.5 * far[-RATE:]) - db(out[-RATE:, 0]) > 10


def test_queue_limits_and_pushes_outside_a_stream(loop):
    mic = MicrophoneBridge(RATE, 1, BLOCK, "float32", device=Device("alsa:room"), aec="tau")
    mic.push_aec_reference(np.zeros(100, np.float32))  # before start: nothing, no error
    assert mic.aec_metrics() is None
    with mic:
        mic.push_aec_reference(np.zeros(40000, np.float32))
        assert mic.aec_metrics()[6:8] == (8000, 0)
        for _ in range(5):
            mic.read(2000)
        # Two seconds were queued, so nothing had to be made up yet.
        assert mic.aec_metrics()[7] == 0
    mic.push_aec_reference(np.zeros(100, np.float32))  # after stop: nothing, no error
    assert mic.aec_metrics() is None
    with mic:
        for _ in range(5):
            mic.read(2000)
        assert mic.aec_metrics()[7] >= 4 * BLOCK  # nothing pushed: all of it padded
