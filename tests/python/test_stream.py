"""murello.stream: audio files read through a block at a time."""

from __future__ import annotations

import re
import subprocess
import sys

import numpy as np
import pytest
import soundfile

import murello
import murello.exceptions as exc
from test_load_save import CONTAINERS, noise


@pytest.mark.parametrize("suffix,container,subtype", CONTAINERS)
@pytest.mark.parametrize(
    "options",
    [
        {},
        dict(sample_rate=16000, channels=1),
        dict(sample_rate=44100, channel_map=[1, 0], dtype="int16"),
        dict(channels=1, highpass=80, agc=-20, limiter=-1.0, dc_removal=True),
    ],
    ids=["as_stored", "resampled_mono", "upsampled_swapped_int16", "conditioned"],
)
def test_stream_delivers_load_block_for_block(tmp_path, suffix, container, subtype, options):
    path = tmp_path / f"in.{suffix}"
    soundfile.write(path, noise(150_000, 2), 48000, format=container, subtype=subtype)
    whole, rate = murello.load(path, **options)
    with murello.stream(path, 40_000, **options) as blocks:
        assert (blocks.sample_rate, blocks.channels) == (rate, 1 if whole.ndim == 1 else 2)
        got = list(blocks)
    assert [len(b) for b in got[:-1]] == [40_000] * (len(got) - 1)
    for i, block in enumerate(got):
        assert block.dtype == whole.dtype
        np.testing.assert_array_equal(block, whole[i * 40_000:(i + 1) * 40_000])
    assert sum(len(b) for b in got) == len(whole)


def flac_with_md5(tmp_path, frames=100_000):
    path = tmp_path / "in.flac"
    soundfile.write(path, noise(frames, 2), 44100, subtype="PCM_16")
    return path


def test_a_wrong_md5_raises_after_the_last_block(tmp_path):
    path = flac_with_md5(tmp_path)
    stored, _ = soundfile.read(path, dtype="float32")
    data = bytearray(path.read_bytes())
    data[8 + 18] ^= 0x01  # the first byte of the STREAMINFO signature
    path.write_bytes(bytes(data))
    stream = murello.stream(path, 30_000)
    got = []
    with pytest.raises(exc.AudioFileMalformed, match="MD5"):
        while (block := stream.read()) is not None:
            got.append(block)
    np.testing.assert_array_equal(np.concatenate(got), stored)
    assert stream.read() is None


def test_a_broken_frame_raises_after_the_blocks_before_it(tmp_path):
    path = flac_with_md5(tmp_path, frames=200_000)
    data = bytearray(path.read_bytes())
    data[len(data) * 3 // 4] ^= 0xFF
    path.write_bytes(bytes(data))
    got = []
    with pytest.raises(exc.AudioFileMalformed):
        for block in murello.stream(path, 10_000):
            got.append(block)
    assert 60_000 < sum(len(b) for b in got) < 200_000


def test_close_ends_the_stream_and_errors_match_load(tmp_path):
    path = flac_with_md5(tmp_path)
    stream = murello.stream(path, 1000, sample_rate=16000)
    assert stream.read() is not None
    stream.close()
    stream.close()
    assert stream.read() is None
    for bad, options in ((tmp_path / "missing.wav", {}), (path, dict(channels=3)),
                         (path, dict(sample_rate=16000, channel_map=[2]))):
        with pytest.raises(exc.MurelloError) as loaded:
            murello.load(bad, **options)
        with pytest.raises(type(loaded.value), match=re.escape(str(loaded.value))):
            murello.stream(bad, **options)
    with pytest.raises(ValueError, match="block_frames"):
        murello.stream(path, 0)
    with pytest.raises(TypeError, match="unexpected keyword argument 'vad'"):
        murello.stream(path, vad=True)


# Streams a sparse 16-bit stereo WAV of an hour at 48 kHz (660 MB of samples, 1.3 GB
# decoded) down to 16 kHz mono in a child process, and prints how far its peak resident
# memory (the kernel's high-water mark of its own pages) rose above what it was before.
MEMORY_PROBE = """
import struct, sys
import murello

def peak_kb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM"))

path = sys.argv[1]
frames = 3600 * 48000
data_bytes = frames * 4
with open(path, "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", 36 + data_bytes) + b"WAVEfmt ")
    f.write(struct.pack("<IHHIIHH", 16, 1, 2, 48000, 48000 * 4, 4, 16))
    f.write(b"data" + struct.pack("<I", data_bytes))
    f.truncate(44 + data_bytes)
before = peak_kb()
delivered = 0
for block in murello.stream(path, 16000, sample_rate=16000, channels=1):
    delivered += len(block)
assert delivered == 3600 * 16000, delivered
peak = peak_kb()
print((peak - before) // 1024)
"""


def test_streaming_an_hour_keeps_memory_bounded(tmp_path):
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(tmp_path / "hour.wav")],
                         capture_output=True, text=True, check=True)
    assert int(out.stdout) < 64, f"peak rose by {out.stdout.strip()} MB"
