"""Offline jobs through murello's public Python surface against their usual peers.

One run prints every row: resampling against soxr HQ, reading and converting files
against soundfile (+ soxr), saving FLAC against the flac command, and the one-call
murello.load against soundfile.read (+ soxr + channel mean). Each row runs murello and
its peer in turns, --runs times each, and keeps the best time of each (the machine may
be shared); the ratio is murello's time / the peer's, below 1.0 means murello is faster.

    python bench/offline.py [--runs 3] [--minutes 10] [--hours 2] [--only WORD]

The material is generated here: noise for the resampler, a noisy two-tone stereo
recording for the files (--minutes long for the FLAC rows, 60 s for the rest, --hours
long for the memory rows, which report peak resident memory in MB instead of seconds,
each job in a fresh process).
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile
import soxr

import murello
from murello import FileBridge


def recording(rate: int, seconds: float) -> np.ndarray:
    rng = np.random.default_rng(3)
    t = np.arange(int(rate * seconds)) / rate
    left = 0.3 * np.sin(2 * np.pi * 220 * t) * (1 + np.sin(2 * np.pi * 0.5 * t)) / 2
    right = 0.3 * np.sin(2 * np.pi * 330 * t + 1.0)
    return (np.stack([left, right], axis=1) + rng.normal(0, 0.02, (len(t), 2))).astype(np.float32)


def drain(bridge) -> None:
    while bridge.read() is not None:
        pass


def race(runs: int, ours, peer) -> tuple[float, float]:
    """Best times of `ours` and `peer`, run in turns."""
    best = [float("inf"), float("inf")]
    for _ in range(runs):
        for i, job in enumerate((ours, peer)):
            start = time.perf_counter()
            job()
            best[i] = min(best[i], time.perf_counter() - start)
    return best[0], best[1]


def row(name: str, peer_name: str, times: tuple[float, float], note: str = "") -> None:
    ours, peer = times
    print(f"{name:<58} {ours:8.3f} {peer_name:<26} {peer:8.3f} {ours / peer:6.2f}  {note}",
          flush=True)


PAIRS = [(48000, 16000), (16000, 48000), (44100, 16000), (48000, 44100), (48000, 44101)]


def resample_rows(runs: int, work: Path) -> None:
    noise = np.random.default_rng(1).uniform(-1, 1, 60 * 48000).astype(np.float32)
    for in_hz, out_hz in PAIRS:
        x = noise[: 60 * in_hz]
        data = x.tobytes()

        def ours():
            drain(FileBridge.buffer(data, in_hz, 1, sample_rate=out_hz, format="float32",
                                    numpy=True))

        row(f"resample 60 s mono {in_hz}->{out_hz}, FileBridge.buffer reads", "soxr HQ",
            race(runs, ours, lambda: soxr.resample(x, in_hz, out_hz, quality="HQ")))
    # One call each: the whole file read and resampled, by both.
    for in_hz, out_hz in PAIRS:
        path = work / f"noise_{in_hz}.wav"
        soundfile.write(path, noise[: 60 * in_hz], in_hz, subtype="FLOAT")

        def peer():
            data, _ = soundfile.read(path, dtype="float32")
            soxr.resample(data, in_hz, out_hz, quality="HQ")

        row(f"resample 60 s mono {in_hz}->{out_hz}, murello.load of a WAV",
            "soundfile.read+soxr HQ",
            race(runs, lambda: murello.load(path, sample_rate=out_hz), peer), "goal <= 1.5")


def file_rows(runs: int, work: Path, minutes: float) -> None:
    flac = work / "long.flac"
    soundfile.write(flac, recording(48000, minutes * 60), 48000, subtype="PCM_16")
    wav = work / "minute.wav"
    soundfile.write(wav, recording(48000, 60), 48000, subtype="PCM_16")
    long = f"{minutes:g} min"

    def peer_16k_mono():
        data, _ = soundfile.read(flac, dtype="float32")
        soxr.resample(data.mean(axis=1), 48000, 16000, quality="HQ")

    row(f"{long} 48k stereo FLAC -> 16k mono, FileBridge reads", "soundfile+mean+soxr HQ",
        race(runs, lambda: drain(FileBridge.open(flac, sample_rate=16000, channels=1,
                                                 format="float32", numpy=True)),
             peer_16k_mono))
    row("60 s 48k stereo WAV -> float32, FileBridge reads", "soundfile.read",
        race(runs, lambda: drain(FileBridge.open(wav, sample_rate=48000, channels=2,
                                                 format="float32", numpy=True)),
             lambda: soundfile.read(wav, dtype="float32")))
    row(f"{long} 48k stereo FLAC -> 16k mono, murello.load", "soundfile+mean+soxr HQ",
        race(runs, lambda: murello.load(flac, sample_rate=16000, channels=1), peer_16k_mono),
        "goal <= 0.8")
    row(f"{long} 48k stereo FLAC as it is, murello.load", "soundfile.read",
        race(runs, lambda: murello.load(flac), lambda: soundfile.read(flac, dtype="float32")),
        "goal <= 1.0")
    row("60 s 48k stereo WAV as it is, murello.load", "soundfile.read",
        race(runs, lambda: murello.load(wav), lambda: soundfile.read(wav, dtype="float32")),
        "goal <= 1.0")


def save_rows(runs: int, work: Path) -> None:
    if shutil.which("flac") is None:
        print("save rows skipped: the flac command is not installed")
        return
    samples = recording(48000, 60)
    wav = work / "save.wav"
    soundfile.write(wav, samples, 48000, subtype="PCM_16")
    # What the flac command encodes: the WAV's 16-bit values, as floats.
    stored = soundfile.read(wav, dtype="float32")[0].tobytes()
    ours_path, peer_path = work / "ours.flac", work / "peer.flac"
    for level in (0, 5, 8):
        def ours():
            FileBridge.buffer(stored, 48000, 2, sample_rate=48000, channels=2).save(
                ours_path, compression=level)

        def peer():
            subprocess.run(["flac", "-s", "-f", f"-{level}", str(wav), "-o", str(peer_path)],
                           check=True)

        times = race(runs, ours, peer)
        sizes = f"{ours_path.stat().st_size / 1e6:.2f} MB vs {peer_path.stat().st_size / 1e6:.2f} MB"
        row(f"save 60 s 48k stereo FLAC -{level}, FileBridge.buffer().save", f"flac -{level} on a WAV",
            times, sizes)


# Each job runs in a process of its own and ends by printing its peak resident memory in
# MB. The kernel's high-water mark of the process's own memory is read (VmHWM), not
# getrusage, whose peak carries over the parent's size from the fork.
PEAK = """
def peak_mb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) // 1024 for line in status if line.startswith("VmHWM"))
"""
STREAM_JOB = PEAK + """
import sys
import murello
for block in murello.stream(sys.argv[1], 65536, sample_rate=16000, channels=1):
    pass
