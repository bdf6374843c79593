#!/usr/bin/env python3
"""Compares this project's echo canceller with speexdsp and WebRTC AEC3 on the same
synthetic scenarios and writes a table (Markdown) and a plot of ERLE over time.

usage: compare.py DRIVERS_DIR RESULTS_DIR [--rates 16000,48000] [--only NAME,...] [--peers tau,speex,aec3]

Speech is by espeak-ng (its band ends near 11 kHz); rooms are a direct path plus
exponentially decaying noise; white noise 50 dB below the echo. At every rate:
  main:   far-end speech through room A with a 120 ms bulk delay, single talk for
          15 s, then 10 s of double talk, then at 25 s the echo path changes to
          room B, single talk until 40 s;
  far:    the same speech with a 600 ms bulk delay, single talk for 20 s;
  delay:  bulk delays 0 ... 1000 ms (and 1200 ms, beyond the ceiling) in 150 and
          300 ms rooms, 12 s each: when the reported delay settles within 2 ms;
  band:   the far end low-passed to 4 and 8 kHz, 120 ms delay, 150 ms room;
  talk:   double talk with the talker 6 dB below, level with and 6 dB above the echo;
  change: a new room, and the same room with its sign flipped, at 10 s;
  drift:  the capture clock 100 ppm fast and slow against the playback clock, 60 s.
ERLE figures are medians over 1 s windows with the far end active, from 5 s on.
"""
import argparse
import os
import subprocess
import tempfile

import numpy as np
import soxr

FAR_TEXT = ("The quick brown fox jumps over the lazy dog. Peter Piper picked a peck of pickled peppers. "
            "She sells sea shells by the sea shore, and the shells she sells are surely sea shells. "
            "How much wood would a woodchuck chuck if a woodchuck could chuck wood? "
            "A journey of a thousand miles begins with a single step, and every step counts.")
NEAR_TEXT = ("Good morning, this is the near end talker speaking over the echo. I would like to book a "
             "table for four people at seven tonight, near the window if possible. Thank you very much.")
DOUBLE_TALK = (15.0, 25.0)
PATH_CHANGE = 25.0
WINDOW = 0.25  # seconds per point of the ERLE curves
CEILING_MS = 1000
PEERS = {"tau": ("this engine (tau)", "bench_aec_tau"),
         "speex": ("speexdsp (hand-aligned)", "bench_aec_speex"),
         "aec3": ("WebRTC AEC3", "bench_aec_aec3")}


class Speech:
    def __init__(self, work):
        self.work, self.cache = work, {}

    def __call__(self, voice, text, seconds, rate):
        key = (voice, rate)
        if key not in self.cache:
            wav = os.path.join(self.work, voice + ".wav")
            raw = os.path.join(self.work, f"{voice}.{rate}.f32")
            if not os.path.exists(wav):
                subprocess.run(["espeak-ng", "-v", voice, "-w", wav, text], check=True)
            subprocess.run(["sox", wav, "-r", str(rate), "-c", "1", "-e", "floating-point", "-b", "32", "-t", "raw",
                            raw], check=True)
            once = np.fromfile(raw, dtype=np.float32).astype(np.float64)
            self.cache[key] = 0.5 * once / np.max(np.abs(once))
        return np.resize(self.cache[key], int(seconds * rate))


def room(direct, decay_ms, seed, rate):
    rng = np.random.default_rng(seed)
    n = int(decay_ms * rate / 1000)
    h = 0.1 * direct * rng.standard_normal(n) * np.exp(-np.log(1000.0) * np.arange(n) / n)
    h[0] = direct
    return h


def convolve(x, h):
    n = 1 << int(np.ceil(np.log2(len(x) + len(h))))
    return np.fft.irfft(np.fft.rfft(x, n) * np.fft.rfft(h, n), n)[:len(x)]


def echo_of(far, delay_ms, h, rate):
    d = int(delay_ms * rate / 1000)
    shifted = np.concatenate([np.zeros(d), far[:len(far) - d]])
    return convolve(shifted, h)


def low_pass(x, cutoff, rate):
    spectrum = np.fft.rfft(x)
    spectrum[np.fft.rfftfreq(len(x), 1.0 / rate) > cutoff] = 0
    return np.fft.irfft(spectrum, len(x))


def scenario(far, echo, rate, delay_ms, talker=None, seed=1, **extra):
    rng = np.random.default_rng(seed)
    talker = np.zeros_like(far) if talker is None else talker
    noise = np.sqrt(np.mean(echo ** 2)) * 10 ** (-50 / 20) * rng.standard_normal(len(far))
    return dict(far=far, echo=echo, talker=talker, rate=rate, delay=int(delay_ms * rate / 1000),
                near=echo + talker + noise, **extra)


