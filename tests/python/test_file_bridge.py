"""FileBridge end to end: open and buffer, read, analyze, save, close, and the
argument conversions."""

from __future__ import annotations

import struct
import threading

import numpy as np
import pytest
import soundfile

import murello.exceptions as exc
from murello._murello import FileBridge

CONSUMED = "File already consumed; construct a new File for another pass"
ENGAGED = "File iteration has begun; construct a new File to analyze the whole recording"


def tone(rate: int, seconds: float, channels: int = 1, freq: float = 440.0) -> np.ndarray:
    t = np.arange(int(rate * seconds)) / rate
    mono = 0.5 * np.sin(2 * np.pi * freq * t)
    return np.repeat(mono[:, None], channels, axis=1).astype(np.float32)


@pytest.fixture
def wav(tmp_path):
    def write(rate=16000, seconds=0.5, channels=1, subtype="PCM_16", name="in.wav"):
        path = tmp_path / name
        soundfile.write(path, tone(rate, seconds, channels), rate, subtype=subtype)
        return path

    return write


def read_all(bridge) -> list:
    chunks = []
    while (chunk := bridge.read()) is not None:
        chunks.append(chunk)
    return chunks


def test_open_reads_chunks_at_the_target_rate(wav):
    path = wav(rate=48000, seconds=1.0, channels=2)
    bridge = FileBridge.open(str(path), sample_rate=16000, channels=1, format="float32",
                             numpy=True)
    assert (bridge.sample_rate, bridge.input_rate, bridge.channels) == (16000, 48000, 1)
    chunks = read_all(bridge)
    assert all(c.dtype == np.float32 and c.ndim == 1 for c in chunks)
    total = sum(len(c) for c in chunks)
    # One second at 16 kHz plus the resampler's end-of-stream tail.
    assert 16000 <= total < 16000 + 400
    assert bridge.read() is None


def test_stereo_delivery_and_channels_property(wav):
    bridge = FileBridge.open(wav(channels=2), channels=2)
    assert bridge.channels == 1
    chunk = bridge.read()
    assert isinstance(chunk, bytes) and len(chunk) % 4 == 0
    assert bridge.channels == 2


def test_buffer_sources_take_lists_and_bytes():
    values = [0.0, 0.25, -0.25, 0.5]
    bridge = FileBridge.buffer(values, 16000, format="float32")
    assert struct.unpack("<4f", b"".join(read_all(bridge))) == tuple(values)
    bridge = FileBridge.buffer(struct.pack("<f", 0.5) + b"\x00\x00\x00", 16000, format="float32")
    assert struct.unpack("<f", b"".join(read_all(bridge))) == (0.5,)
    with pytest.raises(TypeError, match="^samples must be a list of floats or f32 "):
        FileBridge.buffer("abc", 16000)


def test_buffer_checks(wav):
    with pytest.raises(exc.BlockSizeNotFrameAligned):
        FileBridge.buffer([0.0] * 5, 16000, input_channels=2)
    FileBridge.buffer([0.0] * 5, 16000, input_channels=1)
    with pytest.raises(exc.SampleRateOutOfRange):
        FileBridge.buffer([0.0], 999)
    with pytest.raises(exc.ChannelsOutOfRange):
        FileBridge.buffer([0.0], 16000, input_channels=0)


def test_argument_checks_run_in_order(tmp_path, no_default_model):
    missing = tmp_path / "missing.wav"
    with pytest.raises(exc.InvalidFormat):
        FileBridge.open(missing, format="pcm")
    with pytest.raises(exc.FileReadFailed) as info:
        FileBridge.open(missing)
    assert str(missing) in str(info.value) and "(os error 2)" in str(info.value)
    with pytest.raises(ValueError, match="model_path is required"):
        FileBridge.open(missing, vad=True)


