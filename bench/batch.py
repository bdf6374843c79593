"""A corpus analysed for speech: murello's batch command and a Dask cluster against the
plain Python loop a user would write (soundfile + the Silero model through onnxruntime,
one intra-op thread per session), in one run.

    python bench/batch.py [--files 200] [--seconds 30] [--only WORD]

Rows: `murello analyze DIR --jobs 1` and `--jobs 2` (whole commands, worker start-up
included); the peer loop in one process and in a multiprocessing spawn pool of 2 (a
session per process, made before the clock starts); murello.analyze_files on a Dask
LocalCluster of 2 worker processes with one thread each (started before the clock).
Each row prints files per second and the audio's duration over the wall time (x real
time), and the CPU seconds its processes used (the Dask row's include starting and
stopping the cluster): on a machine busy with other work the wall times say little about
scaling, while the CPU seconds still compare the work each way costs. The ratios at the
end set the rows against each other.

The corpus is generated once: --files 16 kHz mono 16-bit WAV files of --seconds each,
sentences spoken by espeak-ng with pauses and a little noise, kept in a folder under the
system's temporary directory and reused by later runs.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile

import murello

sys.path.insert(0, str(Path(__file__).resolve().parent))
from vad_peer import session, vad_pass  # noqa: E402

RATE = 16000
SENTENCES = [
    "Thank you for calling, how can I help you today?",
    "The meeting moved to Thursday afternoon at three.",
    "Please read the numbers back to me: four, nine, two, seven.",
    "We shipped the second batch of parcels this morning.",
    "Could you spell your family name for me, please?",
    "The weather in the mountains turned cold overnight.",
]
VOICES = ["en", "en+f3", "en+m3", "en-us"]


# ---- the corpus ----


def spoken_sentences(folder: Path) -> list[np.ndarray]:
    spoken = []
    for i, sentence in enumerate(SENTENCES):
        for voice in VOICES:
            path = folder / f"sentence-{i}-{voice}.wav"
            subprocess.run(["espeak-ng", "-v", voice, "-w", str(path), sentence], check=True)
            words, rate = soundfile.read(path, dtype="float32")
            path.unlink()
            # espeak-ng speaks at 22050 Hz: to 16 kHz by linear interpolation, plenty here.
            times = np.arange(int(len(words) * RATE / rate)) * rate / RATE
            spoken.append(np.interp(times, np.arange(len(words)), words).astype(np.float32))
    return spoken


def corpus(files: int, seconds: float) -> Path:
    folder = Path(tempfile.gettempdir()) / f"murello-bench-batch-{files}x{seconds:g}s"
    complete = folder / ".complete"
    if complete.exists():
        return folder
    folder.mkdir(exist_ok=True)
    print(f"generating {files} files of {seconds:g} s in {folder} (once)", flush=True)
    spoken = spoken_sentences(folder)
    rng = np.random.default_rng(7)
    length = int(seconds * RATE)
    for n in range(files):
        pieces, filled = [], 0
        while filled < length:
            pause = np.zeros(int(rng.uniform(0.2, 1.5) * RATE), np.float32)
            words = spoken[rng.integers(len(spoken))] * rng.uniform(0.3, 0.9)
            pieces += [pause, words]
            filled += len(pause) + len(words)
        signal = np.concatenate(pieces)[:length] + rng.normal(0, 0.003, length).astype(np.float32)
        soundfile.write(folder / f"take-{n:04d}.wav", signal, RATE, subtype="PCM_16")
    complete.touch()
    return folder


# ---- the peer: soundfile + onnxruntime in a plain loop ----

_session = None


def _peer_session() -> None:
    global _session
    _session = session(murello.silero_model_path())


def peer_file(path: str) -> tuple[str, float, float]:
    """(path, duration, speech seconds) the way a user's loop finds them: the file read
    whole, the model's probability per 32 ms window, speech at 0.5 and above, gaps of up
    to 300 ms closed."""
    audio, rate = soundfile.read(path, dtype="float32")
    probabilities = vad_pass(_session, audio)
    window = 512 / rate
    segments: list[list[float]] = []
    for i, probability in enumerate(probabilities):
        if probability < 0.5:
            continue
        start = i * window
        if segments and start - segments[-1][1] <= 0.3:
            segments[-1][1] = start + window
        else:
            segments.append([start, start + window])
    return path, len(audio) / rate, sum(end - start for start, end in segments)


def peer_loop(paths: list[str]) -> float:
    _peer_session()
    return sum(peer_file(path)[2] for path in paths)


def peer_pool(paths: list[str], processes: int) -> float:
    context = multiprocessing.get_context("spawn")
    with context.Pool(processes, initializer=_peer_session) as pool:
        pool.apply(time.sleep, (0,))  # the workers exist before the clock matters
        return sum(result[2] for result in pool.imap_unordered(peer_file, paths))


# ---- murello ----


def murello_command(folder: Path, jobs: int, out: Path) -> float:
    out.unlink(missing_ok=True)
    subprocess.run([sys.executable, "-m", "murello", "analyze", str(folder), "--jobs", str(jobs),
                    "--jsonl", str(out)], check=True, stderr=subprocess.DEVNULL)
    return sum(json.loads(line)["speech_seconds"] for line in out.read_text().splitlines())


def on_dask(paths: list[str]) -> tuple[float, float]:
    """(seconds, speech seconds) with the cluster started before the wall clock."""
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client, \
            client.get_executor() as executor:
        start = time.perf_counter()
        speech = sum(r["speech_seconds"] for r in murello.analyze_files(paths, executor=executor))
        return time.perf_counter() - start, speech


# ---- the run ----


def cpu_seconds() -> float:
    """This process's CPU time and that of its children waited for."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def timed(job) -> tuple[float, float]:
    start = time.perf_counter()
    speech = job()
    return time.perf_counter() - start, speech


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--only", help="run only the rows whose name holds this word")
    args = parser.parse_args()

    folder = corpus(args.files, args.seconds)
    paths = sorted(str(p) for p in folder.glob("*.wav"))
    audio = len(paths) * args.seconds
    out = Path(tempfile.mkdtemp(prefix="murello-bench-batch-")) / "out.jsonl"
    rows = {
        "murello analyze --jobs 1": lambda: timed(lambda: murello_command(folder, 1, out)),
        "murello analyze --jobs 2": lambda: timed(lambda: murello_command(folder, 2, out)),
        "peer loop, 1 process": lambda: timed(lambda: peer_loop(paths)),
        "peer loop, spawn pool of 2": lambda: timed(lambda: peer_pool(paths, 2)),
        "analyze_files on Dask, 2 workers": lambda: on_dask(paths),
    }
    print(f"{len(paths)} files, {audio / 3600:.2f} h of audio; {os.cpu_count()} cores")
    print(f"{'':<36} {'seconds':>8} {'files/s':>8} {'x real time':>12} {'CPU s':>8} "
          f"{'speech s':>9}")
    seconds = {}
    for name, job in rows.items():
        if args.only and args.only not in name:
            continue
        cpu = cpu_seconds()
        took, speech = job()
        cpu = cpu_seconds() - cpu
        seconds[name] = took
        print(f"{name:<36} {took:8.2f} {len(paths) / took:8.2f} {audio / took:12.1f} {cpu:8.1f} "
              f"{speech:9.1f}", flush=True)
    out.unlink(missing_ok=True)
    out.parent.rmdir()

    def ratio(text: str, faster: str, slower: str, goal: str) -> None:
        if faster in seconds and slower in seconds:
            print(f"{text:<52} {seconds[slower] / seconds[faster]:5.2f}x  (goal {goal})")

    ratio("--jobs 2 over --jobs 1", "murello analyze --jobs 2", "murello analyze --jobs 1",
          ">= 1.8")
    ratio("--jobs 2 over the peer's spawn pool of 2", "murello analyze --jobs 2",
          "peer loop, spawn pool of 2", ">= 1.3")
    ratio("--jobs 1 over the peer's loop", "murello analyze --jobs 1", "peer loop, 1 process", "")
    ratio("Dask, 2 workers, over --jobs 2", "analyze_files on Dask, 2 workers",
          "murello analyze --jobs 2", ">= 0.85")


if __name__ == "__main__":
    main()
