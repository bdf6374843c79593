"""The command line on real files, and its error exits."""

from __future__ import annotations

import json
import subprocess
import sys

import numpy as np
import pytest
import soundfile


def murello(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "murello", *map(str, args)],
        capture_output=True, text=True, timeout=300,
    )


@pytest.fixture(scope="module")
def speech(tmp_path_factory):
    """Half a second of silence, spoken words, then silence again, at 22050 Hz."""
    directory = tmp_path_factory.mktemp("cli")
    spoken = directory / "spoken.wav"
    subprocess.run(["espeak-ng", "-w", str(spoken), "Testing one two three."], check=True)
    words, rate = soundfile.read(spoken, dtype="float32")
    silence = np.zeros(rate // 2, dtype=np.float32)
    path = directory / "speech.wav"
    soundfile.write(path, np.concatenate([silence, words, silence, silence]), rate)
    return path


def test_info_describes_the_header(speech):
    result = murello("info", speech)
    assert result.returncode == 0, result.stderr
    assert "container:     WAV" in result.stdout
    assert "sample rate:   22050 Hz" in result.stdout
    assert "sample format: 16-bit PCM" in result.stdout


def test_convert_then_analyze(speech, tmp_path):
    out = tmp_path / "speech.flac"
    result = murello("convert", speech, out, "--rate", "16000", "--agc", "-20",
                     "--highpass", "80", "--limiter", "-1")
    assert result.returncode == 0, result.stderr
    assert "0 non-finite samples replaced" in result.stdout
    info = soundfile.info(out)
    assert (info.samplerate, info.channels, info.format) == (16000, 1, "FLAC")

    result = murello("analyze", out, "--json", "--plot", tmp_path / "plot.png")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert len(report["segments"]) >= 1
    first = report["segments"][0]
    assert 0.3 < first["start"] < 0.8 and first["end"] > first["start"]
    assert all(0.0 <= w["probability"] <= 1.0 for w in report["windows"])
    assert (tmp_path / "plot.png").stat().st_size > 0


@pytest.mark.parametrize("frames,declared", [(160003, True), (2500, True), (70001, False)])
def test_the_plot_envelope_holds_each_columns_extremes(tmp_path, frames, declared):
    from murello._plot import Envelope

    samples = np.random.default_rng(frames).uniform(-1, 1, (frames, 2)).astype(np.float32)
    path = tmp_path / "noise.wav"
    soundfile.write(path, samples, 16000, subtype="FLOAT")
    times, low, high, per = Envelope().read(str(path), frames if declared else None)
    mono = samples.mean(axis=1, dtype=np.float32)
    padded = np.pad(mono, (0, -frames % per), mode="edge").reshape(-1, per)
    assert len(low) == len(high) == len(times) == len(padded)
    np.testing.assert_allclose(low, padded.min(axis=1), atol=1e-6)
    np.testing.assert_allclose(high, padded.max(axis=1), atol=1e-6)
    assert times[-1] == pytest.approx((len(padded) - 1) * per / 16000)


@pytest.mark.parametrize(
    "args,message",
    [
        (["info", "/nonexistent.wav"], "No such file or directory"),
        (["convert", "/nonexistent.wav", "out.wav"], "No such file or directory"),
        (["analyze", "/nonexistent.wav", "--model", "/nonexistent.onnx"],
         "No such file or directory"),
    ],
)
def test_user_errors_exit_2_without_traceback(args, message):
    result = murello(*args)
    assert result.returncode == 2
    assert message in result.stderr and "Traceback" not in result.stderr


def test_core_errors_exit_2_with_their_message(speech, tmp_path):
    result = murello("convert", speech, tmp_path / "out.mp3")
    assert result.returncode == 2
    assert "does not name a format murello writes" in result.stderr
    result = murello("convert", speech, tmp_path / "out.wav", "--agc", "-90")
    assert result.returncode == 2
    assert "agc target level must be between -40 and -3" in result.stderr


@pytest.mark.parametrize(
    "suffix,kwargs,container,sample_format",
    [
        ("wav", {"subtype": "PCM_24"}, "WAV", "24-bit PCM"),
        ("wav", {"subtype": "FLOAT"}, "WAV", "32-bit IEEE float"),
        ("wav", {"subtype": "PCM_16", "format": "RF64"}, "RF64", "16-bit PCM"),
        ("aiff", {"subtype": "PCM_16"}, "AIFF", "16-bit PCM big-endian"),
        ("flac", {"subtype": "PCM_24"}, "FLAC", "24-bit PCM"),
    ],
)
def test_info_reads_every_container_header(tmp_path, suffix, kwargs, container, sample_format):
    import murello as package

    path = tmp_path / f"x.{suffix}"
    soundfile.write(path, np.zeros((4410, 3), dtype=np.float32), 44100, **kwargs)
    info = package.info(path)
    assert (info.container, info.sample_rate, info.channels, info.frames) == (
        container, 44100, 3, 4410,
    )
    assert info.sample_format == sample_format and info.duration == pytest.approx(0.1)


def test_info_refuses_a_header_as_open_does(tmp_path):
    import murello as package
    import murello.exceptions as exc

    path = tmp_path / "bad.flac"
    soundfile.write(path, np.zeros(4410, dtype=np.float32), 44100, subtype="PCM_16")
    damaged = bytearray(path.read_bytes())
    damaged[8:10] = b"\0\0"  # STREAMINFO's minimum block size
    path.write_bytes(bytes(damaged))
    with pytest.raises(exc.AudioFileMalformed) as opened:
        package.FileBridge.open(path)
    with pytest.raises(exc.AudioFileMalformed) as read:
        package.info(path)
    assert str(read.value) == str(opened.value)
    result = murello("info", path)
    assert result.returncode == 2 and str(opened.value) in result.stderr


def test_counts_are_worded_in_the_singular_for_one(tmp_path):
    path = tmp_path / "one.wav"
    samples = np.zeros(16000, dtype=np.float32)
    samples[100] = 2.0
    soundfile.write(path, samples, 16000, subtype="FLOAT")
    result = murello("convert", path, tmp_path / "out.wav")
    assert result.returncode == 0, result.stderr
    assert "16000 Hz, 1 channel; 1 sample clipped, 0 non-finite samples replaced" in result.stdout
    result = murello("info", path)
    assert "16000 frames" in result.stdout


def test_convert_to_standard_output_writes_only_the_audio_there(speech, tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "murello", "convert", str(speech), "/dev/stdout", "--format", "wav"],
        capture_output=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    path = tmp_path / "piped.wav"
    path.write_bytes(result.stdout)
    assert soundfile.info(path).frames == soundfile.info(speech).frames
    assert b"wrote /dev/stdout" in result.stderr


def test_convert_is_aligned_with_the_input_and_as_long(tmp_path):
    source = tmp_path / "click.wav"
    click = np.zeros(24001, dtype=np.float32)
    click[4800] = 0.9  # 0.1 s in
    soundfile.write(source, click, 48000, subtype="FLOAT")
    out = tmp_path / "click.wav.flac"
    result = murello("convert", source, out, "--rate", "16000")
    assert result.returncode == 0, result.stderr
    converted, rate = soundfile.read(out, dtype="float32")
    assert rate == 16000 and len(converted) == 8000
    assert int(np.argmax(np.abs(converted))) == 1600


NO_RUNTIME = (
    "import sys; sys.modules['onnxruntime'] = None\n"  # as if murello[vad] was not installed
    "from murello.cli import main; sys.exit(main(sys.argv[1:]))\n"
)


@pytest.fixture
def mics(tmp_path, monkeypatch):
    """The test sound card's named microphones, for the device answers."""
    from test_microphone import card_config, write_config

    conf = write_config(tmp_path / "mics.conf", card_config())
    monkeypatch.setenv("ALSA_CONFIG_PATH", str(conf))


@pytest.mark.parametrize(
    "args,status,says,never",
    [
        (["info", "{text}"], 2, ["notes.wav: not an audio file"], ["truncated"]),
        (["info", "{speech}", "{text}", "{speech}"], 2,
         ["notes.wav: not an audio file", "container:     WAV"], []),
        (["convert", "{speech}", "{out}", "--rate", "-5"], 2,
         ["argument --rate: must be at least 1, got -5"], ["fit in target type"]),
        (["convert", "{speech}", "{out}", "--rate", "0"], 2, ["argument --rate"], []),
        (["convert", "{speech}", "{out}", "--agc", "-300"], 2,
         ["argument --agc: must be from -128 to 127"], []),
        (["analyze", "{speech}", "--holdoff-ms", "-1"], 2, ["argument --holdoff-ms"], []),
        (["analyze", "{speech}", "--threshold", "2"], 2, ["argument --threshold"], []),
        (["record", "{out}", "--device", "7"], 2,
         ["no microphone has the index 7; the microphones are:", "Quad mic"],
         ["devices()"]),
        (["record", "{out}", "--device", "Nowhere"], 2,
         ['No microphone found matching "Nowhere"; the microphones are:', "Tone mic"], []),
        (["--version"], 0, ["murello {version}"], []),
        (["analyze", "--help"], 0, ["Find the speech in audio files.", "examples:"], []),
        (["cancel-echo", "--help"], 0,
         ["(default 200)", "(default conservative)", "examples:"], []),
    ],
)
def test_cli_messages(tmp_path, speech, mics, args, status, says, never):
    import murello as package

    (tmp_path / "notes.wav").write_text("not audio\n")
    values = {"speech": speech, "text": tmp_path / "notes.wav", "out": tmp_path / "out.wav",
              "version": package.__version__}
    result = murello(*(a.format(**values) for a in args))
    printed = result.stdout + result.stderr
    assert result.returncode == status, printed
    assert all(text.format(**values) in printed for text in says), printed
    assert not any(text in printed for text in never), printed
    assert "murello: murello:" not in printed and "Traceback" not in printed


def test_analyze_without_the_runtime_names_the_extra(speech, monkeypatch):
    monkeypatch.delenv("ORT_DYLIB_PATH", raising=False)
    result = subprocess.run([sys.executable, "-c", NO_RUNTIME, "analyze", str(speech)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 2
    assert result.stderr.startswith("murello: ") and 'pip install "murello[vad]"' in result.stderr
    assert "murello: murello:" not in result.stderr and "bundled" not in result.stderr


def test_info_and_devices_as_json(speech, mics):
    result = murello("info", speech, speech, "--json")
    assert result.returncode == 0, result.stderr
    files = json.loads(result.stdout)
    assert [f["container"] for f in files] == ["WAV", "WAV"]
    assert files[0]["sample_rate"] == 22050 and files[0]["channels"] == 1
    result = murello("devices", "--json")
    assert result.returncode == 0, result.stderr
    listed = json.loads(result.stdout)
    assert "Quad mic" in [d["name"] for d in listed["capture"]]
    assert {"index", "id", "channels", "default_sample_rate", "is_default"} <= set(
        listed["capture"][0])
