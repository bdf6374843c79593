"""murello.info against soundfile.info, in the same run: the header facts of long WAV,
AIFF and FLAC files, read without decoding the samples (the file is mapped, so only the
pages the header parse touches are read).

    .venv/bin/python bench/file_info.py [--minutes 30] [--calls 200]
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile

import murello


def per_call(calls: int, fn) -> float:
    """The best of three timings of `calls` calls, per call."""
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, time.perf_counter() - start)
    return best / calls


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=30.0)
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()

    frames = int(48000 * args.minutes * 60)
    noise = np.random.default_rng(5).normal(0, 0.1, (frames, 2)).astype(np.float32)
    with tempfile.TemporaryDirectory() as directory:
        for suffix, subtype in (("wav", "PCM_16"), ("aiff", "PCM_24"), ("flac", "PCM_16")):
            path = Path(directory) / f"bench.{suffix}"
            soundfile.write(path, noise, 48000, subtype=subtype)
            ours = murello.info(path)
            theirs = soundfile.info(path)
            assert (ours.frames, ours.channels) == (theirs.frames, theirs.channels)
            t_ours = per_call(args.calls, lambda: murello.info(path))
            t_theirs = per_call(args.calls, lambda: soundfile.info(path))
            size_mb = path.stat().st_size / 1e6
            print(f"{suffix:5s} {size_mb:7.1f} MB: murello.info {t_ours * 1e6:8.1f} us, "
                  f"soundfile.info {t_theirs * 1e6:8.1f} us, ratio {t_ours / t_theirs:5.2f}")


if __name__ == "__main__":
    main()
