"""Constructor options: bound by name, and the warning for a detector mode that selects none."""

from __future__ import annotations

import warnings

import pytest

from murello import FileBridge

SILENCE = bytes(4 * 1600)


def test_misspelt_vad_mode_warns_and_still_constructs():
    with pytest.warns(RuntimeWarning, match="vad_mode 'enrgy' selects no voice activity "
                      "detector.*'silero' and 'energy'"):
        f = FileBridge.buffer(SILENCE, 16000, vad=True, vad_mode="enrgy")
    assert f.read() is not None


@pytest.mark.parametrize("options", [dict(vad=False, vad_mode="enrgy"),
                                     dict(vad=True, vad_mode="energy")])
def test_no_warning_when_the_mode_is_known_or_detection_is_off(options):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        FileBridge.buffer(SILENCE, 16000, **options)


def test_warning_as_error_refuses_construction():
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            FileBridge.buffer(SILENCE, 16000, vad=True, vad_mode="Energy")


# A value of the wrong type for every option: the error must name that option, which
# holds only while each name and its conversion stay paired.
BAD_VALUES = {
    "sample_rate": "x", "channels": -1, "channel_map": [70000], "format": 1, "vad": "x",
    "vad_threshold": "x", "vad_mode": None, "vad_holdoff": -1, "model_path": 1,
    "numpy": "x", "ort_library_path": 1, "denoise": 1, "denoise_model_path": 1,
    "highpass": "x", "agc": 1000, "limiter": "x", "dc_removal": "x", "detector_source": -1,
}


@pytest.mark.parametrize("name", sorted(BAD_VALUES))
def test_each_option_is_converted_under_its_own_name(name):
    with pytest.raises((TypeError, OverflowError)) as info:
        FileBridge.buffer(SILENCE, 16000, **{name: BAD_VALUES[name]})
    assert getattr(info.value, "__notes__", []) == [f"while processing '{name}'"]