def scenarios(work, rate, only):
    speech = Speech(work)
    far = speech("en-us", FAR_TEXT, 60.0, rate)
    talker_once = speech("en+f3", NEAR_TEXT, DOUBLE_TALK[1] - DOUBLE_TALK[0], rate)
    room_a, room_b = room(0.5, 200, 2, rate), room(0.3, 300, 3, rate)
    out = {}
    want = lambda name: not only or any(name.startswith(o) for o in only)
    if want("main") or want("far"):
        # Built exactly as the first version of this comparison did, so its 16 kHz
        # figures stay comparable.
        far40 = far[:40 * rate]
        rng = np.random.default_rng(1)
        change = int(PATH_CHANGE * rate)
        echo = echo_of(far40, 120, room_a, rate)
        echo[change:] = echo_of(far40, 120, room_b, rate)[change:]
        noise_level = np.sqrt(np.mean(echo ** 2)) * 10 ** (-50 / 20)
        talker = np.zeros_like(far40)
        a, b = int(DOUBLE_TALK[0] * rate), int(DOUBLE_TALK[1] * rate)
        talker[a:b] = talker_once * np.sqrt(np.mean(echo[a:b] ** 2) / np.mean(talker_once ** 2))
        out["main"] = dict(far=far40, echo=echo, talker=talker, rate=rate, delay=int(0.120 * rate),
                           near=echo + talker + noise_level * rng.standard_normal(len(far40)))
        far20 = far[:20 * rate]
        echo600 = echo_of(far20, 600, room_a, rate)
        out["far"] = dict(far=far20, echo=echo600, talker=np.zeros_like(far20), rate=rate, delay=int(0.600 * rate),
                          near=echo600 + noise_level * rng.standard_normal(len(far20)))
    far12 = far[:12 * rate]
    for room_ms in (150, 300):
        h = room(0.5, room_ms, 10 + room_ms, rate)
        for delay_ms in (0, 50, 120, 250, 400, 700, 1000, 1200):
            name = f"delay {delay_ms} ms, {room_ms} ms room"
            if want(name):
                out[name] = scenario(far12, echo_of(far12, delay_ms, h, rate), rate, delay_ms, seed=delay_ms)
    h150 = room(0.5, 150, 20, rate)
    for cutoff in (4000, 8000):
        name = f"band {cutoff // 1000} kHz far end"
        if want(name):
            limited = low_pass(far[:20 * rate], cutoff, rate)
            out[name] = scenario(limited, echo_of(limited, 120, h150, rate), rate, 120, seed=cutoff)
    far25 = far[:25 * rate]
    h200 = room(0.5, 200, 30, rate)
    for level in (-6, 0, 6):
        name = f"talk {level:+d} dB"
        if want(name):
            echo = echo_of(far25, 120, h200, rate)
            a, b = 10 * rate, 20 * rate
            talker = np.zeros_like(far25)
            talker[a:b] = talker_once * np.sqrt(np.mean(echo[a:b] ** 2) / np.mean(talker_once ** 2)) * 10 ** (level / 20)
            out[name] = scenario(far25, echo, rate, 120, talker=talker, seed=40 + level, talk=(10.0, 20.0))
    for name, other in (("change room", room(0.3, 300, 31, rate)), ("change sign", -h200)):
        if want(name):
            echo = echo_of(far25, 120, h200, rate)
            echo[10 * rate:] = echo_of(far25, 120, other, rate)[10 * rate:]
            out[name] = scenario(far25, echo, rate, 120, seed=50, change=10.0)
    for ppm in (100, -100):
        name = f"drift {ppm:+d} ppm"
        if want(name):
            # The microphone's clock runs `ppm` fast: it hears the far end stretched.
            played = soxr.resample(far, rate, rate * (1 + ppm * 1e-6), quality="VHQ")
            played = np.pad(played, (0, max(0, len(far) - len(played))))[:len(far)]
            out[name] = scenario(far, echo_of(played, 120, h200, rate), rate, 120, seed=60)
    return out