def test_conversion_errors_name_the_parameter():
    with pytest.raises(OverflowError, match="number too large to fit in target type") as info:
        FileBridge.buffer([0.0], 16000, agc=200)
    assert getattr(info.value, "__notes__", []) == ["while processing 'agc'"]
    with pytest.raises(OverflowError, match="number too small"):
        FileBridge.buffer([0.0], 16000, channels=-1)
    with pytest.raises(TypeError):
        FileBridge.buffer([0.0], 16000, vad=1)
    with pytest.raises(TypeError):
        FileBridge.buffer([0.0], 16000, vad_mode=None)
    with pytest.raises(TypeError):
        FileBridge.buffer([0.0], 16000, channel_map="01")
    with pytest.raises(exc.AgcTargetOutOfRange):
        FileBridge.buffer([0.0], 16000, agc=-50)
    FileBridge.buffer([0.0], 16000, vad=np.bool_(False))


def test_channel_selection_against_the_file(wav):
    path = wav(channels=6)
    with pytest.raises(exc.FileChannelSelectionAmbiguous):
        FileBridge.open(path, channels=2)
    FileBridge.open(path, channels=1)
    with pytest.raises(exc.FileChannelsUnsupported):
        FileBridge.open(path, channels=8)
    bridge = FileBridge.open(path, channels=2, channel_map=[5, 0])
    bridge.read()
    assert bridge.channels == 2


def test_states_engaged_consumed_closed(wav, tmp_path):
    bridge = FileBridge.open(wav())
    bridge.check_not_engaged()
    bridge.read()
    with pytest.raises(exc.FileEngaged) as info:
        bridge.check_not_engaged()
    assert str(info.value) == ENGAGED
    with pytest.raises(exc.FileEngaged):
        bridge.save(tmp_path / "out.wav")
    with pytest.raises(exc.FileEngaged):
        bridge.analyze()

    saved = FileBridge.open(wav())
    saved.save(tmp_path / "out.wav")
    for method in (saved.read, saved.analyze, lambda: saved.save(tmp_path / "again.wav")):
        with pytest.raises(exc.FileConsumed) as info:
            method()
        assert str(info.value) == CONSUMED

    closed = FileBridge.open(wav())
    closed.close()
    closed.close()
    assert closed.read() is None
    with pytest.raises(exc.FileConsumed):
        closed.save(tmp_path / "closed.wav")


def test_analyze_needs_the_model_detector(wav):
    bridge = FileBridge.open(wav(), vad=True, vad_mode="energy")
    with pytest.raises(exc.VadNotConfigured):
        bridge.analyze()
    bridge.read()  # the refused analyze left the source in place


def test_save_container_choice_and_errors(wav, tmp_path):
    with pytest.raises(ValueError) as info:
        FileBridge.open(wav()).save(tmp_path / "x.wav", format="WAV")
    assert str(info.value) == "Invalid format value: WAV. Expected 'wav', 'aiff', or 'flac'."
    bridge = FileBridge.open(wav())
    with pytest.raises(exc.AudioFormatUnsupported, match="has no extension"):
        bridge.save(tmp_path / "noext")
    with pytest.raises(exc.AudioFormatUnsupported, match=r"extension '\.mp3'"):
        bridge.save(tmp_path / "x.MP3")
    with pytest.raises(exc.FlacCompressionOutOfRange):
        bridge.save(tmp_path / "x.wav", compression=9)
    with pytest.raises(OverflowError):
        bridge.save(tmp_path / "x.wav", compression=300)
    assert bridge.read() is not None  # every refusal left the source readable

    FileBridge.open(wav()).save(tmp_path / "upper.WAV")
    assert soundfile.info(tmp_path / "upper.WAV").format == "WAV"
    FileBridge.open(wav()).save(tmp_path / "x.AIF")
    assert soundfile.info(tmp_path / "x.AIF").format == "AIFF"


