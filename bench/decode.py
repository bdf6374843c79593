"""Decode throughput of murello's WAV reader against libsndfile (python soundfile).

Usage: python bench/decode.py BENCH_DECODE [--runs R]

Writes 60 s of stereo 48 kHz noise as 16-bit, 24-bit and float32 WAV files to a temporary
directory, runs BENCH_DECODE (the bench_decode program) on them, times soundfile reading
the same files to float32 (from the page cache), and prints MB/s of file bytes for both
and the ratio murello / soundfile (above 1.0 means murello is faster). Both sides report
the best of R runs; murello decodes from a buffer already in memory, soundfile reads the
file itself.
"""
import argparse
import os
import subprocess
import tempfile
import time

import numpy as np
import soundfile as sf

SUBTYPES = [("pcm16", "PCM_16"), ("pcm24", "PCM_24"), ("float32", "FLOAT")]
RATE = 48000
SECONDS = 60


def write_files(directory):
    rng = np.random.default_rng(1)
    noise = rng.uniform(-0.9, 0.9, (RATE * SECONDS, 2)).astype(np.float32)
    paths = []
    for name, subtype in SUBTYPES:
        path = os.path.join(directory, f"{name}.wav")
        sf.write(path, noise, RATE, subtype=subtype)
        paths.append(path)
    return paths


def soundfile_mbps(path, runs):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        sf.read(path, dtype="float32")
        best = min(best, time.perf_counter() - start)
    return os.path.getsize(path) / best / 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench_decode")
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        paths = write_files(directory)
        result = subprocess.run([args.bench_decode, "--runs", str(args.runs), *paths],
                                check=True, capture_output=True, text=True)
        ours = {line.split()[0]: float(line.split()[3]) for line in result.stdout.splitlines()}
        print(f"{'file':<10} {'murello MB/s':>13} {'soundfile MB/s':>15} {'ratio':>7}")
        for (name, _), path in zip(SUBTYPES, paths):
            theirs = soundfile_mbps(path, args.runs)
            print(f"{name:<10} {ours[path]:>13.1f} {theirs:>15.1f} {ours[path] / theirs:>7.2f}")


if __name__ == "__main__":
    main()