def run(driver, args, s, work, name, delays=False):
    paths = [os.path.join(work, f"{name}.{part}") for part in ("far.f32", "near.f32", "out.f32", "delays.i64")]
    s["far"].astype(np.float32).tofile(paths[0])
    s["near"].astype(np.float32).tofile(paths[1])
    command = [driver, *paths[:3], *args] + ([paths[3]] if delays else [])
    result = subprocess.run(command, check=True, capture_output=True, text=True)
    cpu = float(result.stdout.split()[1])
    out = np.fromfile(paths[2], dtype=np.float32).astype(np.float64)
    reported = np.fromfile(paths[3], dtype=np.int64) if delays else None
    return out[:len(s["near"])], cpu, reported


def erle_curve(s, out, length=WINDOW):
    """ERLE over windows of `length` seconds every WINDOW seconds, where the echo is
    active; NaN elsewhere. Each point is stamped with its window's end."""
    rate = s["rate"]
    hop, n = int(WINDOW * rate), int(length * rate)
    starts = np.arange(0, len(out) - n + 1, hop)
    near = np.array([np.mean(s["near"][a:a + n] ** 2) for a in starts])
    echo = np.array([np.mean(s["echo"][a:a + n] ** 2) for a in starts])
    o = np.array([np.mean(out[a:a + n] ** 2) for a in starts])
    erle = 10 * np.log10(near / np.maximum(o, 1e-20))
    erle[echo <= 0.01 * np.mean(echo)] = np.nan
    return (starts + n) / rate, erle


def window_erles(s, out, begin, end):
    rate, values = s["rate"], []
    for w in range(int(begin), int(end)):
        a, b = w * rate, (w + 1) * rate
        if b <= len(out) and np.mean(s["echo"][a:b] ** 2) > 0.01 * np.mean(s["echo"] ** 2):
            values.append(10 * np.log10(np.mean(s["near"][a:b] ** 2) / max(np.mean(out[a:b] ** 2), 1e-20)))
    return values


def median_erle(s, out, begin, end):
    return float(np.median(window_erles(s, out, begin, end)))


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


def talker_snr(s, out, begin, end):
    rate = s["rate"]
    a, b = int(begin * rate), int(end * rate)
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
    n = int(WINDOW * s["rate"])
    power = np.array([np.mean(s["far"][i:i + n] ** 2) for i in range(0, len(s["far"]) - n, n)])
    return float(np.argmax(power > 0.01 * np.mean(power)) * WINDOW)


def delay_settled(s, delays):
    """Seconds until the reported delay stays within 2 ms of the truth; for an echo
    beyond the ceiling, whether no delay is ever reported."""
    rate = s["rate"]
    if s["delay"] > CEILING_MS * rate // 1000:
        return "none reported" if np.all(delays < 0) else f"reported {np.max(delays) / rate * 1000:.0f} ms"
    near = np.abs(delays + 16 - s["delay"]) <= 2 * rate // 1000
    bad = np.where(~near)[0]
    if len(bad) == 0:
        return fmt(0.0, " s")
    if bad[-1] == len(delays) - 1:
        last = delays[-1]
        return "never" + (f" (at {last * 1000 / rate:.0f} ms)" if last >= 0 else "")
    return fmt((bad[-1] + 1) * 0.01, " s")


def fmt(x, unit=""):
    if x == float("inf"):
        return "never"
    if unit == " s" and x <= 1.0 and x != 0.0:
        return "≤ 1 s"
    return f"{x:.1f}{unit}" if abs(x) >= 0.1 or x == 0 else f"{x:.4f}{unit}"


