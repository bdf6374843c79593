"""Offline echo cancellation of one minute of audio from Python: murello.EchoCanceller
against speexdsp (its echo canceller plus its preprocessor's residual echo suppression)
called through ctypes, on the same signals.

The far end is espeak-ng speech through a synthetic room (a direct path plus a 200 ms
decaying tail) with a 120 ms bulk delay and noise 50 dB below the echo; a second voice
talks over it from 15 s to 25 s. Both cancellers run at 16 kHz with a 200 ms tail.
speexdsp has no delay estimation, so its far end is shifted by hand to 16 samples short
of the true delay; murello finds the delay itself.

Each canceller gets the whole minute from Python in memory (murello in one process()
call and a flush(); speexdsp frame by frame over int16 arrays converted up front, one
ctypes call per 10 ms frame and stage). CPU is the process's time for that work only;
rounds alternate A B A B and the table shows the best of them, since the machine may be
shared. ERLE is the median over 1 s windows where the echo is present, taken over each
stretch of single talk (5-15 s after convergence, 27-60 s after the double talk) and
averaged; the double-talk figure is the near talker's SNR in the output.

    python bench/echo_offline.py [--rounds 5]

Needs espeak-ng, sox and libspeexdsp.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent / "aec"))
import compare  # noqa: E402  (the echo-canceller benchmark's signals and measures)

RATE = compare.RATE
SECONDS = 60.0
TAIL = int(0.200 * RATE)
FRAME = 160  # speexdsp's frame: 10 ms
SPEEX_ECHO_SET_SAMPLING_RATE = 24
SPEEX_PREPROCESS_SET_DENOISE = 0
SPEEX_PREPROCESS_SET_AGC = 2
SPEEX_PREPROCESS_SET_ECHO_STATE = 24


def scenario(work: str) -> dict:
    far = compare.speech("en-us", compare.FAR_TEXT, SECONDS, work)
    a, b = (int(t * RATE) for t in compare.DOUBLE_TALK)
    talker_once = compare.speech("en+f3", compare.NEAR_TEXT, (b - a) / RATE, work)
    delay = int(0.120 * RATE)
    echo = compare.echo_of(far, 120, compare.room(0.5, 200, 2))
    talker = np.zeros_like(far)
    talker[a:b] = talker_once * np.sqrt(np.mean(echo[a:b] ** 2) / np.mean(talker_once ** 2))
    noise = np.sqrt(np.mean(echo ** 2)) * 10 ** (-50 / 20)
    near = echo + talker + noise * np.random.default_rng(1).standard_normal(len(far))
    return dict(far=far, echo=echo, talker=talker, near=near, delay=delay)


class SpeexCanceller:
    """speexdsp's echo canceller and residual echo suppressor for one stream."""

    def __init__(self, lib: ctypes.CDLL, rate: int, frame: int, tail: int):
        self._lib = lib
        self._echo = lib.speex_echo_state_init(frame, tail)
        self._pre = lib.speex_preprocess_state_init(frame, rate)
        value = ctypes.c_int(rate)
        lib.speex_echo_ctl(self._echo, SPEEX_ECHO_SET_SAMPLING_RATE, ctypes.byref(value))
        lib.speex_preprocess_ctl(self._pre, SPEEX_PREPROCESS_SET_ECHO_STATE, self._echo)
        value = ctypes.c_int(0)  # residual echo suppression only: no denoising, no AGC
        lib.speex_preprocess_ctl(self._pre, SPEEX_PREPROCESS_SET_DENOISE, ctypes.byref(value))
        lib.speex_preprocess_ctl(self._pre, SPEEX_PREPROCESS_SET_AGC, ctypes.byref(value))

    def close(self) -> None:
        if self._pre:
            self._lib.speex_preprocess_state_destroy(self._pre)
            self._lib.speex_echo_state_destroy(self._echo)
            self._pre = self._echo = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def process(self, near: np.ndarray, far: np.ndarray) -> np.ndarray:
        """Cancels `far` (already aligned) from `near`, both float; whole frames only."""
        n = len(near) // FRAME * FRAME
        mic, ref = (np.clip(np.rint(x[:n] * 32768.0), -32768, 32767).astype(np.int16)
                    for x in (near, far))
        out = np.empty(n, np.int16)
        step = FRAME * 2
        mic_p, ref_p, out_p = (x.ctypes.data for x in (mic, ref, out))
        cancel, suppress = self._lib.speex_echo_cancellation, self._lib.speex_preprocess_run
        for offset in range(0, n * 2, step):
            cancel(self._echo, mic_p + offset, ref_p + offset, out_p + offset)
            suppress(self._pre, out_p + offset)
        return out.astype(np.float32) / 32768.0


