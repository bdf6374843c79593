"""murello.load and murello.save: whole files in one call, on FileBridge's machinery."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import pytest
import soundfile

import murello
import murello.exceptions as exc
from murello._murello import FileBridge

# (suffix, soundfile format, subtype): every container the core reads.
CONTAINERS = [
    ("wav", "WAV", "PCM_16"),
    ("wav", "WAV", "PCM_24"),
    ("wav", "WAV", "FLOAT"),
    ("rf64", "RF64", "PCM_16"),
    ("aiff", "AIFF", "PCM_16"),
    ("aifc", "AIFF", "PCM_24"),
    ("flac", "FLAC", "PCM_16"),
    ("flac", "FLAC", "PCM_24"),
]


def noise(frames: int, channels: int, seed: int = 5) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return rng.uniform(-0.9, 0.9, (frames, channels)).astype(np.float32)


def bridge_samples(path, **options) -> np.ndarray:
    """What FileBridge delivers chunk by chunk, joined."""
    bridge = FileBridge.open(path, format="float32", numpy=True, **options)
    chunks = []
    while (chunk := bridge.read()) is not None:
        chunks.append(chunk)
    return np.concatenate(chunks)


@pytest.mark.parametrize("suffix,container,subtype", CONTAINERS)
@pytest.mark.parametrize("channels", [1, 2])
def test_load_reads_what_soundfile_reads(tmp_path, suffix, container, subtype, channels):
    path = tmp_path / f"in.{suffix}"
    soundfile.write(path, noise(3000, channels), 22050, format=container, subtype=subtype)
    samples, rate = murello.load(path)
    expected, expected_rate = soundfile.read(path, dtype="float32")
    assert rate == expected_rate
    assert samples.dtype == np.float32 and samples.shape == expected.shape
    np.testing.assert_array_equal(samples, expected)


@pytest.mark.parametrize("suffix", ["wav", "aiff", "flac"])
@pytest.mark.parametrize("compression", [0, 8])
def test_save_round_trips_at_sixteen_bits(tmp_path, suffix, compression):
    samples = noise(4097, 2)
    path = tmp_path / f"out.{suffix}"
    assert murello.save(path, samples, 44100, compression=compression) == (0, 0)
    back, rate = soundfile.read(path, dtype="int16")
    assert rate == 44100
    np.testing.assert_array_equal(back, np.trunc(samples * 32768).astype(np.int16))
    loaded, _ = murello.load(path, dtype="int16")
    np.testing.assert_array_equal(loaded, back)


def test_save_takes_integers_mono_and_an_explicit_format(tmp_path):
    pcm = (noise(1000, 1, seed=2)[:, 0] * 32767).astype(np.int16)
    path = tmp_path / "take"
    assert murello.save(path, pcm, 8000, format="flac") == (0, 0)
    back, rate = soundfile.read(path, dtype="int16")
    assert rate == 8000 and back.ndim == 1
    np.testing.assert_array_equal(back, pcm)


def test_save_counts_what_it_clamps_and_replaces(tmp_path):
    counts = murello.save(tmp_path / "x.wav", np.array([0.5, np.nan, 1.5, -np.inf]), 16000)
    assert counts == (1, 2)
    back, _ = soundfile.read(tmp_path / "x.wav", dtype="int16")
    assert back.tolist() == [16384, 0, 32767, -32768]


@pytest.mark.parametrize(
    "options",
    [
        dict(sample_rate=16000, channels=1),
        dict(sample_rate=8000, channels=2),
        dict(channels=1, channel_map=[1]),
        dict(channel_map=[1, 0]),
        dict(sample_rate=16000, channels=1, highpass=80, agc=-20, limiter=-1.0,
             dc_removal=True),
    ],
    ids=["downmix_resample", "resample_stereo", "pick_right", "swap", "conditioned"],
)
def test_load_delivers_what_file_bridge_delivers(tmp_path, options):
    path = tmp_path / "in.flac"
    soundfile.write(path, noise(48000, 2) * [1.0, 0.25], 48000, subtype="PCM_16")
    samples, rate = murello.load(path, **options)
    assert rate == options.get("sample_rate", 48000)
    bridge_options = {"sample_rate": rate, "channels": 1 if samples.ndim == 1 else samples.shape[1]}
    bridge_options.update({k: v for k, v in options.items() if k not in bridge_options})
    expected = bridge_samples(path, **bridge_options)
    if "sample_rate" in options:
        # load removes the resampler's delay, which FileBridge keeps, and ends at the
        # file's length converted; the filter's group delay is 106 frames at 16 kHz.
        delay = next(d for d in range(1024)
                     if np.allclose(samples[:64], expected[d:d + 64], rtol=1e-5, atol=1e-7))
        if rate == 16000:
            assert delay == 106
        assert len(samples) == round(48000 * rate / 48000)
        # load's long steps let the resampler take transform passes where the reads' short
        # steps take fewer: each rounds within a float ulp of the same sums.
        np.testing.assert_allclose(samples, expected[delay:delay + len(samples)], rtol=3e-7,
                                   atol=1e-8)
    else:
        np.testing.assert_array_equal(samples, expected)


def test_load_options_shape_the_result(tmp_path):
    path = tmp_path / "in.wav"
    soundfile.write(path, np.stack([np.full(800, 0.5), np.full(800, -0.25)], axis=1), 8000,
                    subtype="FLOAT")
    mono, _ = murello.load(path, channels=1)
    assert mono.shape == (800,) and np.allclose(mono, 0.125)
    right, _ = murello.load(path, channel_map=[1])
    assert right.shape == (800,) and np.all(right == -0.25)
    wide, _ = murello.load(path, dtype="float64")
    assert wide.dtype == np.float64 and wide.shape == (800, 2)
    pcm, _ = murello.load(path, dtype=np.int16)
    assert pcm.dtype == np.int16 and pcm[0].tolist() == [16384, -8192]
    upsampled, rate = murello.load(path, sample_rate=16000)
    assert rate == 16000 and upsampled.shape == (1600, 2)
    filtered, _ = murello.load(path, highpass=80)
    assert abs(filtered[-100:]).max() < 0.05  # a constant is removed by the high-pass


def test_load_refuses_what_it_cannot_do(tmp_path):
    path = tmp_path / "in.wav"
    soundfile.write(path, noise(100, 6), 16000, subtype="PCM_16")
    with pytest.raises(exc.FileChannelSelectionAmbiguous):
        murello.load(path, channels=2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'vad'"):
        murello.load(path, vad=True)
    with pytest.raises(ValueError, match="dtype"):
        murello.load(path, dtype="int32")


def test_load_failures_raise_the_kinds_of_file_bridge_open(tmp_path):
    missing = tmp_path / "missing.wav"
    junk = tmp_path / "junk.wav"
    junk.write_bytes(b"OggS" + bytes(40))
    cut = tmp_path / "cut.flac"
    soundfile.write(cut, noise(20000, 1), 16000, subtype="PCM_16")
    cut.write_bytes(cut.read_bytes()[:-500])
    slow = tmp_path / "slow.wav"
    soundfile.write(slow, np.zeros(100, dtype=np.int16), 500, subtype="PCM_16")
    for path in (missing, junk, cut, slow):
        with pytest.raises(exc.MurelloError) as opened:
            FileBridge.open(path, sample_rate=16000)
        with pytest.raises(type(opened.value)) as loaded:
            murello.load(path)
        assert type(loaded.value) is type(opened.value)
        assert str(loaded.value) == str(opened.value)


def test_load_and_save_say_they_need_numpy():
    code = (
        "import sys; sys.modules['numpy'] = None\n"
        "import murello\n"
        "for call in (lambda: murello.load('x.wav'), lambda: murello.save('x.wav', [0.0], 8000)):\n"
        "    try:\n"
        "        call()\n"
        "    except ImportError as error:\n"
        "        print(error)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == [
        "murello.load() needs NumPy: pip install numpy (or murello[numpy])",
        "murello.save() needs NumPy: pip install numpy (or murello[numpy])",
    ]


@pytest.mark.parametrize("suffix,container,subtype", CONTAINERS)
def test_offset_and_duration_equal_slicing_the_whole_load(tmp_path, suffix, container, subtype):
    path = tmp_path / f"in.{suffix}"
    soundfile.write(path, noise(30_000, 2), 8000, format=container, subtype=subtype)
    whole, _ = murello.load(path)
    # Within a codec frame, across frame edges (4096 frames in FLAC), to the end, past it.
    for offset, duration in [(0.0, 0.1), (0.5, 1.0), (0.512, 0.0001), (1.3, None),
                             (3.7, 10.0), (10.0, 1.0), (0.25, 0.0)]:
        part, rate = murello.load(path, offset=offset, duration=duration)
        first = round(offset * 8000)
        last = None if duration is None else first + round(duration * 8000)
        np.testing.assert_array_equal(part, whole[first:last], err_msg=f"{offset}, {duration}")


def test_an_offset_load_is_the_span_loaded_as_a_file(tmp_path):
    path = tmp_path / "in.flac"
    soundfile.write(path, noise(100_000, 2), 48000, subtype="PCM_16")
    span = tmp_path / "span.wav"
    soundfile.write(span, murello.load(path)[0][24_000:72_000], 48000, subtype="FLOAT")
    options = dict(sample_rate=16000, channels=1, highpass=80)
    part, _ = murello.load(path, offset=0.5, duration=1.0, **options)
    assert len(part) == 16000
    np.testing.assert_array_equal(part, murello.load(span, **options)[0])
    with pytest.raises(ValueError, match="at least 0"):
        murello.load(path, offset=-1.0)
    with pytest.raises(ValueError, match="at least 0"):
        murello.load(path, duration=float("nan"))
