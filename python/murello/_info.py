"""Header facts of an audio file (container, rate, channels, length, sample format),
read without decoding the audio, for ``murello info``."""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from pathlib import Path

_WAVE_TAGS = {1: "PCM", 3: "IEEE float", 6: "A-law", 7: "mu-law"}
_AIFC_TYPES = {
    b"NONE": "PCM big-endian",
    b"sowt": "PCM little-endian",
    b"twos": "PCM big-endian",
    b"raw ": "PCM unsigned 8-bit",
    b"fl32": "IEEE float",
    b"FL32": "IEEE float",
    b"fl64": "IEEE float",
    b"FL64": "IEEE float",
    b"alaw": "A-law",
    b"ALAW": "A-law",
    b"ulaw": "mu-law",
    b"ULAW": "mu-law",
}


@dataclass
class FileInfo:
    container: str
    sample_rate: int
    channels: int
    frames: int
    sample_format: str

    @property
    def duration(self) -> float:
        return self.frames / self.sample_rate if self.sample_rate else 0.0


class HeaderError(ValueError):
    """The file's header could not be read."""


def read_info(path: str | Path) -> FileInfo:
    data = Path(path).read_bytes()
    if data[:4] == b"fLaC":
        return _flac(data)
    if data[:4] in (b"RIFF", b"RF64") and data[8:12] == b"WAVE":
        return _wav(data)
    if data[:4] == b"FORM" and data[8:12] in (b"AIFF", b"AIFC"):
        return _aiff(data)
    raise HeaderError(f"{path}: not a WAV, RF64, AIFF, AIFF-C or FLAC file")


def _chunks(data: bytes, start: int, big_endian: bool):
    order = ">" if big_endian else "<"
    pos = start
    while pos + 8 <= len(data):
        size = struct.unpack_from(order + "I", data, pos + 4)[0]
        yield data[pos : pos + 4], pos + 8, size
        pos += 8 + size + (size & 1)


def _wav(data: bytes) -> FileInfo:
    fmt = None
    data_size = None
    ds64_data = None
    for cid, body, size in _chunks(data, 12, False):
        if cid == b"ds64":
            ds64_data = struct.unpack_from("<Q", data, body + 8)[0]
        elif cid == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", data, body)
            if fmt[0] == 0xFFFE and size >= 40:
                fmt = (struct.unpack_from("<H", data, body + 24)[0],) + fmt[1:]
        elif cid == b"data":
            data_size = ds64_data if size == 0xFFFFFFFF and ds64_data is not None else size
            data_size = min(data_size, len(data) - body)
        if fmt is not None and data_size is not None:
            break
    if fmt is None or data_size is None:
        raise HeaderError("WAV file without fmt or data chunk")
    tag, channels, rate, _, block_align, bits = fmt
    frames = data_size // block_align if block_align else 0
    kind = _WAVE_TAGS.get(tag, f"format tag 0x{tag:04x}")
    container = "RF64" if data[:4] == b"RF64" else "WAV"
    return FileInfo(container, rate, channels, frames, f"{bits}-bit {kind}")


def _extended_to_int(raw: bytes) -> int:
    exponent = struct.unpack(">H", raw[:2])[0] & 0x7FFF
    mantissa = struct.unpack(">Q", raw[2:10])[0]
    if exponent == 0 and mantissa == 0:
        return 0
    return int(math.ldexp(mantissa, exponent - 16383 - 63))


def _aiff(data: bytes) -> FileInfo:
    aifc = data[8:12] == b"AIFC"
    for cid, body, _ in _chunks(data, 12, True):
        if cid == b"COMM":
            channels, frames, bits = struct.unpack_from(">hIh", data, body)
            rate = _extended_to_int(data[body + 8 : body + 18])
            kind = "PCM big-endian"
            if aifc:
                kind = _AIFC_TYPES.get(data[body + 18 : body + 22], "compressed")
            container = "AIFF-C" if aifc else "AIFF"
            return FileInfo(container, rate, channels, frames, f"{bits}-bit {kind}")
    raise HeaderError("AIFF file without COMM chunk")


def _flac(data: bytes) -> FileInfo:
    if len(data) < 42:
        raise HeaderError("FLAC file too short for STREAMINFO")
    info = int.from_bytes(data[18:26], "big")
    rate = info >> 44
    channels = ((info >> 41) & 0x7) + 1
    bits = ((info >> 36) & 0x1F) + 1
    frames = info & ((1 << 36) - 1)
    return FileInfo("FLAC", rate, channels, frames, f"{bits}-bit PCM")