def load_speexdsp() -> ctypes.CDLL:
    name = ctypes.util.find_library("speexdsp")
    if name is None:
        sys.exit("libspeexdsp is missing (Debian: libspeexdsp-dev)")
    lib = ctypes.CDLL(name)
    p, i = ctypes.c_void_p, ctypes.c_int
    for fn, args, res in [
        ("speex_echo_state_init", [i, i], p),
        ("speex_preprocess_state_init", [i, i], p),
        ("speex_echo_ctl", [p, i, p], i),
        ("speex_preprocess_ctl", [p, i, p], i),
        ("speex_echo_cancellation", [p, p, p, p], None),
        ("speex_preprocess_run", [p, p], i),
        ("speex_echo_state_destroy", [p], None),
        ("speex_preprocess_state_destroy", [p], None),
    ]:
        getattr(lib, fn).argtypes, getattr(lib, fn).restype = args, res
    return lib


def run_murello(s: dict) -> tuple[np.ndarray, float, tuple]:
    from murello import EchoCanceller

    near, far = s["near"].astype(np.float32), s["far"].astype(np.float32)
    canceller = EchoCanceller(RATE, tail_ms=200, suppression="conservative", format="float32")
    start = time.process_time()
    out = canceller.process(near, far)
    out = np.concatenate([out, canceller.flush()])
    cpu = time.process_time() - start
    return out.astype(np.float64), cpu, canceller.metrics()


def run_speex(lib: ctypes.CDLL, s: dict) -> tuple[np.ndarray, float]:
    shift = s["delay"] - 16
    far = np.concatenate([np.zeros(shift), s["far"][:len(s["far"]) - shift]])
    with SpeexCanceller(lib, RATE, FRAME, TAIL) as canceller:
        start = time.process_time()
        out = canceller.process(s["near"], far)
        cpu = time.process_time() - start
    return np.pad(out.astype(np.float64), (0, len(s["near"]) - len(out))), cpu


def quality(s: dict, out: np.ndarray) -> tuple[float, float]:
    a, b = compare.DOUBLE_TALK
    single = [compare.median_erle(s, out, 5, a), compare.median_erle(s, out, b + 2, SECONDS)]
    return float(np.mean(single)), compare.double_talk_snr(s, out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    lib = load_speexdsp()
    with tempfile.TemporaryDirectory() as work:
        s = scenario(work)
    cpu = {"murello": [], "speexdsp": []}
    for _ in range(args.rounds):  # A B A B
        ours, seconds, metrics = run_murello(s)
        cpu["murello"].append(seconds)
        peer, seconds = run_speex(lib, s)
        cpu["speexdsp"].append(seconds)
    best = {name: min(values) for name, values in cpu.items()}
    rows = [("murello.EchoCanceller", best["murello"], *quality(s, ours)),
            ("speexdsp (hand-aligned)", best["speexdsp"], *quality(s, peer))]
    print(f"{SECONDS:.0f} s at {RATE} Hz, 200 ms tail, 120 ms bulk delay, double talk "
          f"{compare.DOUBLE_TALK[0]:.0f}-{compare.DOUBLE_TALK[1]:.0f} s; best of {args.rounds} "
          "rounds, A B A B")
    print(f"{'canceller':<26}{'CPU s':>8}{'x real time':>13}{'ERLE dB':>9}{'DT SNR dB':>11}")
    for name, seconds, erle, snr in rows:
        print(f"{name:<26}{seconds:>8.3f}{SECONDS / seconds:>13.0f}{erle:>9.1f}{snr:>11.1f}")
    delay = metrics[0]
    print(f"time ratio murello / speexdsp: {best['murello'] / best['speexdsp']:.2f}; murello "
          f"found the delay at {delay} samples (true {s['delay']})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
