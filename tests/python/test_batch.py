"""Many files at once: the command line's JSON lines, resuming, conversion into a folder,
and analyze_files on a local pool and on a Dask cluster."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import soundfile

import murello
import murello._batch
from murello import FileBridge


def murello_cli(*args) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "murello", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


def lines(path: Path) -> list[dict]:
    return [json.loads(line) for line in path.read_text().splitlines()]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory) -> Path:
    """Speech in three containers (one a folder down), silence, a cut-off FLAC file, an
    ADPCM WAV file the core does not decode, and a text file a folder walk passes over."""
    root = tmp_path_factory.mktemp("corpus")
    spoken = root / "spoken.raw.wav"
    subprocess.run(["espeak-ng", "-w", str(spoken), "Seven boxes of apples."], check=True)
    words, rate = soundfile.read(spoken, dtype="float32")
    spoken.unlink()
    pause = np.zeros(rate // 4, np.float32)
    speech = np.concatenate([pause, words, pause])
    (root / "nested").mkdir()
    soundfile.write(root / "one.wav", speech, rate)
    soundfile.write(root / "two.flac", speech[::2], rate // 2)
    soundfile.write(root / "nested" / "three.aiff", np.stack([speech, speech / 2], 1), rate)
    soundfile.write(root / "silent.wav", np.zeros(rate, np.float32), rate)
    flac = (root / "two.flac").read_bytes()
    (root / "nested" / "corrupt.flac").write_bytes(flac[: len(flac) // 2])
    subprocess.run(["sox", root / "one.wav", "-e", "ima-adpcm", root / "unsupported.wav"],
                   check=True)
    (root / "notes.txt").write_text("not audio")
    return root


GOOD = ["nested/three.aiff", "one.wav", "silent.wav", "two.flac"]
FAILED = {"nested/corrupt.flac": "AudioFileTruncated", "unsupported.wav": "AudioFormatUnsupported"}


@pytest.fixture(scope="module")
def cli_results(corpus, tmp_path_factory) -> dict[str, dict]:
    out = tmp_path_factory.mktemp("results") / "out.jsonl"
    result = murello_cli("analyze", corpus, "--recursive", "--jobs", "2", "--jsonl", out)
    assert result.returncode == 1, result.stderr  # some files failed
    assert "analysed 6 files" in result.stderr and "2 failed" in result.stderr
    found = lines(out)
    assert len(found) == 6
    return {os.path.relpath(entry["path"], corpus): entry for entry in found}


def test_lines_match_each_file_analysed_alone(corpus, cli_results):
    assert sorted(cli_results) == sorted(GOOD + list(FAILED))
    for name in GOOD:
        path = str(corpus / name)
        windows, segments = FileBridge.open(path, vad=True,
                                            model_path=murello.silero_model_path()).analyze()
        facts = murello.info(path)
        entry = cli_results[name]
        assert entry["segments"] == [list(segment) for segment in segments]
        assert (entry["duration"], entry["rate"], entry["channels"]) == (
            facts.duration, facts.sample_rate, facts.channels)
        assert entry["speech_seconds"] == pytest.approx(sum(e - s for s, e in segments))
    assert cli_results["silent.wav"]["segments"] == []
    assert len(cli_results["one.wav"]["segments"]) >= 1
    for name, kind in FAILED.items():
        assert cli_results[name]["error"] == kind and cli_results[name]["message"]


def test_analyze_files_on_a_local_pool_and_on_dask_match_the_command_line(corpus, cli_results):
    distributed = pytest.importorskip("distributed")
    paths = [str(corpus / name) for name in cli_results]
    expected = sorted(cli_results.values(), key=lambda entry: entry["path"])

    local = list(murello.analyze_files(paths, jobs=2))
    assert sorted(local, key=lambda entry: entry["path"]) == expected

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client, client.get_executor() as executor:
        on_dask = list(murello.analyze_files(paths, executor=executor))
    assert sorted(on_dask, key=lambda entry: entry["path"]) == expected


def test_resume_after_ctrl_c_completes_the_set_once(corpus, tmp_path):
    folder = tmp_path / "copies"
    folder.mkdir()
    for i in range(8):
        shutil.copy(corpus / "one.wav", folder / f"take{i}.wav")
    out = tmp_path / "out.jsonl"
    command = [sys.executable, "-m", "murello", "analyze", folder, "--jobs", "1", "--jsonl", out]
    run = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    while not out.exists() or not out.read_text():
        assert run.poll() is None, run.stderr.read()
        time.sleep(0.01)
    run.send_signal(signal.SIGINT)
    _, stderr = run.communicate(timeout=60)
    assert run.returncode == 130 and "--resume" in stderr
    interrupted = lines(out)
    assert 1 <= len(interrupted) < 8

    # A crash mid-line leaves a cut-off line: resuming drops it and redoes that file.
    with open(out, "a") as log:
        log.write('{"path": "' + str(folder / "take7.wav"))
    refused = murello_cli(*command[3:])
    assert refused.returncode == 2 and "--resume" in refused.stderr
    resumed = murello_cli(*command[3:], "--resume")
    assert resumed.returncode == 0, resumed.stderr

    final = lines(out)
    assert final[: len(interrupted)] == interrupted
    assert sorted(entry["path"] for entry in final) == sorted(
        str(folder / f"take{i}.wav") for i in range(8))
    assert all(entry["segments"] == final[0]["segments"] for entry in final)


def test_convert_mirrors_the_tree_and_reports_failures(corpus, tmp_path):
    out = tmp_path / "converted"
    log = tmp_path / "log.jsonl"
    result = murello_cli("convert", corpus, out, "--recursive", "--rate", "16000",
                         "--format", "flac", "--jsonl", log)
    assert result.returncode == 1, result.stderr
    entries = {os.path.relpath(entry["path"], corpus): entry for entry in lines(log)}
    assert sorted(entries) == sorted(GOOD + list(FAILED))
    for name in GOOD:
        written = out / (os.path.splitext(name)[0] + ".flac")
        assert entries[name]["output"] == str(written)
        facts = soundfile.info(written)
        source = murello.info(corpus / name)
        assert (facts.samplerate, facts.channels) == (16000, source.channels)
        assert facts.duration == pytest.approx(source.duration, abs=0.02)
    for name, kind in FAILED.items():
        assert entries[name]["error"] == kind
    written = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
    assert written == sorted(os.path.splitext(name)[0] + ".flac" for name in GOOD)


@pytest.mark.parametrize("args,message", [
    (["analyze", "{corpus}", "--json"], "--json and --plot take one file"),
    (["analyze", "{corpus}", "--resume"], "--resume needs --jsonl"),
    (["convert", "{corpus}", "{corpus}/one.wav"], "into a folder"),
    (["analyze", "{corpus}", "--jobs", "0"], "--jobs must be at least 1"),
])
def test_batch_misuse_is_a_user_error(corpus, args, message):
    result = murello_cli(*(arg.format(corpus=corpus) for arg in args))
    assert result.returncode == 2 and message in result.stderr, result.stderr


def leave_on(path: str) -> dict:
    if path == "dies":
        os._exit(3)
    return {"path": path}


def test_a_worker_that_dies_fails_the_files_it_held_and_the_run_goes_on():
    results = list(murello._batch.run_tasks(leave_on, [(p,) for p in ("dies", "a", "b", "c")],
                                            jobs=1))
    assert sorted(r["path"] for r in results) == ["a", "b", "c", "dies"]
    by_path = {r["path"]: r for r in results}
    assert by_path["dies"]["error"] == "BrokenProcessPool"
    assert by_path["b"] == {"path": "b"} and by_path["c"] == {"path": "c"}