print(peak_mb())
"""
PEER_STREAM_JOB = PEAK + """
import sys
import soundfile, soxr
resampler = soxr.ResampleStream(48000, 16000, 1, dtype="float32", quality="HQ")
for block in soundfile.blocks(sys.argv[1], 65536, dtype="float32"):
    resampler.resample_chunk(block.mean(axis=1))
resampler.resample_chunk(block[:0, 0], last=True)
print(peak_mb())
"""
ANALYZE_JOB = PEAK + """
import sys
from murello.cli import main
main(["analyze", sys.argv[1]])
print(peak_mb())
"""
CONVERT_JOB = PEAK + """
import sys
from murello.cli import main
main(["convert", sys.argv[1], sys.argv[2], "--rate", "16000", "--channels", "1"])
print(peak_mb())
"""
PEER_CONVERT_JOB = PEAK + """
import sys
import soundfile, soxr
resampler = soxr.ResampleStream(48000, 16000, 1, dtype="float32", quality="HQ")
with soundfile.SoundFile(sys.argv[2], "w", 16000, 1, format="FLAC", subtype="PCM_16") as out:
    for block in soundfile.blocks(sys.argv[1], 65536, dtype="float32"):
        out.write(resampler.resample_chunk(block.mean(axis=1)))
    out.write(resampler.resample_chunk(block[:0, 0], last=True))
print(peak_mb())
"""


def peak_mb(*command: str) -> tuple[float, float]:
    """The peak resident memory (MB) of a command and its wall time."""
    start = time.perf_counter()
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return float(out.split()[-1]), time.perf_counter() - start


def write_long_wav(path: Path, hours: float) -> None:
    """A 48 kHz stereo 16-bit recording written a minute at a time."""
    minute = recording(48000, 60)
    with soundfile.SoundFile(path, "w", 48000, 2, subtype="PCM_16") as out:
        for _ in range(round(hours * 60)):
            out.write(minute)


def memory_rows(work: Path, hours: float) -> None:
    wav = work / "long.wav"
    write_long_wav(wav, hours)
    python = sys.executable
    long = f"{hours:g} h"
    peer, peer_time = peak_mb(python, "-c", PEER_STREAM_JOB, str(wav))
    for name, command in (
        (f"peak RSS MB, {long} 48k stereo WAV, murello.stream to 16k mono",
         (python, "-c", STREAM_JOB, str(wav))),
        (f"peak RSS MB, {long} 48k stereo WAV, murello analyze",
         (python, "-c", ANALYZE_JOB, str(wav))),
    ):
        ours, ours_time = peak_mb(*command)
        row(name, "soundfile.blocks+soxr stream", (ours, peer),
            f"goal <= 150 MB and <= 2x; {ours_time:.0f} s vs {peer_time:.0f} s")
    # The conversion against the same reading and resampling writing FLAC through
    # soundfile; its time is the whole job, process start included.
    peer, peer_time = peak_mb(python, "-c", PEER_CONVERT_JOB, str(wav), str(work / "peer.flac"))
    ours, ours_time = peak_mb(python, "-c", CONVERT_JOB, str(wav), str(work / "ours.flac"))
    peer_name = "soundfile.blocks+soxr+FLAC"
    row(f"peak RSS MB, {long} 48k stereo WAV, murello convert to 16k mono FLAC", peer_name,
        (ours, peer), "goal <= 150 MB and <= 2x")
    row(f"time, {long} 48k stereo WAV, murello convert to 16k mono FLAC", peer_name,
        (ours_time, peer_time))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--hours", type=float, default=2.0,
                        help="length of the recording the memory rows stream")
    parser.add_argument("--only", choices=["resample", "files", "save", "memory"])
    args = parser.parse_args()
    print(f"# murello {murello.__version__}, soxr {soxr.__version__}, soundfile "
          f"{soundfile.__version__} (libsndfile {soundfile.__libsndfile_version__}); "
          f"best of {args.runs} runs each, in turns; times in seconds")
    print(f"{'job':<58} {'murello':>8} {'peer':<26} {'time':>8} {'ratio':>6}")
    with tempfile.TemporaryDirectory() as directory:
        work = Path(directory)
        if args.only in (None, "resample"):
            resample_rows(args.runs, work)
        if args.only in (None, "files"):
            file_rows(args.runs, work, args.minutes)
        if args.only in (None, "save"):
            save_rows(args.runs, work)
        if args.only in (None, "memory"):
            memory_rows(work, args.hours)
    return 0


if __name__ == "__main__":
    sys.exit(main())
