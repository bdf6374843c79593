"""Times the murello conditioning chain against sox on the same signal.

Writes a speech-like 48000 Hz stereo float32 signal, runs bench_chain (built with
-DMURELLO_BENCH=ON) on it, then times sox with a comparable effect chain on the same
samples in the same run and prints real-time factors and ratios (above 1.0 means murello
is faster). sox runs as a process on a whole file, so its figure includes start-up and
file I/O; the chain is fed 10 ms blocks.

    .venv/bin/python bench/chain.py [--binary build/bench/bench_chain]
                                    [--seconds 60] [--runs 5]
"""

import argparse
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

# DC blocker, 100 Hz Butterworth high-pass, a level compander and a limiter.
SOX_CONDITIONING = ["highpass", "-1", "10", "highpass", "100",
                    "compand", "0.01,0.4", "-70,-60,-20", "-5", "gain", "-l", "-1"]


def signal(seconds, rate=48000):
    rng = np.random.default_rng(1)
    t = np.arange(int(seconds * rate)) / rate
    envelope = 0.5 + 0.5 * np.sin(2 * np.pi * 4.0 * t)
    hum = 0.02 * np.sin(2 * np.pi * 50.0 * t)
    stereo = envelope[:, None] * rng.normal(0.0, 0.1, (t.size, 2)) + hum[:, None] + 0.01
    return stereo.astype(np.float32)


def time_sox(args, runs):
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        subprocess.run(["sox", *args], check=True)
        best = min(best, time.perf_counter() - started)
    return best


def run_murello(binary, path, seconds, runs):
    out = subprocess.run([str(binary), "--input", str(path), "--seconds", str(seconds),
                          "--runs", str(runs)], check=True, capture_output=True, text=True)
    print(out.stdout, end="")
    rtf = {}
    for line in out.stdout.splitlines():
        fields = line.split()
        if fields and fields[0] in ("48k-stereo->16k-mono+cond", "16k-mono+cond"):
            rtf[fields[0]] = float(fields[2].rstrip("x"))
    return rtf


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default="build/bench/bench_chain")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()

    stereo = signal(options.seconds)
    with tempfile.TemporaryDirectory() as tmp:
        stereo_path = Path(tmp) / "stereo48k.f32"
        mono_path = Path(tmp) / "mono16k.f32"
        out_path = Path(tmp) / "out.f32"
        stereo.tofile(stereo_path)
        np.ascontiguousarray(stereo[::3, 0]).tofile(mono_path)
        rtf = run_murello(options.binary, stereo_path, options.seconds, options.runs)
        sox_resampling = time_sox(
            ["-t", "f32", "-r", "48000", "-c", "2", str(stereo_path), "-t", "f32",
             str(out_path), "remix", "1-2", "rate", "16000", *SOX_CONDITIONING], options.runs)
        sox_plain = time_sox(
            ["-t", "f32", "-r", "16000", "-c", "1", str(mono_path), "-t", "f32",
             str(out_path), *SOX_CONDITIONING], options.runs)

    audio = stereo.shape[0] / 48000
    for name, sox_seconds in (("48k-stereo->16k-mono+cond", sox_resampling),
                              ("16k-mono+cond", sox_plain)):
        sox_rtf = audio / sox_seconds
        print(f"peer: sox {name:28s} {sox_rtf:10.0f}x   murello / sox {rtf[name] / sox_rtf:6.2f}")


if __name__ == "__main__":
    main()
