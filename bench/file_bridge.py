"""FileBridge from Python against soundfile (+ soxr), in the same run.

1. A 10-minute 48 kHz stereo 16-bit FLAC read as 16 kHz mono float32 chunks through
   FileBridge, against soundfile.read + a stereo-to-mono average + soxr HQ resampling.
2. Plain decode of the same file at its own rate and channel count (FileBridge with no
   conditioning stage) against soundfile.read.

    .venv/bin/python bench/file_bridge.py [--minutes 10] [--runs 3]
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile
import soxr

from murello._murello import FileBridge


def music_like(rate: int, seconds: float) -> np.ndarray:
    rng = np.random.default_rng(3)
    t = np.arange(int(rate * seconds)) / rate
    left = 0.3 * np.sin(2 * np.pi * 220 * t) * (1 + np.sin(2 * np.pi * 0.5 * t)) / 2
    right = 0.3 * np.sin(2 * np.pi * 330 * t + 1.0)
    noise = rng.normal(0, 0.02, (len(t), 2))
    return (np.stack([left, right], axis=1) + noise).astype(np.float32)


def best_of(runs: int, fn) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def drain(bridge) -> int:
    total = 0
    while (chunk := bridge.read()) is not None:
        total += len(chunk)
    return total


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "bench.flac"
        soundfile.write(path, music_like(48000, args.minutes * 60), 48000, subtype="PCM_16")
        size_mb = path.stat().st_size / 1e6
        print(f"input: {args.minutes:g} min, 48 kHz stereo 16-bit FLAC, {size_mb:.1f} MB")

        ours = best_of(args.runs, lambda: drain(FileBridge.open(
            path, sample_rate=16000, channels=1, format="float32", numpy=True)))

        def peer_pipeline():
            data, _ = soundfile.read(path, dtype="float32")
            soxr.resample(data.mean(axis=1), 48000, 16000, quality="HQ")

        peer = best_of(args.runs, peer_pipeline)
        print(f"16 kHz mono chunks:  FileBridge {ours:6.2f} s   soundfile+soxr HQ {peer:6.2f} s   "
              f"ratio {ours / peer:.2f}")

        ours = best_of(args.runs, lambda: drain(FileBridge.open(
            path, sample_rate=48000, channels=2, format="float32", numpy=True)))
        peer = best_of(args.runs, lambda: soundfile.read(path, dtype="float32"))
        print(f"plain decode:        FileBridge {ours:6.2f} s   soundfile          {peer:6.2f} s   "
              f"ratio {ours / peer:.2f}")
        print("(ratio = FileBridge time / peer time; below 1.0 means FileBridge is faster)")


if __name__ == "__main__":
    main()
