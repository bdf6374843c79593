"""Offline echo cancellation: murello.EchoCanceller on synthetic rooms."""

from __future__ import annotations

import numpy as np
import pytest

import murello
import murello.exceptions as exc

RATE = 16000
DELAY = 640  # 40 ms


def room(seconds: float, seed: int = 1):
    """A far end (noise), its echo 40 ms later at half level, and a near-end talker."""
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    far = (0.3 * rng.uniform(-1, 1, n)).astype(np.float32)
    echo = np.zeros(n, np.float32)
    echo[DELAY:] = 0.5 * far[:-DELAY]
    t = np.arange(n) / RATE
    talker = (0.1 * np.sin(2 * np.pi * 300 * t) * (t > seconds - 1)).astype(np.float32)
    return far, echo, talker


def db(x: np.ndarray) -> float:
    return 10 * np.log10(np.sum(x.astype(np.float64) ** 2) + 1e-20)


def test_echo_is_cancelled_and_the_talker_kept_with_the_input_length():
    far, echo, talker = room(5)
    ec = murello.EchoCanceller(RATE)
    near = echo + talker
    first = ec.process(near[:4 * RATE], far[:4 * RATE])
    # After four seconds of far-end single talk the canceller has found the room.
    delay, erle, held, missing, without, restarts, discarded, padded, channels = ec.metrics()
    assert abs(delay - DELAY) <= 32 and erle > 10
    assert len(channels) == 1 and channels[0][0] == delay
    assert discarded == 0 and padded == 0
    out = np.concatenate([first, ec.process(near[4 * RATE:], far[4 * RATE:]),
                          ec.flush()])
    assert out.dtype == np.float32 and out.shape == far.shape
    # Second 3 to 4: far-end single talk after convergence.
    single = slice(3 * RATE, 4 * RATE)
    assert db(echo[single]) - db(out[single]) > 20
    # The last second: the talker survives, the residual stays well below it.
    double = slice(4 * RATE, 5 * RATE)
    assert db(talker[double]) - db(out[double] - talker[double]) > 10


def test_chunked_calls_give_the_same_signal_as_one_call():
    far, echo, _ = room(2, seed=4)
    whole = murello.EchoCanceller(RATE)
    one = np.concatenate([whole.process(echo, far), whole.flush()])
    parts = murello.EchoCanceller(RATE)
    pieces = [parts.process(echo[i:i + 777], far[i:i + 777]) for i in range(0, len(far), 777)]
    pieces.append(parts.flush())
    chunked = np.concatenate(pieces)
    assert chunked.shape == one.shape
    np.testing.assert_allclose(chunked, one, atol=1e-6)


def test_int16_bytes_in_and_out():
    far, echo, _ = room(1, seed=2)
    ec = murello.EchoCanceller(RATE, tail_ms=100, suppression="off", format="int16")
    to16 = lambda x: (x * 32767).astype("<i2").tobytes()
    out = ec.process(to16(echo), to16(far)) + ec.flush()
    assert isinstance(out, bytes) and len(out) == 2 * len(far)


@pytest.mark.parametrize(
    "kwargs,error,text",
    [
        (dict(sample_rate=RATE, suppression="loud"), ValueError,
         "'conservative' or 'off', got 'loud'"),
        (dict(sample_rate=RATE, tail_ms=15), exc.AecConfigInvalid, "tail"),
        (dict(sample_rate=96000), exc.AecSampleRateUnsupported, "8000 to 48000"),
        (dict(sample_rate=RATE, format="int8"), exc.InvalidFormat, "int16"),
    ],
)
def test_construction_refusals(kwargs, error, text):
    with pytest.raises(error, match=text):
        murello.EchoCanceller(**kwargs)


def test_flush_ends_the_recording_and_bad_inputs_are_type_errors():
    ec = murello.EchoCanceller(RATE)
    with pytest.raises(TypeError):
        ec.process([0.0] * 10, b"")
    ec.flush()
    with pytest.raises(ValueError, match="flushed"):
        ec.process(b"", b"")


def test_each_channel_of_a_near_array_gets_its_own_engine():
    far, echo, talker = room(3)
    near = np.stack([echo + talker, 0.5 * echo], axis=1)
    both = murello.EchoCanceller(RATE)
    cleaned = np.concatenate([both.process(near[:RATE], far[:RATE]),
                              both.process(near[RATE:], far[RATE:]), both.flush()])
    assert cleaned.shape == near.shape
    for channel in range(2):
        alone = murello.EchoCanceller(RATE)
        mono = np.concatenate([alone.process(np.ascontiguousarray(near[:, channel]), far),
                               alone.flush()])
        np.testing.assert_array_equal(cleaned[:, channel], mono)
    metrics = both.metrics()
    assert len(metrics.channels) == 2 and metrics.delay == metrics.channels[0].delay


def test_refusals_speak_of_the_canceller_and_its_inputs():
    ec = murello.EchoCanceller(RATE)
    stereo = np.zeros((160, 2), np.float32)
    with pytest.raises(ValueError, match="far must be mono .*got 2 channels"):
        ec.process(np.zeros(160, np.float32), stereo)
    with pytest.raises(TypeError, match="construct EchoCanceller with format='int16'"):
        ec.process(np.zeros(160, np.int16), np.zeros(160, np.int16))
    with pytest.raises(TypeError, match="near and far must be bytes or numpy.ndarray"):
        ec.process(np.zeros(160, np.float64), b"")
    ec.process(stereo, np.zeros(160, np.float32))
    with pytest.raises(ValueError, match="near has 1 channels, but this canceller was given 2"):
        ec.process(np.zeros(160, np.float32), np.zeros(160, np.float32))
