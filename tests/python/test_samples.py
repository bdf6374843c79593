"""Sample exchange at the boundary, through the test-only probe module."""

from __future__ import annotations

import math
import struct

import numpy as np
import pytest

WRITE_TYPE_ERROR = (
    "samples must be bytes or numpy.ndarray with dtype matching the configured format "
    "(int16 or float32); 1-D for mono or 2-D (N, channels) for multi-channel"
)
REFERENCE_TYPE_ERROR = (
    "samples must be bytes or numpy.ndarray with dtype matching the configured format "
    "(int16 or float32); the reference is mono"
)


def test_output_bytes_in_both_formats(probe):
    values = [1.0, -1.0, 0.5, -0.00002, 1.5, math.nan]
    assert struct.unpack("<6h", probe.to_python(values, 1, "int16", False)) == (
        32767, -32768, 16384, 0, 32767, 0,
    )
    out = struct.unpack("<6f", probe.to_python(values, 1, "float32", False))
    assert out[:5] == (1.0, -1.0, 0.5, np.float32(-0.00002), 1.5) and math.isnan(out[5])


@pytest.mark.parametrize("fmt,dtype", [("int16", np.int16), ("float32", np.float32)])
def test_output_arrays_are_shaped_by_channels(probe, fmt, dtype):
    mono = probe.to_python([0.25] * 320, 1, fmt, True)
    assert mono.shape == (320,) and mono.dtype == dtype
    stereo = probe.to_python([0.25, -0.5] * 320, 2, fmt, True)
    assert stereo.shape == (320, 2) and stereo.flags.writeable and stereo.flags.c_contiguous
    assert type(stereo.base).__name__ == "PySliceContainer"
    expected = [0.25, -0.5] if fmt == "float32" else [8192, -16384]
    assert stereo[7].tolist() == expected


def test_output_array_with_a_partial_frame_is_a_shape_error(probe):
    with pytest.raises(RuntimeError, match="^ndarray shape error: "):
        probe.to_python([0.0] * 5, 2, "float32", True)


def test_bytes_input_ignores_trailing_partial_samples(probe):
    assert probe.from_python(struct.pack("<f", 0.5) + b"\x01", "float32", "write") == [0.5]
    assert probe.from_python(b"\x00\x80\x07", "int16", "write") == [-1.0]
    assert probe.from_python(b"", "int16", "write") == []

    class Sub(bytes):
        pass

    assert probe.from_python(Sub(b"\xff\x7f"), "int16", "reference") == [32767 / 32768]


def test_array_input_is_flattened_in_memory_order(probe):
    frames = np.array([[1, 2], [3, 4]], dtype=np.int16)
    assert probe.from_python(frames, "int16", "write") == [v / 32768 for v in (1, 2, 3, 4)]
    f = np.array([0.25, -0.75], dtype=np.float32)
    assert probe.from_python(f, "float32", "reference") == [0.25, -0.75]
    assert probe.from_python(np.zeros(0, dtype=np.float32), "float32", "write") == []


@pytest.mark.parametrize(
    "samples",
    [
        np.zeros((2, 2, 2), dtype=np.float32),
        [0.0, 1.0],
        bytearray(b"\x00\x00"),
        np.zeros(4, dtype=np.int64),
        np.zeros(4, dtype=">f4"),
    ],
    ids=["3-D", "list", "bytearray", "int64", "big-endian"],
)
def test_unsupported_inputs_are_type_errors(probe, samples):
    with pytest.raises(TypeError) as info:
        probe.from_python(samples, "float32", "write")
    assert str(info.value) == WRITE_TYPE_ERROR
    with pytest.raises(TypeError) as info:
        probe.from_python(samples, "float32", "reference")
    assert str(info.value) == REFERENCE_TYPE_ERROR


def test_dtype_mismatch_advises_both_fixes(probe):
    with pytest.raises(TypeError) as info:
        probe.from_python(np.zeros(4, dtype=np.float32), "int16", "reference")
    assert str(info.value) == (
        "format='int16' configured but 1-D ndarray dtype is float32; convert with "
        "arr.astype(np.int16) or construct Microphone with format='float32'"
    )
    with pytest.raises(TypeError) as info:
        probe.from_python(np.zeros((2, 2), dtype=np.int16), "float32", "write")
    assert str(info.value) == (
        "format='float32' configured but 2-D ndarray dtype is int16; convert with "
        "arr.astype(np.float32) or construct Speaker with format='int16'"
    )


def test_non_contiguous_arrays_are_value_errors(probe):
    detail = "The given array is not contiguous or is misaligned."
    with pytest.raises(ValueError) as info:
        probe.from_python(np.zeros((4, 2), dtype=np.float32).T, "float32", "write")
    assert str(info.value) == "2-D ndarray must be C-contiguous: " + detail
    with pytest.raises(ValueError) as info:
        probe.from_python(np.zeros(8, dtype=np.int16)[::2], "int16", "write")
    assert str(info.value) == "ndarray must be C-contiguous: " + detail


def test_buffer_input_takes_floats_or_float32_bytes(probe):
    assert probe.from_buffer([0.5, -1, 2.0]) == [0.5, -1.0, 2.0]
    assert probe.from_buffer(struct.pack("<2f", 0.25, 0.5) + b"\x00") == [0.25, 0.5]
    for bad in ("abc", 3.0, bytearray(b"\x00" * 4), ["x"]):
        with pytest.raises(TypeError, match="^samples must be a list of floats or f32 "
                           "little-endian bytes$"):
            probe.from_buffer(bad)


def test_sequences_are_converted_from_a_snapshot_the_items_cannot_change(probe):
    from murello._murello import FileBridge

    class Clearing:
        """Empties the list it is an item of while it is being converted."""

        def __init__(self, owner):
            self.owner = owner

        def __float__(self):
            self.owner.clear()
            return 0.5

        def __index__(self):
            self.owner.clear()
            return 0

    samples = []
    samples.extend([Clearing(samples)] + [0.25] * 1000)
    assert probe.from_buffer(samples) == [0.5] + [0.25] * 1000
    channel_map = []
    channel_map.extend([Clearing(channel_map), 0])
    FileBridge.buffer([0.0] * 4, 16000, input_channels=2, channels=2, channel_map=channel_map)

    class Raising:
        def __float__(self):
            raise ZeroDivisionError("from __float__")

        def __index__(self):
            raise ZeroDivisionError("from __index__")

    # The item's own error is not masked; a non-number is the samples TypeError.
    with pytest.raises(ZeroDivisionError, match="from __float__"):
        FileBridge.buffer([0.0, Raising()], 16000)
    with pytest.raises(ZeroDivisionError, match="from __index__"):
        FileBridge.buffer([0.0] * 4, 16000, input_channels=2, channels=2,
                          channel_map=[0, Raising()])
    with pytest.raises(TypeError, match="^samples must be a list of floats"):
        FileBridge.buffer([0.0, "x"], 16000)
    huge = FileBridge.buffer([0.5] * 3_000_000, 16000, format="float32")
    assert len(huge.read()) == 4 * 1600
