"""Times the murello resampler against python-soxr (HQ and VHQ) on the same noise.

Runs bench_resampler (built with -DMURELLO_BENCH=ON) on a float32 noise file written
here, times soxr.resample on the same samples in the same run, and prints the ratios
murello time / soxr time (below 1.0 means murello is faster).

    .venv/bin/python bench/resampler.py [--binary build/bench/bench_resampler]
                                        [--seconds 10] [--runs 5]
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soxr

PAIRS = [(48000, 16000), (16000, 48000), (44100, 16000), (48000, 44100), (48000, 44101)]
QUALITIES = ["HQ", "VHQ"]


def time_soxr(x, in_hz, out_hz, quality, runs):
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        soxr.resample(x, in_hz, out_hz, quality=quality)
        best = min(best, time.perf_counter() - started)
    return best


def run_murello(binary, noise_path, seconds, runs):
    result = subprocess.run(
        [str(binary), "--input", str(noise_path), "--seconds", str(seconds), "--runs", str(runs)],
        check=True, capture_output=True, text=True)
    timings = {}
    header = []
    for line in result.stdout.splitlines():
        if line.startswith("#"):
            header.append(line)
            continue
        fields = line.split()
        if "->" not in fields[0]:
            continue
        in_hz, out_hz = (int(v) for v in fields[0].split("->"))
        timings[(in_hz, out_hz)] = (float(fields[2]), float(fields[3]))
    return header, timings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_binary = Path(__file__).resolve().parent.parent / "build" / "bench" / "bench_resampler"
    parser.add_argument("--binary", type=Path, default=default_binary)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    noise = np.random.default_rng(1).uniform(-1, 1, int(args.seconds * 48000)).astype(np.float32)
    with tempfile.TemporaryDirectory() as tmp:
        noise_path = Path(tmp) / "noise.f32"
        noise.tofile(noise_path)
        header, murello = run_murello(args.binary, noise_path, args.seconds, args.runs)

    for line in header:
        print(line)
    print(f"# {args.seconds:g} s of noise per pair, best of {args.runs} runs; soxr "
          f"{soxr.__version__} timed with soxr.resample (one call, construction included)")
    print(f"{'pair':<14} {'construct_ms':>12} {'murello_ms':>10} {'Msamples/s':>10}"
          + "".join(f" {q + '_ms':>8} {'ratio_' + q:>10}" for q in QUALITIES))
    for in_hz, out_hz in PAIRS:
        x = noise[:int(args.seconds * in_hz)]
        construct_s, process_s = murello[(in_hz, out_hz)]
        row = (f"{in_hz}->{out_hz:<7} {construct_s * 1e3:12.3f} {process_s * 1e3:10.3f}"
               f" {len(x) / process_s / 1e6:10.1f}")
        for quality in QUALITIES:
            peer_s = time_soxr(x, in_hz, out_hz, quality, args.runs)
            row += f" {peer_s * 1e3:8.3f} {process_s / peer_s:10.2f}"
        print(row)
    return 0


if __name__ == "__main__":
    sys.exit(main())