@pytest.mark.parametrize("suffix,fmt", [("wav", "WAV"), ("aiff", "AIFF"), ("flac", "FLAC")])
@pytest.mark.parametrize("channels", [1, 2])
def test_save_round_trips_through_every_container(wav, tmp_path, suffix, fmt, channels):
    source = wav(rate=22050, channels=channels)
    out = tmp_path / f"out.{suffix}"
    counts = FileBridge.open(source, sample_rate=22050, channels=channels).save(out,
                                                                                compression=3)
    assert counts == (0, 0)
    data, rate = soundfile.read(out, dtype="int16", always_2d=True)
    original, _ = soundfile.read(source, dtype="int16", always_2d=True)
    assert soundfile.info(out).format == fmt and rate == 22050
    assert np.array_equal(data, original)
    again = FileBridge.open(out, sample_rate=22050, channels=channels, format="int16")
    assert b"".join(read_all(again)) == original.tobytes()


def test_save_sanitises_and_counts():
    bridge = FileBridge.buffer([0.0, float("nan"), 1.5, -0.5], 16000)
    import tempfile

    with tempfile.TemporaryDirectory() as directory:
        path = f"{directory}/x.wav"
        assert bridge.save(path) == (1, 1)
        data, _ = soundfile.read(path, dtype="int16")
        assert data.tolist() == [0, 0, 32767, -16384]


def test_header_rate_out_of_range_is_refused_after_decoding(tmp_path):
    path = tmp_path / "slow.wav"
    soundfile.write(path, np.zeros(100, dtype=np.int16), 500, subtype="PCM_16")
    with pytest.raises(exc.SampleRateOutOfRange):
        FileBridge.open(path)


def test_decoder_errors_map_to_file_kinds(tmp_path):
    junk = tmp_path / "junk.wav"
    junk.write_bytes(b"OggS" + bytes(40))
    with pytest.raises(exc.AudioFormatUnsupported, match="leading bytes were 'OggS'"):
        FileBridge.open(junk)
    cut = tmp_path / "cut.wav"
    soundfile.write(cut, np.zeros(100, dtype=np.int16), 16000, subtype="PCM_16")
    cut.write_bytes(cut.read_bytes()[:30])
    with pytest.raises((exc.AudioFileTruncated, exc.AudioFileMalformed)):
        FileBridge.open(cut)


