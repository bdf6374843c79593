#!/usr/bin/env python3
"""Compares this project's echo canceller with speexdsp and WebRTC AEC3 on the same
synthetic scenarios and writes a table (Markdown) and a plot of ERLE over time.

usage: compare.py DRIVERS_DIR RESULTS_DIR

Scenarios (16 kHz mono; speech by espeak-ng; rooms are a direct path plus
exponentially decaying noise; white noise 50 dB below the echo):
  main: far-end speech through room A with a 120 ms bulk delay, single talk for
        15 s, then 10 s of double talk, then at 25 s the echo path changes to
        room B, single talk until 40 s;
  far:  the same speech with a 600 ms bulk delay, single talk for 20 s.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

RATE = 16000
FAR_TEXT = ("The quick brown fox jumps over the lazy dog. Peter Piper picked a peck of pickled peppers. "
            "She sells sea shells by the sea shore, and the shells she sells are surely sea shells. "
            "How much wood would a woodchuck chuck if a woodchuck could chuck wood? "
            "A journey of a thousand miles begins with a single step, and every step counts.")
NEAR_TEXT = ("Good morning, this is the near end talker speaking over the echo. I would like to book a "
             "table for four people at seven tonight, near the window if possible. Thank you very much.")
DOUBLE_TALK = (15.0, 25.0)
PATH_CHANGE = 25.0
WINDOW = 0.25  # seconds per point of the ERLE curves


def speech(voice, text, seconds, work):
    wav = os.path.join(work, voice + ".wav")
    raw = os.path.join(work, voice + ".f32")
    subprocess.run(["espeak-ng", "-v", voice, "-w", wav, text], check=True)
    subprocess.run(["sox", wav, "-r", str(RATE), "-c", "1", "-e", "floating-point", "-b", "32", "-t", "raw", raw],
                   check=True)
    once = np.fromfile(raw, dtype=np.float32).astype(np.float64)
    once = 0.5 * once / np.max(np.abs(once))
    return np.resize(once, int(seconds * RATE))


def room(direct, decay_ms, seed):
    rng = np.random.default_rng(seed)
    n = int(decay_ms * RATE / 1000)
    h = 0.1 * direct * rng.standard_normal(n) * np.exp(-np.log(1000.0) * np.arange(n) / n)
    h[0] = direct
    return h


def echo_of(far, delay_ms, h):
    d = int(delay_ms * RATE / 1000)
    shifted = np.concatenate([np.zeros(d), far[:len(far) - d]])
    return np.convolve(shifted, h)[:len(far)]


def scenarios(work):
    far = speech("en-us", FAR_TEXT, 40.0, work)
    talker_once = speech("en+f3", NEAR_TEXT, DOUBLE_TALK[1] - DOUBLE_TALK[0], work)
    rng = np.random.default_rng(1)
    room_a, room_b = room(0.5, 200, 2), room(0.3, 300, 3)
    change = int(PATH_CHANGE * RATE)
    echo = echo_of(far, 120, room_a)
    echo[change:] = echo_of(far, 120, room_b)[change:]
    noise_level = np.sqrt(np.mean(echo ** 2)) * 10 ** (-50 / 20)
    talker = np.zeros_like(far)
    a, b = int(DOUBLE_TALK[0] * RATE), int(DOUBLE_TALK[1] * RATE)
    talker[a:b] = talker_once * np.sqrt(np.mean(echo[a:b] ** 2) / np.mean(talker_once ** 2))
    main = dict(far=far, echo=echo, talker=talker, delay=int(0.120 * RATE),
                near=echo + talker + noise_level * rng.standard_normal(len(far)))
    far20 = far[:20 * RATE]
    echo600 = echo_of(far20, 600, room_a)
    far_delay = dict(far=far20, echo=echo600, talker=np.zeros_like(far20), delay=int(0.600 * RATE),
                     near=echo600 + noise_level * rng.standard_normal(len(far20)))
    return {"main": main, "far": far_delay}


def run(driver, args, s, work, name):
    paths = [os.path.join(work, f"{name}.{part}.f32") for part in ("far", "near", "out")]
    s["far"].astype(np.float32).tofile(paths[0])
    s["near"].astype(np.float32).tofile(paths[1])
    result = subprocess.run([driver, *paths, *args], check=True, capture_output=True, text=True)
    cpu = float(result.stdout.split()[1])
    out = np.fromfile(paths[2], dtype=np.float32).astype(np.float64)
    return out[:len(s["near"])], cpu


def erle_curve(s, out, length=WINDOW):
    """ERLE over windows of `length` seconds every WINDOW seconds, where the echo is
    active; NaN elsewhere. Each point is stamped with its window's end."""
    hop, n = int(WINDOW * RATE), int(length * RATE)
    starts = np.arange(0, len(out) - n + 1, hop)
    near = np.array([np.mean(s["near"][a:a + n] ** 2) for a in starts])
    echo = np.array([np.mean(s["echo"][a:a + n] ** 2) for a in starts])
    o = np.array([np.mean(out[a:a + n] ** 2) for a in starts])
    erle = 10 * np.log10(near / np.maximum(o, 1e-20))
    erle[echo <= 0.01 * np.mean(echo)] = np.nan
    return (starts + n) / RATE, erle


def median_erle(s, out, begin, end):
    values = []
    for w in range(int(begin), int(end)):
        a, b = w * RATE, (w + 1) * RATE
        if np.mean(s["echo"][a:b] ** 2) > 0.01 * np.mean(s["echo"] ** 2):
            values.append(10 * np.log10(np.mean(s["near"][a:b] ** 2) / max(np.mean(out[a:b] ** 2), 1e-20)))
    return float(np.median(values))


