"""Whole audio files in one call: ``load`` and ``save``, and file-to-file conversion.

All run on the file machinery behind ``FileBridge``: ``load`` reads, decodes and
conditions the whole file natively into one array (the interpreter lock released),
``save`` writes through ``FileBridge.buffer(...).save(...)``, and ``save_converted``
streams one file into another.
"""

from __future__ import annotations

import errno
import os
from typing import TYPE_CHECKING, Any, BinaryIO

from murello import _murello

if TYPE_CHECKING:
    import numpy as np

# FileBridge keywords that condition the signal; the detector's have no meaning here.
CONDITIONING = (
    "channel_map",
    "denoise",
    "denoise_model_path",
    "highpass",
    "agc",
    "limiter",
    "dc_removal",
    "ort_library_path",
)

# dtype -> (the core's delivered format, a cast NumPy makes afterwards or None)
_DTYPES = {
    "float32": ("float32", None),
    "int16": ("int16", None),
    "float64": ("float32", "float64"),
}


def _numpy(function: str):
    try:
        import numpy
    except ImportError as error:
        raise ImportError(
            f"murello.{function}() needs NumPy: pip install numpy (or murello[numpy])"
        ) from error
    return numpy


# How much a file object is asked for at a time.
_READ_BYTES = 1 << 20


def _file_input(source: Any, function: str) -> Any:
    """What the core reads for ``source``: a path as it is; for a file object (anything
    with ``read``), its bytes from where it stands to its end, read here with the
    interpreter lock held, however short its reads."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return source
    read = getattr(source, "read", None)
    if not callable(read):
        raise TypeError(
            f"{function}() takes a path or a binary file object, not {type(source).__name__}"
        )
    contents = bytearray()
    while True:
        piece = read(_READ_BYTES)
        if piece is None:
            raise BlockingIOError(
                errno.EAGAIN, "the file object is non-blocking and had no bytes ready"
            )
        if isinstance(piece, str):
            raise TypeError(f"{function}() needs a file object opened in binary mode ('rb')")
        try:
            view = memoryview(piece)
        except TypeError:
            raise TypeError(
                f"the file object's read() returned {type(piece).__name__}, not bytes"
            ) from None
        if view.nbytes == 0:
            return contents
        contents += view


def _delivery(function: str, dtype: Any, conditioning: dict) -> tuple[str, str | None]:
    """Checks the conditioning keywords and dtype of `function` (load or stream) and
    returns the core's delivered format with the cast NumPy makes afterwards."""
    np = _numpy(function)
    unknown = sorted(set(conditioning) - set(CONDITIONING))
    if unknown:
        raise TypeError(f"{function}() got an unexpected keyword argument '{unknown[0]}'")
    name = np.dtype(dtype).name
    if name not in _DTYPES:
        raise ValueError(f"dtype must be 'float32', 'float64' or 'int16', not {dtype!r}")
    return _DTYPES[name]


def load(
    path: str | bytes | os.PathLike | BinaryIO,
    sample_rate: int | None = None,
    channels: int | None = None,
    dtype: Any = "float32",
    offset: float | None = None,
    duration: float | None = None,
    **conditioning: Any,
) -> tuple[np.ndarray, int]:
    """Read a whole audio file (WAV, RF64, AIFF, AIFF-C or FLAC) into a NumPy array.

    ``path`` is a path, or a binary file object (anything with ``read``: an open file,
    ``io.BytesIO``, a pipe), read from where it stands to its end; a pipe need not seek.

    Returns ``(samples, rate)``: ``samples`` has shape (frames, channels), or (frames,)
    when one channel is delivered. ``sample_rate`` and ``channels`` default to the file's
    own; a smaller channel count than the file's is its mean (1) or needs
    ``channel_map``. ``offset`` and ``duration`` (seconds, at least 0) take only the
    frames from round(offset x file rate) for round(duration x file rate), as if they
    were the file; only those are read (a FLAC file's MD5 signature is then not checked).
    A resampled result is aligned with the file (the resampler's delay removed) and
    holds round(frames x sample_rate / file rate) frames. ``dtype`` is "float32",
    "float64" or "int16". The conditioning keywords are those of ``FileBridge.open``:
    channel_map, denoise, denoise_model_path, highpass, agc, limiter, dc_removal,
    ort_library_path. Errors are those of ``FileBridge.open``.
    """
    delivered, cast = _delivery("load", dtype, conditioning)
    samples, rate = _murello._load(
        _file_input(path, "load"), offset, duration, sample_rate=sample_rate, channels=channels,
        format=delivered, numpy=True, **conditioning
    )
    if cast is not None:
        samples = samples.astype(cast)
    return samples, rate


