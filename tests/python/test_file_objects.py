"""murello.load and murello.stream reading binary file objects: in-memory files, open
files, pipes that cannot seek, and objects whose reads are short or wrong."""

from __future__ import annotations

import io
import subprocess

import numpy as np
import pytest
import soundfile

import murello
import murello.exceptions as exc

# (suffix, soundfile format, subtype)
CONTAINERS = [
    ("wav", "WAV", "PCM_16"),
    ("rf64", "RF64", "PCM_24"),
    ("aiff", "AIFF", "PCM_16"),
    ("aifc", "AIFF", "FLOAT"),
    ("flac", "FLAC", "PCM_24"),
]


def noise(frames: int, channels: int) -> np.ndarray:
    return np.random.default_rng(7).uniform(-0.8, 0.8, (frames, channels)).astype(np.float32)


@pytest.fixture
def recording(tmp_path, request):
    suffix, container, subtype = request.param
    path = tmp_path / f"in.{suffix}"
    soundfile.write(path, noise(40_000, 2), 44100, format=container, subtype=subtype)
    return path


class Trickle(io.RawIOBase):
    """A pipe-like object that cannot seek and hands out at most a few bytes per read."""

    def __init__(self, data: bytes) -> None:
        self._data = memoryview(data)
        self._at = 0
        self._sizes = np.random.default_rng(3).integers(1, 8, 1 << 20)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        size = min(len(buffer), int(self._sizes[self._at % len(self._sizes)]))
        piece = self._data[self._at:self._at + size]
        buffer[:len(piece)] = piece
        self._at += len(piece)
        return len(piece)


@pytest.mark.parametrize("recording", CONTAINERS, indirect=True, ids=lambda c: c[2] + c[0])
@pytest.mark.parametrize(
    "options",
    [{}, dict(sample_rate=16000, channels=1), dict(offset=0.25, duration=0.3)],
    ids=["plain", "resampled", "span"],
)
def test_file_objects_load_as_their_path_loads(recording, options):
    expected, rate = murello.load(recording, **options)
    data = recording.read_bytes()
    with open(recording, "rb") as opened:
        sources = [io.BytesIO(data), opened, Trickle(data)]
        for source in sources:
            samples, source_rate = murello.load(source, **options)
            assert source_rate == rate
            np.testing.assert_array_equal(samples, expected)


@pytest.mark.parametrize("recording", CONTAINERS[:1] + CONTAINERS[-1:], indirect=True,
                         ids=["wav", "flac"])
def test_file_objects_stream_as_their_path_streams(recording):
    def blocks(source):
        with murello.stream(source, block_frames=4096, sample_rate=16000) as stream:
            return list(stream)

    expected = blocks(recording)
    got = blocks(Trickle(recording.read_bytes()))
    assert [len(b) for b in got] == [len(b) for b in expected]
    np.testing.assert_array_equal(np.concatenate(got), np.concatenate(expected))


def test_a_file_object_is_read_from_where_it_stands(tmp_path):
    path = tmp_path / "in.wav"
    soundfile.write(path, noise(1000, 1), 8000, subtype="PCM_16")
    source = io.BytesIO(b"not audio" + path.read_bytes())
    source.seek(len(b"not audio"))
    np.testing.assert_array_equal(murello.load(source)[0], murello.load(path)[0])
    assert source.read() == b""  # read to its end


def test_a_pipe_that_cannot_seek(tmp_path):
    path = tmp_path / "in.flac"
    soundfile.write(path, noise(50_000, 2), 48000, subtype="PCM_16")
    with subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE) as cat:
        assert not cat.stdout.seekable()
        samples, rate = murello.load(cat.stdout)
    assert rate == 48000
    np.testing.assert_array_equal(samples, murello.load(path)[0])


class Hostile:
    def __init__(self, *pieces) -> None:
        self._pieces = list(pieces)

    def read(self, size: int = -1):
        piece = self._pieces.pop(0)
        if isinstance(piece, Exception):
            raise piece
        return piece


@pytest.mark.parametrize(
    "source,error,message",
    [
        (("RIFF",), TypeError, "opened in binary mode"),
        ((b"RIFF", 17), TypeError, "returned int, not bytes"),
        ((b"RIFF", None), BlockingIOError, "non-blocking"),
        ((b"RIFF", OSError(5, "device gone")), OSError, "device gone"),
        ((b"RIFF\x24\x00\x00\x00WAVEfmt ", b""), exc.AudioFileMalformed, "a fmt chunk"),
        ((b"",), exc.AudioFileTruncated, "truncated"),
        (None, TypeError, "a path or a binary file object, not object"),
    ],
    ids=["text", "not_bytes", "no_data_ready", "read_fails", "cut_short", "empty", "no_read"],
)
@pytest.mark.parametrize("function", ["load", "stream"])
def test_file_objects_that_misbehave_raise_clearly(source, error, message, function):
    with pytest.raises(error, match=message):
        getattr(murello, function)(object() if source is None else Hostile(*source))


def test_keywords_are_checked_before_the_file_object_is_read():
    source = io.BytesIO(b"RIFF")
    with pytest.raises(TypeError, match="unexpected keyword"):
        murello.stream(source, bogus=1)
    assert source.tell() == 0
