"""Audio files read through a block at a time: ``stream``."""

from __future__ import annotations

import os
from typing import Any, BinaryIO, Iterator

from murello import _murello
from murello._io import _delivery, _file_input


class Stream:
    """The blocks of an audio file, decoded, conditioned and handed out one at a time;
    made by ``murello.stream``. Iterate over it, or call ``read()`` until it returns
    None; use it in a ``with`` block, or ``close()`` it, to release the file early."""

    def __init__(self, native, cast) -> None:
        self._native = native
        self._cast = cast

    @property
    def sample_rate(self) -> int:
        """The delivered rate in Hz."""
        return self._native.sample_rate

    @property
    def channels(self) -> int:
        """The delivered channel count."""
        return self._native.channels

    def read(self):
        """The next block, or None at the end. An error in the file is raised once the
        blocks decoded before it are out (for FLAC, a wrong MD5 signature after the last
        block)."""
        block = self._native.read()
        if block is not None and self._cast is not None:
            block = block.astype(self._cast)
        return block

    def close(self) -> None:
        """Release the file; later reads return None."""
        self._native.close()

    def __iter__(self) -> Iterator:
        while (block := self.read()) is not None:
            yield block

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<murello.Stream {self.sample_rate} Hz, {self.channels} channels>"


def stream(
    path: str | bytes | os.PathLike | BinaryIO,
    block_frames: int = 65536,
    sample_rate: int | None = None,
    channels: int | None = None,
    dtype: Any = "float32",
    **conditioning: Any,
) -> Stream:
    """Read an audio file (WAV, RF64, AIFF, AIFF-C or FLAC) a block at a time, in memory
    bounded by the block and the codec's frame rather than by the file.

    Yields NumPy arrays of ``block_frames`` frames (the last may be shorter), shaped as
    ``load`` shapes its result; joined, they are exactly what ``load`` returns for the
    same arguments, including its alignment of a resampled file. ``sample_rate``,
    ``channels``, ``dtype`` and the conditioning keywords are those of ``load``.
    ``path`` may be a binary file object as for ``load``: it is read to its end before
    the first block and its bytes are held while the stream lasts, so memory is bounded
    by the block only for a path.
    """
    delivered, cast = _delivery("stream", dtype, conditioning)
    native = _murello._stream(_file_input(path, "stream"), block_frames,
                              sample_rate=sample_rate, channels=channels, format=delivered,
                              numpy=True, **conditioning)
    return Stream(native, cast)