def time_to_stay_above(t, erle, level, begin, end):
    """Seconds from `begin` until the ERLE stays at or above `level` up to `end`
    (counting windows that lie wholly after `begin`)."""
    inside = (t >= begin + 1.0) & (t <= end) & ~np.isnan(erle)
    below = np.where(inside & (erle < level))[0]
    if len(below) == 0:
        return 1.0  # from the first whole window on
    if below[-1] == np.where(inside)[0][-1]:
        return float("inf")
    return float(t[below[-1]] - begin)


def double_talk_snr(s, out):
    a, b = int(DOUBLE_TALK[0] * RATE), int(DOUBLE_TALK[1] * RATE)
    talker = s["talker"][a:b]
    # Remove the canceller's own fixed delay: the lag that best aligns output and talker.
    best, lag_best = -np.inf, 0
    for lag in range(0, 1024):
        c = np.dot(out[a + lag:b + lag], talker)
        if c > best:
            best, lag_best = c, lag
    residual = out[a + lag_best:b + lag_best] - talker
    return 10 * np.log10(np.sum(talker ** 2) / np.sum(residual ** 2))


def first_speech(s):
    n = int(WINDOW * RATE)
    power = np.array([np.mean(s["far"][i:i + n] ** 2) for i in range(0, len(s["far"]) - n, n)])
    return float(np.argmax(power > 0.01 * np.mean(power)) * WINDOW)


def fmt(x, unit=""):
    if x == float("inf"):
        return "never"
    if unit == " s" and x <= 1.0:
        return "≤ 1 s"
    return f"{x:.1f}{unit}" if abs(x) >= 0.1 or x == 0 else f"{x:.4f}{unit}"


def main():
    drivers, results = sys.argv[1], sys.argv[2]
    os.makedirs(results, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        sc = scenarios(work)
        peers = {
            "this engine (tau)": lambda s: [],
            "speexdsp (hand-aligned)": lambda s: [str(s["delay"] - 16)],
            "WebRTC AEC3": lambda s: [],
        }
        binaries = {"this engine (tau)": "bench_aec_tau", "speexdsp (hand-aligned)": "bench_aec_speex",
                    "WebRTC AEC3": "bench_aec_aec3"}
        rows, curves = [], {}
        main_s, far_s = sc["main"], sc["far"]
        onset = first_speech(main_s)
        seconds = len(main_s["near"]) / RATE
        for name, args in peers.items():
            driver = os.path.join(drivers, binaries[name])
            out, cpu = run(driver, args(main_s), main_s, work, "main")
            out_far, _ = run(driver, args(far_s), far_s, work, "far")
            curves[name] = erle_curve(main_s, out)
            # Whether the ERLE "stays above" a level is judged on 1 s windows, so one
            # quiet syllable does not reset the clock.
            t, erle = erle_curve(main_s, out, 1.0)
            rows.append([
                name,
                fmt(median_erle(main_s, out, 5, DOUBLE_TALK[0]), " dB"),
                fmt(time_to_stay_above(t, erle, 10, onset, DOUBLE_TALK[0]), " s"),
                fmt(time_to_stay_above(t, erle, 20, onset, DOUBLE_TALK[0]), " s"),
                fmt(double_talk_snr(main_s, out), " dB"),
                fmt(time_to_stay_above(t, erle, 20, PATH_CHANGE, seconds), " s"),
                fmt(median_erle(main_s, out, PATH_CHANGE + 5, seconds), " dB"),
                fmt(median_erle(far_s, out_far, 5, 20), " dB"),
                f"{cpu / seconds:.4f}",
            ])
    header = ["canceller", "single-talk ERLE after 5 s (median of 1 s)", "to stay ≥ 10 dB", "to stay ≥ 20 dB",
              "double-talk output SNR", "path change: to stay ≥ 20 dB", "ERLE 5 s after the change",
              "600 ms bulk delay: ERLE", "CPU s per s of audio"]
    table = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    table += ["| " + " | ".join(r) + " |" for r in rows]
    note = (f"\n16 kHz mono, 200 ms tail, far-end speech (espeak-ng) through a synthetic room, 120 ms bulk delay, "
            f"noise 50 dB below the echo; first far speech at {onset:.2f} s; times count from it, and from the path "
            f"change at {PATH_CHANGE:.0f} s; double talk {DOUBLE_TALK[0]:.0f}-{DOUBLE_TALK[1]:.0f} s.\n")
    text = "\n".join(table) + "\n" + note
    with open(os.path.join(results, "table.md"), "w") as f:
        f.write(text)
    print(text)

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(11, 4.5))
    for name, (t, erle) in curves.items():
        ax.plot(t, erle, label=name, linewidth=1.2)
    ax.axvspan(*DOUBLE_TALK, color="0.9", label="double talk")
    ax.axvline(PATH_CHANGE, color="0.4", linestyle="--", linewidth=1, label="echo path change")
    ax.set_xlabel("time (s)")
    ax.set_ylabel(f"ERLE over {WINDOW * 1000:.0f} ms (dB)")
    ax.set_ylim(-10, 60)
    ax.grid(alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    ax.set_title("Echo return loss enhancement, 16 kHz, 200 ms tail, 120 ms bulk delay")
    fig.tight_layout()
    fig.savefig(os.path.join(results, "erle.png"), dpi=110)


if __name__ == "__main__":
    main()