def _as_float32(np, samples):
    array = np.asarray(samples)
    if array.dtype.kind == "f":
        return np.ascontiguousarray(array, dtype=np.float32)
    if array.dtype.kind == "i":
        # Integers are full scale at their type's range, as files store them.
        scale = float(2 ** (8 * array.dtype.itemsize - 1))
        return np.ascontiguousarray(array / scale, dtype=np.float32)
    raise TypeError(f"samples must be a float or integer array, not {array.dtype}")


def save(
    path: str | bytes | os.PathLike,
    samples: Any,
    sample_rate: int,
    format: str | None = None,
    compression: int = 5,
    bits: int | None = None,
    float: bool = False,
) -> tuple[int, int]:
    """Write ``samples`` as a WAV, AIFF or FLAC file.

    ``samples`` is an array (or anything NumPy turns into one) of shape (frames,) or
    (frames, channels): floats at full scale -1.0 to 1.0, or integers at their type's
    full scale. ``format`` is "wav", "aiff" or "flac", or None to take it from the
    path's extension; ``compression`` (0 to 8) applies to FLAC. Samples are stored as
    signed integers of ``bits`` (16, 24 or 32; default 16), clamped to full scale and
    truncated toward zero, or with ``float=True`` as 32-bit IEEE floats, kept as they
    are, beyond full scale too. WAV and AIFF take every depth (AIFF's floats make an
    AIFF-C file); FLAC takes 16 or 24 bits. Samples pass through 32-bit floats, so a
    32-bit integer file holds their 24 significant bits. Returns ``(clipped,
    non_finite)``: the samples clamped to full scale and the non-finite samples
    replaced (NaN by 0, infinities by full scale). Errors are those of
    ``FileBridge.buffer`` and ``save``.
    """
    np = _numpy("save")
    array = _as_float32(np, samples)
    if array.ndim not in (1, 2):
        raise ValueError(
            f"samples must have shape (frames,) or (frames, channels), not {array.shape}"
        )
    channels = 1 if array.ndim == 1 else array.shape[1]
    source = _murello.FileBridge.buffer(
        array.tobytes(), sample_rate, channels, sample_rate=sample_rate, channels=channels,
        format="float32",
    )
    return source.save(path, format=format, compression=compression, bits=bits, float=float)


def save_converted(path: str | bytes | os.PathLike, output: str | bytes | os.PathLike,
                   options: dict[str, Any], format: str | None = None,
                   compression: int | None = None,
                   progress: Any = None) -> tuple[int, int] | None:
    """``path`` conditioned by ``options`` (FileBridge.open keywords; a missing
    ``sample_rate`` or ``channels`` keeps the file's own) and written to ``output`` as
    ``FileBridge.save`` writes, aligned with the input and as long as it as ``load``
    delivers it. The file is read and written a step at a time, so memory does not grow
    with the recording, and ``output`` is replaced only once it is complete. Needs no
    NumPy. Returns ``(clipped, non_finite)``, or None when ``progress`` (a
    ``_murello._Progress``, which counts the frames written) was asked to stop."""
    return _murello._convert(path, output, container=format, compression=compression,
                             progress=progress, **options)
