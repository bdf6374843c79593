"""A save that fails part-way (a file-size limit, a full disk) keeps the earlier file of
that name as it was and leaves no partial file, whichever way the save was asked for."""

from __future__ import annotations

import os
import resource
import signal
import subprocess
import sys

import numpy as np
import pytest
import soundfile

LIMIT_BYTES = 64 * 1024
EARLIER = b"an earlier file that must survive"

SAVES = {
    "murello.save": lambda src, out: [
        sys.executable, "-c",
        "import sys, murello, soundfile\n"
        f"samples, rate = soundfile.read({str(src)!r}, dtype='float32')\n"
        f"murello.save({str(out)!r}, samples, rate)\n"],
    "FileBridge.save": lambda src, out: [
        sys.executable, "-c",
        f"import murello; murello.FileBridge.open({str(src)!r}).save({str(out)!r})"],
    "convert": lambda src, out: [
        sys.executable, "-m", "murello", "convert", str(src), str(out), "--format", "flac",
        "--compression", "0"],
    # A silent far end: nothing to cancel, so all of the noise is written.
    "cancel-echo": lambda src, out: [
        sys.executable, "-m", "murello", "cancel-echo", str(src), str(src.with_name("silence.wav")),
        str(out)],
}


@pytest.fixture(scope="module")
def noise(tmp_path_factory):
    """Six seconds of 48 kHz noise: several times the limit at 16 bits, even as FLAC and
    at the 16 kHz FileBridge delivers by default."""
    path = tmp_path_factory.mktemp("source") / "noise.wav"
    samples = np.random.default_rng(3).uniform(-0.5, 0.5, 6 * 48000).astype(np.float32)
    soundfile.write(path, samples, 48000, subtype="FLOAT")
    soundfile.write(path.with_name("silence.wav"), np.zeros_like(samples), 48000)
    return path


def limit_file_size():
    # Ignored, SIGXFSZ turns a write past the limit into an error (EFBIG) instead of death.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (LIMIT_BYTES, LIMIT_BYTES))


@pytest.fixture
def full_disk(tmp_path):
    """A folder on a file system too small for the output."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    folder = tmp_path / "small"
    folder.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={LIMIT_BYTES}", "tmpfs",
                              str(folder)], capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    yield folder
    subprocess.run(["umount", str(folder)], check=True)


def assert_failed_and_kept(result, folder, name):
    assert result.returncode != 0, result.stdout
    assert "Traceback" not in result.stderr or "FileWriteFailed" in result.stderr
    assert sorted(os.listdir(folder)) == [name]
    assert (folder / name).read_bytes() == EARLIER


@pytest.mark.parametrize("save", SAVES)
@pytest.mark.parametrize("name", ["out.wav", "out.flac"])
def test_a_save_past_the_file_size_limit_keeps_the_earlier_file(noise, tmp_path, save, name):
    (tmp_path / name).write_bytes(EARLIER)
    result = subprocess.run(SAVES[save](noise, tmp_path / name), capture_output=True,
                            text=True, timeout=120, preexec_fn=limit_file_size)
    assert_failed_and_kept(result, tmp_path, name)
    assert "File too large" in result.stderr


@pytest.mark.parametrize("save", SAVES)
def test_a_save_on_a_full_disk_keeps_the_earlier_file(noise, full_disk, save):
    (full_disk / "out.wav").write_bytes(EARLIER)
    result = subprocess.run(SAVES[save](noise, full_disk / "out.wav"), capture_output=True,
                            text=True, timeout=120)
    assert_failed_and_kept(result, full_disk, "out.wav")
    assert "No space left on device" in result.stderr


def test_a_save_that_fits_replaces_the_earlier_file(noise, full_disk):
    target = full_disk / "out.wav"
    target.write_bytes(EARLIER)
    short = full_disk.parent / "short.wav"
    soundfile.write(short, np.zeros(1000, dtype=np.float32), 16000)
    result = subprocess.run(SAVES["FileBridge.save"](short, target), capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(full_disk)) == ["out.wav"]
    assert soundfile.info(target).frames == 1000
