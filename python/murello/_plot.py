"""``murello analyze --plot``: the waveform, the speech probability and the segments in
one picture. The waveform is drawn from its envelope (the lowest and highest sample of
each column of the picture), read from the file a block at a time, so that a recording
of any length draws in bounded memory."""

from __future__ import annotations

import math
import threading
from pathlib import Path
from typing import Callable

from murello._cli_text import UserError
from murello._stream import stream

# Envelope columns: more than the figure's width in pixels, far fewer than its samples.
COLUMNS = 4000
# Frames per column when the file does not declare its length.
UNKNOWN_LENGTH_COLUMN_FRAMES = 1024


class Envelope:
    """The envelope of a file's mono mix, and how far its reading has come (seconds of
    audio in ``done``); ``stop()`` ends the reading after the block in hand."""

    def __init__(self) -> None:
        self.done = 0.0
        self._stop = threading.Event()

    def stop(self) -> None:
        self._stop.set()

    def read(self, path: str, frames: int | None):
        import numpy as np

        with stream(path, channels=1) as blocks:
            rate = blocks.sample_rate
            per = (max(1, math.ceil(frames / COLUMNS)) if frames
                   else UNKNOWN_LENGTH_COLUMN_FRAMES)
            lows, highs = [], []
            carry = np.zeros(0, dtype=np.float32)
            read = 0
            for block in blocks:
                read += len(block)
                samples = np.concatenate((carry, block))
                whole = len(samples) // per * per
                columns = samples[:whole].reshape(-1, per)
                lows.append(columns.min(axis=1))
                highs.append(columns.max(axis=1))
                carry = samples[whole:]
                self.done = read / rate
                if self._stop.is_set():
                    break
            if len(carry):
                lows.append(carry.min(keepdims=True))
                highs.append(carry.max(keepdims=True))
        low = np.concatenate(lows) if lows else np.zeros(0, dtype=np.float32)
        high = np.concatenate(highs) if highs else np.zeros(0, dtype=np.float32)
        return np.arange(len(low)) * (per / rate), low, high, per


def plot_analysis(path: str, frames: int | None, windows, segments, threshold: float, out: str,
                  envelope: Envelope | None = None) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise UserError("--plot needs matplotlib: pip install 'murello[plot]'") from error

    times, low, high, per = (envelope or Envelope()).read(path, frames)
    fig, (wave, prob) = plt.subplots(2, 1, figsize=(12, 5), sharex=True)
    if per == 1:
        wave.plot(times, low, linewidth=0.4, color="#335")
    else:
        wave.fill_between(times, low, high, step="post", linewidth=0, color="#335")
    wave.set_ylabel("amplitude")
    wave.set_title(Path(path).name)
    for axis in (wave, prob):
        for start, end in segments:
            axis.axvspan(start, end, color="#f90", alpha=0.25, linewidth=0)
    starts = [w[0] for w in windows]
    prob.step(starts, [w[2] for w in windows], where="post", color="#063")
    prob.axhline(threshold, color="#a00", linestyle="--", linewidth=0.8)
    prob.set_ylim(-0.02, 1.02)
    prob.set_ylabel("speech probability")
    prob.set_xlabel("time (s)")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)
