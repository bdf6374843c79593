"""Times the murello resampler against python-soxr HQ on the same noise, in turns.

For each rate pair, every round runs bench_resampler (built with -DMURELLO_BENCH=ON) on a
float32 noise file written here and then times soxr.resample on the same samples, so
both see the same machine load. Prints the best times and, per pair, the median over
rounds of murello time / soxr time (below 1.0 means murello is faster): once for the
conversion alone and once with murello's filter design added, since soxr.resample builds
its filter inside the call.

    .venv/bin/python bench/resampler.py [--binary build/bench/bench_resampler]
                                        [--seconds 60] [--rounds 7]
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soxr

PAIRS = [(48000, 16000), (16000, 48000), (44100, 16000), (48000, 44100), (48000, 44101)]
RUNS_PER_ROUND = 3


def time_soxr(x, in_hz, out_hz):
    best = float("inf")
    for _ in range(RUNS_PER_ROUND):
        started = time.perf_counter()
        soxr.resample(x, in_hz, out_hz, quality="HQ")
        best = min(best, time.perf_counter() - started)
    return best


def time_murello(binary, noise_path, seconds, in_hz, out_hz):
    """(design seconds, conversion seconds), each the best of RUNS_PER_ROUND."""
    result = subprocess.run(
        [str(binary), "--input", str(noise_path), "--seconds", str(seconds),
         "--runs", str(RUNS_PER_ROUND), "--pair", f"{in_hz}:{out_hz}"],
        check=True, capture_output=True, text=True)
    for line in result.stdout.splitlines():
        fields = line.split()
        if fields and "->" in fields[0]:
            return float(fields[2]), float(fields[3])
    raise RuntimeError(f"no timing line in: {result.stdout!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_binary = Path(__file__).resolve().parent.parent / "build" / "bench" / "bench_resampler"
    parser.add_argument("--binary", type=Path, default=default_binary)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    noise = np.random.default_rng(1).uniform(-1, 1, int(args.seconds * 48000)).astype(np.float32)
    print(f"# {args.seconds:g} s of mono noise per pair, {args.rounds} rounds of best-of-"
          f"{RUNS_PER_ROUND}, murello and soxr {soxr.__version__} HQ in turns")
    print(f"{'pair':<14} {'design_ms':>9} {'murello_ms':>10} {'soxr_HQ_ms':>10} "
          f"{'ratio':>6} {'ratio_with_design':>17}")
    with tempfile.TemporaryDirectory() as tmp:
        noise_path = Path(tmp) / "noise.f32"
        noise.tofile(noise_path)
        for in_hz, out_hz in PAIRS:
            x = noise[:int(args.seconds * in_hz)]
            design, ours, peer, ratios, ratios_with_design = [], [], [], [], []
            for _ in range(args.rounds):
                d, m = time_murello(args.binary, noise_path, args.seconds, in_hz, out_hz)
                p = time_soxr(x, in_hz, out_hz)
                design.append(d), ours.append(m), peer.append(p)
                ratios.append(m / p)
                ratios_with_design.append((d + m) / p)
            print(f"{in_hz}->{out_hz:<7} {min(design) * 1e3:9.3f} {min(ours) * 1e3:10.2f} "
                  f"{min(peer) * 1e3:10.2f} {statistics.median(ratios):6.2f} "
                  f"{statistics.median(ratios_with_design):17.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
