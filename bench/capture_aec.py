"""Live capture with echo cancellation: CPU per second of audio with aec="tau" (the
far end linked from the speaker, or pushed from Python) and without, on the test sound
card's speaker-to-microphone loop while a far end plays.

The loop's microphone hears its speaker 120 ms later at half level. In every run a
thread plays espeak-ng speech through SpeakerBridge into the loop, in real time. With
echo cancellation the far end reaches the canceller either through the link
(echo_reference=speaker: the speaker's audio thread hands over what it plays) or by the
thread pushing each chunk as the reference just before writing it.
The microphone delivers 16 kHz mono in 20 ms blocks with DC removal, high-pass, AGC,
limiter and the energy score, as in the capture benchmark, plus, in the aec runs, the
canceller with a 200 ms tail. A third run only plays, so the playing side's share
(SpeakerBridge, the pacing thread, the card) can be taken out of both.

CPU is the process's user + system time (all its threads) over the capture, divided by
the seconds of audio captured. Runs alternate A B C A B C in fresh processes; the table
shows the best round of each (the machine may be shared) and the median beside it, and
the linked run's cost as a ratio of the pushed one's.

    MURELLO_BUILD_DIR=build/tests python bench/capture_aec.py [--seconds 10] [--rounds 3]

MURELLO_BUILD_DIR names a build with MURELLO_TESTS=ON (the card is built with the tests).
Needs espeak-ng and sox for the far end.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent / "aec"))
import compare  # noqa: E402  (the echo-canceller benchmark's speech)

RATE = 16000
BLOCK = 320  # 20 ms at 16 kHz
RUNS = {"linked": "aec, linked", "aec": "aec, pushed", "plain": "capture, no aec",
        "play": "playing only"}


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def play(speaker, far: np.ndarray, mic=None) -> None:
    """Writes `far` in real time (at most 60 ms ahead), pushing each chunk to `mic`'s
    echo reference first when there is one."""
    start = time.monotonic()
    for i in range(0, len(far), BLOCK):
        chunk = far[i:i + BLOCK]
        if mic is not None:
            mic.push_aec_reference(chunk)
        speaker.write(chunk)
        ahead = (i + BLOCK) / RATE - (time.monotonic() - start)
        if ahead > 0.06:
            time.sleep(ahead - 0.06)


def run(kind: str, far: np.ndarray) -> dict:
    from murello import Device, MicrophoneBridge, SpeakerBridge

    device = Device("alsa:room")
    speaker = SpeakerBridge(RATE, 1, "float32", device=device)
    blocks = len(far) // BLOCK
    if kind == "play":
        cpu0 = cpu_seconds()
        speaker.start()
        play(speaker, far)
        speaker.stop()
        return {"cpu": cpu_seconds() - cpu0, "audio": blocks * BLOCK / RATE}

    aec = {"aec": "tau", "aec_tail_ms": 200} if kind in ("aec", "linked") else {}
    if kind == "linked":
        aec["echo_reference"] = speaker
    mic = MicrophoneBridge(RATE, 1, BLOCK, "float32", device=device, dc_removal=True,
                           highpass=80, agc=-20, limiter=-1.0, vad=True, vad_mode="energy",
                           **aec)
    cpu0 = cpu_seconds()
    mic.start()
    speaker.start()
    pusher = mic if kind == "aec" else None
    player = threading.Thread(target=play, args=(speaker, far, pusher))
    player.start()
    for _ in range(blocks):
        mic.read()
        mic.vad_probability
    player.join()
    metrics = mic.aec_metrics()
    speaker.stop()
    mic.stop()
    cpu = cpu_seconds() - cpu0
    result = {"cpu": cpu, "audio": blocks * BLOCK / RATE, "overruns": mic.overrun_count}
    if metrics is not None:
        result.update(delay=metrics[0], erle=metrics[1], padded=metrics[7])
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--run", choices=list(RUNS), help=argparse.SUPPRESS)
    parser.add_argument("--far", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        print(json.dumps(run(args.run, np.fromfile(args.far, np.float32))))
        return 0

    build = Path(os.environ.get("MURELLO_BUILD_DIR", "build/tests"))
    card = (build / "tests" / "alsa" / "card.conf").resolve()
    if not card.exists():
        sys.exit(f"{card} is missing: build with MURELLO_TESTS=ON and set MURELLO_BUILD_DIR")
    results = {name: [] for name in RUNS}
    with tempfile.TemporaryDirectory() as tmp:
        far = Path(tmp) / "far.f32"
        speech = compare.Speech(tmp)("en-us", compare.FAR_TEXT, args.seconds, RATE)
        speech.astype(np.float32).tofile(far)
        conf = Path(tmp) / "loop.conf"
        conf.write_text(
            f"<{card}>\npcm.room {{ type testcard kind loop loop room delay_ms 120 gain 0.5 "
            f"signal silence rate {RATE} channels 1 hint {{ show on description \"Room\" }} }}\n")
        env = dict(os.environ, ALSA_CONFIG_PATH=str(conf))
        for _ in range(args.rounds):
            for name in RUNS:
                out = subprocess.run([sys.executable, __file__, "--run", name, "--far", str(far)],
                                     env=env, capture_output=True, text=True, check=True)
                results[name].append(json.loads(out.stdout))

    def share(r):
        return r["cpu"] / r["audio"]

    best = {name: min(share(r) for r in runs) for name, runs in results.items()}
    median = {name: statistics.median(share(r) for r in runs) for name, runs in results.items()}
    print(f"16 kHz mono, 20 ms blocks, 200 ms tail; {args.seconds:.0f} s of audio per run, "
          f"{args.rounds} rounds alternating; % of one core per second of audio")
    print(f"{'run':<18}{'best %':>8}{'median %':>10}{'minus playing, best %':>23}")
    for name, label in RUNS.items():
        own = "" if name == "play" else f"{(best[name] - best['play']) * 100:>23.2f}"
        print(f"{label:<18}{best[name] * 100:>8.2f}{median[name] * 100:>10.2f}{own}")
    print(f"echo cancellation alone (best aec - best plain): pushed "
          f"{(best['aec'] - best['plain']) * 100:.2f}%, linked "
          f"{(best['linked'] - best['plain']) * 100:.2f}% of a core")
    print(f"ratio linked / pushed, whole process: best {best['linked'] / best['aec']:.2f}, "
          f"median {median['linked'] / median['aec']:.2f}")
    for name in ("linked", "aec"):
        last = results[name][-1]
        print(f"last {RUNS[name]} run: delay {last['delay']} samples, ERLE {last['erle']:.1f} dB, "
              f"padded {last['padded']}")
    overruns = sum(r["overruns"] for name in ("linked", "aec", "plain") for r in results[name])
    print(f"overruns in all runs: {overruns}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
