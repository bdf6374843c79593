"""Files as other programs write them: piped, stopped mid-write, in wide sample slots,
with depths between whole bytes, tagged. murello reads each to the samples soundfile
reads, or, where soundfile does not read them, to the samples the writer was given."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
import soundfile

import murello
import murello.exceptions as exc
from conftest import ALSA_DEVICES_CONF


def need(tool: str) -> None:
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed")


def same_as_soundfile(path) -> np.ndarray:
    samples, rate = murello.load(path)
    expected, expected_rate = soundfile.read(path, dtype="float32")
    assert rate == expected_rate
    np.testing.assert_array_equal(samples, expected)
    assert murello.info(path).frames == len(expected)
    return samples


@pytest.mark.parametrize("kind,options", [
    ("wav", ["-b", "16", "-c", "2"]),
    ("wav", ["-b", "24", "-c", "3"]),   # WAVE_FORMAT_EXTENSIBLE
    ("aiff", ["-b", "24", "-c", "2"]),
    ("aifc", ["-b", "16", "-c", "1"]),
])
def test_sox_writing_to_a_pipe(tmp_path, kind, options):
    need("sox")
    path = tmp_path / f"piped.{kind}"
    with open(path, "wb") as out:
        subprocess.run(["sox", "-n", "-r", "8000", *options, "-t", kind, "-", "synth", "0.05",
                        "whitenoise"], stdout=out, stderr=subprocess.DEVNULL, check=True)
    assert len(same_as_soundfile(path)) == 400


def arecord(args: list[str], stdout) -> None:
    """arecord on the null capture device of the listing tests' configuration."""
    env = dict(os.environ, ALSA_CONFIG_PATH=str(ALSA_DEVICES_CONF))
    subprocess.run(["arecord", "-q", "-D", "default", "-r", "8000", *args], stdout=stdout,
                   env=env, check=False, stderr=subprocess.DEVNULL)


def test_arecord_24_bits_in_4_byte_slots(tmp_path):
    need("arecord")
    path = tmp_path / "s24.wav"
    arecord(["-f", "S24_LE", "-c", "2", "-s", "800", "-t", "wav", str(path)], None)
    slots = np.frombuffer(path.read_bytes()[44:], dtype="<u4")
    expected = ((slots << 8).view("<i4").astype(np.float64) / 2**31).astype(np.float32)
    samples, rate = murello.load(path)
    assert rate == 8000 and samples.shape == (800, 2)
    np.testing.assert_array_equal(samples, expected.reshape(800, 2))
    info = murello.info(path)
    assert (info.frames, info.sample_format) == (800, "24-bit PCM")


def test_arecord_writing_to_a_pipe_that_closes(tmp_path):
    need("arecord")
    path = tmp_path / "piped.wav"
    reader = subprocess.Popen(["head", "-c", str(44 + 2 * 1001)], stdin=subprocess.PIPE,
                              stdout=open(path, "wb"))
    arecord(["-f", "S16_LE", "-c", "1", "-t", "wav", "-"], reader.stdin)
    reader.stdin.close()
    reader.wait()
    assert len(same_as_soundfile(path)) == 1001


STOPPED_WRITER = """
import os, sys
import numpy as np, soundfile
f = soundfile.SoundFile(sys.argv[1], "w", 8000, 2, "PCM_16", format=sys.argv[2])
f.write(np.load(sys.argv[3]))
f.flush()
os._exit(0)
"""


@pytest.mark.parametrize("suffix,container", [("wav", "WAV"), ("aiff", "AIFF")])
def test_a_writer_stopped_before_it_finished_its_header(tmp_path, suffix, container):
    written = np.random.default_rng(3).integers(-32768, 32768, (1001, 2), dtype=np.int16)
    np.save(tmp_path / "written.npy", written)
    path = tmp_path / f"stopped.{suffix}"
    subprocess.run([sys.executable, "-c", STOPPED_WRITER, str(path), container,
                    str(tmp_path / "written.npy")], check=True)
    samples, rate = murello.load(path)
    assert rate == 8000 and murello.info(path).frames == 1001
    np.testing.assert_array_equal(samples, written / np.float32(32768))


def patch(path, at: int, value: bytes) -> None:
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(value)


def test_depths_between_whole_bytes(tmp_path):
    # soundfile's own 16-bit files, relabelled as holding 12 significant bits.
    data = np.random.default_rng(4).integers(-2048, 2048, (300, 2), dtype=np.int16) << 4
    wav, aiff = tmp_path / "12.wav", tmp_path / "12.aiff"
    soundfile.write(wav, data, 16000, subtype="PCM_16")
    soundfile.write(aiff, data, 16000, subtype="PCM_16")
    patch(wav, 34, (12).to_bytes(2, "little"))
    head = aiff.read_bytes()[:64]
    patch(aiff, head.index(b"COMM") + 8 + 6, (12).to_bytes(2, "big"))
    for path in (wav, aiff):
        np.testing.assert_array_equal(same_as_soundfile(path), data / np.float32(32768))
        assert murello.info(path).sample_format.startswith("12-bit PCM")


def test_an_id3_tag_before_a_flac_stream(tmp_path):
    need("flac")
    plain = tmp_path / "plain.flac"
    soundfile.write(plain, np.random.default_rng(5).uniform(-0.5, 0.5, 2000), 22050,
                    subtype="PCM_16")
    title = b"\x03a title"
    frame = b"TIT2" + len(title).to_bytes(4, "big") + b"\x00\x00" + title
    tag = b"ID3\x04\x00\x00" + bytes([0, 0, 0, len(frame) + 100]) + frame + bytes(100)
    tagged = tmp_path / "tagged.flac"
    tagged.write_bytes(tag + plain.read_bytes())
    np.testing.assert_array_equal(same_as_soundfile(tagged), murello.load(plain)[0])


def test_damaged_files_stay_refused(tmp_path):
    path = tmp_path / "cut.wav"
    soundfile.write(path, np.zeros((1000, 2), np.float32), 8000, subtype="PCM_16")
    path.write_bytes(path.read_bytes()[:2000])
    with pytest.raises(exc.AudioFileTruncated, match="4000 needed, 1956 available"):
        murello.load(path)
    with pytest.raises(exc.AudioFileTruncated):
        murello.info(path)
    patch(path, 32, (2).to_bytes(2, "little"))  # nBlockAlign of one channel
    with pytest.raises(exc.AudioFileMalformed, match="block alignment"):
        murello.load(path)
