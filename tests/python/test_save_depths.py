"""murello.save and FileBridge.save at 16, 24 and 32 bits and as floats, read back by
soundfile sample for sample."""

from __future__ import annotations

import numpy as np
import pytest
import soundfile

import murello
from murello._murello import FileBridge

# (suffix, bits, float, the subtype soundfile reports): every depth each container takes.
DEPTHS = [
    ("wav", 16, False, "PCM_16"),
    ("wav", 24, False, "PCM_24"),
    ("wav", 32, False, "PCM_32"),
    ("wav", None, True, "FLOAT"),
    ("aiff", 16, False, "PCM_16"),
    ("aiff", 24, False, "PCM_24"),
    ("aiff", 32, False, "PCM_32"),
    ("aiff", 32, True, "FLOAT"),
    ("flac", 16, False, "PCM_16"),
    ("flac", 24, False, "PCM_24"),
]


def grid_integers(bits: int, frames: int, channels: int) -> np.ndarray:
    """Integers of a `bits` depth that float32 holds exactly (at most 24 significant
    bits), with both ends of the range and the smallest steps around zero among them."""
    rng = np.random.default_rng(bits)
    coarse = max(bits - 24, 0)
    values = rng.integers(-(2 ** 23), 2 ** 23, (frames, channels), dtype=np.int64) << coarse
    edges = [-(2 ** (bits - 1)), 2 ** (bits - 1) - 2 ** coarse, 1, -1, 0, 2 ** coarse]
    values[: len(edges), 0] = edges
    return values >> max(24 - bits, 0)


@pytest.mark.parametrize("suffix,bits,is_float,subtype", DEPTHS)
@pytest.mark.parametrize("channels", [1, 2])
def test_save_stores_each_depth_as_soundfile_reads_it(tmp_path, suffix, bits, is_float,
                                                      subtype, channels):
    depth = 32 if bits is None else bits
    integers = grid_integers(depth, 5000, channels)
    samples = (integers / 2.0 ** (depth - 1)).astype(np.float32)
    if is_float:
        samples[1, 0] = 1.75  # floats keep what lies beyond full scale
    if channels == 1:
        samples = samples[:, 0]
    path = tmp_path / f"out.{suffix}"
    counts = murello.save(path, samples, 44100, bits=bits, float=is_float)
    assert counts == (0, 0)
    assert soundfile.info(path).subtype == subtype

    if is_float:
        back, rate = soundfile.read(path, dtype="float32")
        np.testing.assert_array_equal(back, samples)
    else:
        back, rate = soundfile.read(path, dtype="int32")
        stored = integers << (32 - depth)
        np.testing.assert_array_equal(back, stored if channels == 2 else stored[:, 0])
    assert rate == 44100
    # The same samples written by soundfile at the same depth read back alike.
    peer = tmp_path / f"peer.{suffix}"
    soundfile.write(peer, samples, 44100, subtype=subtype)
    np.testing.assert_array_equal(back, soundfile.read(peer, dtype=back.dtype)[0])
    loaded, _ = murello.load(path)
    np.testing.assert_array_equal(loaded, soundfile.read(path, dtype="float32")[0])


@pytest.mark.parametrize("suffix", ["wav", "aiff", "flac"])
def test_integers_between_steps_truncate_toward_zero_and_clamp(tmp_path, suffix):
    step = 2.0 ** -23
    samples = np.array([0.75 * step, -0.75 * step, 2.5 * step, -2.5 * step, 1.0, -1.0, 1.5,
                        -1.5, np.nan, np.inf, -np.inf], dtype=np.float32)
    path = tmp_path / f"out.{suffix}"
    assert murello.save(path, samples, 16000, bits=24) == (2, 3)
    back, _ = soundfile.read(path, dtype="int32")
    full = 2 ** 23
    expected = [0, 0, 2, -2, full - 1, -full, full - 1, -full, 0, full - 1, -full]
    np.testing.assert_array_equal(back >> 8, expected)


def test_thirty_two_bit_integers_reach_both_ends(tmp_path):
    samples = np.array([2 ** 31 - 1, -(2 ** 31), 256, -256, 0], dtype=np.int32)
    murello.save(tmp_path / "out.wav", samples, 16000, bits=32)
    back, _ = soundfile.read(tmp_path / "out.wav", dtype="int32")
    np.testing.assert_array_equal(back, samples)


@pytest.mark.parametrize("suffix", ["wav", "aiff"])
def test_floats_keep_their_values_and_only_replace_what_is_no_number(tmp_path, suffix):
    samples = np.array([1.5, -2.0, np.nan, np.inf, -np.inf, 1e-30], dtype=np.float32)
    path = tmp_path / f"out.{suffix}"
    assert murello.save(path, samples, 16000, float=True) == (0, 3)
    back, _ = soundfile.read(path, dtype="float32")
    np.testing.assert_array_equal(back, np.float32([1.5, -2.0, 0.0, 1.0, -1.0, 1e-30]))
    if suffix == "aiff":
        assert path.read_bytes()[8:12] == b"AIFC"


@pytest.mark.parametrize(
    "name,bits,is_float,message",
    [
        ("x.flac", None, True, "FLAC stores integer samples only"),
        ("x.flac", 32, False, "FLAC is written at 16 or 24 bits"),
        ("x.wav", 8, False, "bits must be 16, 24 or 32, not 8"),
        ("x.aiff", 20, False, "bits must be 16, 24 or 32, not 20"),
        ("x.wav", 16, True, "float samples are stored in 32 bits, not 16"),
    ],
)
def test_depths_a_container_cannot_hold_are_refused_before_anything_is_written(
        tmp_path, name, bits, is_float, message):
    source = FileBridge.buffer([0.25] * 8, 16000, 1)
    with pytest.raises(ValueError, match=message):
        source.save(tmp_path / name, bits=bits, float=is_float)
    assert not (tmp_path / name).exists()
    # The refusal left the source as it was.
    assert source.save(tmp_path / "x.wav", bits=24) == (0, 0)
    assert soundfile.read(tmp_path / "x.wav", dtype="int32")[0].tolist() == [2 ** 29] * 8