def test_threads_share_one_bridge_while_it_closes():
    noise = np.random.default_rng(7).uniform(-1, 1, 16000 * 20).astype(np.float32)
    bridge = FileBridge.buffer(noise.tobytes(), 16000, format="float32")
    seen = []
    errors = []

    def reader():
        try:
            while (chunk := bridge.read()) is not None:
                seen.append(chunk)
        except Exception as error:  # noqa: BLE001 - collected for the assertion
            errors.append(error)

    threads = [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    bridge.close()
    for t in threads:
        t.join()
    assert errors == []
    # Each chunk is one 1600-frame step of the recording, and no step came out twice.
    steps = {noise[i : i + 1600].tobytes(): i for i in range(0, len(noise), 1600)}
    offsets = [steps[chunk] for chunk in seen]
    assert len(set(offsets)) == len(offsets)
    assert sorted(offsets) == list(range(0, 1600 * len(offsets), 1600))


def test_save_refused_by_the_encoder_leaves_the_source(tmp_path):
    bridge = FileBridge.buffer([0.0] * 90, 16000, input_channels=9, channels=9,
                               channel_map=list(range(9)))
    with pytest.raises(exc.AudioFormatUnsupported):
        bridge.save(tmp_path / "nine.flac")
    assert bridge.save(tmp_path / "nine.wav") == (0, 0)


OPTIONS = (
    "sample_rate=16000, channels=1, channel_map=None, format=..., vad=False, "
    "vad_threshold=0.5, vad_mode=..., vad_holdoff=300, model_path=None, numpy=False, "
    "ort_library_path=None, denoise=None, denoise_model_path=None, highpass=None, agc=None, "
    "limiter=None, dc_removal=False, detector_source=None)"
)


def test_constructors_carry_their_text_signatures():
    import inspect

    # CPython splits "name(signature)\n--\n\nbody" into the two attributes below.
    assert FileBridge.open.__doc__ == "Open an audio path as an offline source."
    assert FileBridge.open.__text_signature__ == "(path, " + OPTIONS
    assert FileBridge.buffer.__text_signature__ == (
        "(samples, input_rate, input_channels=1, " + OPTIONS
    )
    assert "f32 little-endian bytes" in FileBridge.buffer.__doc__
    params = list(inspect.signature(FileBridge.buffer).parameters)
    assert params[:3] == ["samples", "input_rate", "input_channels"] and len(params) == 21
    # Every keyword of the signature is accepted by name.
    FileBridge.buffer(samples=[0.0], input_rate=16000, **{
        "sample_rate": 8000, "channels": 1, "channel_map": None, "format": "float32",
        "vad": False, "vad_threshold": 0.5, "vad_mode": "energy", "vad_holdoff": 0,
        "model_path": None, "numpy": False, "ort_library_path": None, "denoise": None,
        "denoise_model_path": None, "highpass": None, "agc": None, "limiter": None,
        "dc_removal": False, "detector_source": None,
    })
    with pytest.raises(TypeError, match="unexpected keyword argument 'device'"):
        FileBridge.buffer([0.0], 16000, device=None)


def test_none_means_the_end_even_when_a_step_yields_nothing(tmp_path):
    # 1601 frames at 48 kHz: the second step holds one frame, which yields nothing at
    # 16 kHz, and the resampler's tail comes only after it.
    samples = tone(48000, 1.0)[:1601, 0].tobytes()
    chunks = read_all(FileBridge.buffer(samples, 48000, format="int16"))
    FileBridge.buffer(samples, 48000).save(tmp_path / "all.wav")
    saved, _ = soundfile.read(tmp_path / "all.wav", dtype="int16")
    assert b"".join(chunks) == saved.tobytes() and len(saved) > 534


def test_paths_with_an_embedded_nul_are_refused(wav, tmp_path):
    path = wav(name="a.wav")
    nul = f"{path}\0junk"
    bridge = FileBridge.open(path)
    calls = {
        "open": lambda: FileBridge.open(nul),
        "save": lambda: bridge.save(f"{tmp_path}/out.wav\0.flac"),
        "model_path": lambda: FileBridge.open(path, vad=True, model_path=nul),
        "ort_library_path": lambda: FileBridge.open(path, ort_library_path=nul),
        "denoise_model_path": lambda: FileBridge.open(
            path, denoise="fastenhancer-t", denoise_model_path=nul),
        "bytes path": lambda: FileBridge.open(bytes(path) + b"\0"),
    }
    for name, call in calls.items():
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "embedded null byte", name
    assert not (tmp_path / "out.wav").exists()
    assert bridge.read() is not None  # the refused save left the source


def test_read_racing_save_raises_or_reads_but_never_ends(tmp_path):
    outcomes = set()
    for attempt in range(200):
        bridge = FileBridge.buffer(bytes(4 * 16000), 16000)
        start = threading.Barrier(2)
        results = {}

        def run(name, call):
            start.wait()
            try:
                results[name] = "None" if call() is None else "ok"
            except (exc.FileConsumed, exc.FileEngaged) as error:
                results[name] = type(error).__name__

        threads = [
            threading.Thread(target=run, args=("read", bridge.read)),
            threading.Thread(target=run, args=("save", lambda: bridge.save(
                tmp_path / f"{attempt}.wav"))),
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        outcomes.add((results["read"], results["save"]))
    # Whichever takes the source first wins; the other is refused with the reason.
    assert outcomes <= {("ok", "FileEngaged"), ("FileConsumed", "ok")}