def measure(name, s, out):
    """The figures one scenario is judged by, as (label, text) pairs."""
    rate, seconds = s["rate"], len(s["near"]) / s["rate"]
    t, erle = erle_curve(s, out, 1.0)
    onset = first_speech(s)
    if name == "main":
        return [("ERLE", fmt(median_erle(s, out, 5, DOUBLE_TALK[0]), " dB")),
                ("to stay ≥ 10 dB", fmt(time_to_stay_above(t, erle, 10, onset, DOUBLE_TALK[0]), " s")),
                ("to stay ≥ 20 dB", fmt(time_to_stay_above(t, erle, 20, onset, DOUBLE_TALK[0]), " s")),
                ("talker SNR", fmt(talker_snr(s, out, *DOUBLE_TALK), " dB")),
                ("change: to stay ≥ 20 dB", fmt(time_to_stay_above(t, erle, 20, PATH_CHANGE, seconds), " s")),
                ("ERLE after change", fmt(median_erle(s, out, PATH_CHANGE + 5, seconds), " dB"))]
    if name.startswith("talk"):
        a, b = s["talk"]
        return [("talker SNR", fmt(talker_snr(s, out, a, b), " dB")),
                ("ERLE before", fmt(median_erle(s, out, 5, a), " dB")),
                ("to stay ≥ 35 dB after", fmt(time_to_stay_above(t, erle, 35, b, seconds), " s")),
                ("ERLE after", fmt(median_erle(s, out, b + 2, seconds), " dB"))]
    if name.startswith("change"):
        c = s["change"]
        return [("to stay ≥ 20 dB", fmt(time_to_stay_above(t, erle, 20, c, seconds), " s")),
                ("ERLE from 5 s after", fmt(median_erle(s, out, c + 5, seconds), " dB"))]
    if name.startswith("drift"):
        values = window_erles(s, out, 5, seconds)
        return [("lowest 1 s ERLE after 5 s", fmt(min(values), " dB")),
                ("ERLE last 10 s", fmt(median_erle(s, out, seconds - 10, seconds), " dB"))]
    return [("ERLE", fmt(median_erle(s, out, 5, seconds), " dB")),
            ("to stay ≥ 20 dB", fmt(time_to_stay_above(t, erle, 20, onset, seconds), " s"))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("drivers")
    parser.add_argument("results")
    parser.add_argument("--rates", default="16000,48000")
    parser.add_argument("--only", default="")
    parser.add_argument("--peers", default="tau,speex,aec3")
    args = parser.parse_args()
    rates = [int(r) for r in args.rates.split(",")]
    only = [o for o in args.only.split(",") if o]
    peers = args.peers.split(",")
    os.makedirs(args.results, exist_ok=True)
    lines, curves = [], {}
    with tempfile.TemporaryDirectory() as work:
        for rate in rates:
            lines += [f"\n### {rate // 1000} kHz\n", "| scenario | figure | " + " | ".join(PEERS[p][0] for p in peers)
                      + " |", "|---|---|" + "---|" * len(peers)]
            cpu = {}
            for name, s in scenarios(work, rate, only).items():
                results = {}
                for peer in peers:
                    driver = os.path.join(args.drivers, PEERS[peer][1])
                    if peer == "tau":
                        out, seconds_cpu, delays = run(driver, [str(rate), "1"], s, work, "x", delays=True)
                    else:
                        extra = [str(rate)] + ([str(s["delay"] - 16)] if peer == "speex" else [])
                        out, seconds_cpu, delays = run(driver, extra, s, work, "x")
                    figures = measure(name, s, out)
                    if peer == "tau" and name.startswith(("delay", "band", "far", "main")):
                        figures.append(("delay within 2 ms after", delay_settled(s, delays)))
                    results[peer] = figures
                    if name == "main":
                        cpu[peer] = seconds_cpu / (len(s["near"]) / rate)
                        if rate == rates[0]:
                            curves[PEERS[peer][0]] = erle_curve(s, out)
                        if peer == "tau":
                            _, two, _ = run(driver, [str(rate), "2"], s, work, "x")
                            cpu["tau2"] = two / (len(s["near"]) / rate)
                labels = [label for label, _ in results[peers[0]]]
                for i, label in enumerate(labels):
                    cells = [dict(results[p]).get(label, "—") for p in peers]
                    lines.append(f"| {name} | {label} | " + " | ".join(cells) + " |")
            if cpu:
                lines.append("| CPU s per s of audio | one channel | "
                             + " | ".join(f"{cpu[p]:.4f}" for p in peers) + " |")
                if "tau2" in cpu:
                    lines.append("| CPU s per s of audio | two channels | " + f"{cpu['tau2']:.4f}"
                                 + " | —" * (len(peers) - 1) + " |")
    note = ("\nMono, 200 ms tail, far-end speech (espeak-ng, band ending near 11 kHz) through synthetic rooms, noise "
            "50 dB below the echo. ERLE: median of 1 s windows with the far end active, from 5 s on (main: 5-15 s; "
            "after the change: from 30 s). Times count from the first far speech, the end of the double talk or the "
            "change. main: 120 ms delay, double talk 15-25 s, new room at 25 s. talk: double talk 10-20 s. "
            "The delay column is the engine's own report (speexdsp is aligned by hand, AEC3 reports none here).\n")
    text = "\n".join(lines) + "\n" + note
    if not only:
        with open(os.path.join(args.results, "table.md"), "w") as f:
            f.write(text)
    print(text)
    if not curves or only:
        return
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
    ax.set_title(f"Echo return loss enhancement, {rates[0] // 1000} kHz, 200 ms tail, 120 ms bulk delay")
    fig.tight_layout()
    fig.savefig(os.path.join(args.results, "erle.png"), dpi=110)


if __name__ == "__main__":
    main()
