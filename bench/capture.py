"""Live capture from Python: CPU per second of audio and the delay to read(), against
arecord piped into a numpy + soxr loop doing less work.

The device is the test sound card's 48 kHz stereo microphone (a 440 Hz sine), paced in
real time. murello delivers 16 kHz mono in 20 ms blocks with DC removal, high-pass, AGC,
limiter and the energy score; the peer reads the same 20 ms from arecord's raw float32
output, averages the channels, resamples with soxr and computes the RMS with numpy.

CPU is the process's user + system time (the audio thread included; for the peer,
arecord's too) over the capture loop only, divided by the seconds of audio captured.
The delay is measured from the arrival of the device period that completes a block
(periods arrive on the card's clock: every 320 frames after the stream started) to the
return of the read() that hands the block out; each block also waited for its own
20 ms of audio, which is not counted.

    MURELLO_BUILD_DIR=build/tests python bench/capture.py [--seconds 10] [--rounds 2]

MURELLO_BUILD_DIR names a build with MURELLO_TESTS=ON (the card is built with the tests).
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
import time
from pathlib import Path

RATE_IN = 48000
CHANNELS_IN = 2
RATE_OUT = 16000
BLOCK_OUT = 320  # 20 ms at 16 kHz
PERIOD_IN = BLOCK_OUT  # the device period is frames_per_buffer device frames
BLOCK_IN = BLOCK_OUT * RATE_IN // RATE_OUT


def cpu_seconds(who: int) -> float:
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def run_murello(seconds: float) -> dict:
    from murello import Device, MicrophoneBridge

    mic = MicrophoneBridge(RATE_OUT, 1, BLOCK_OUT, "float32", device=Device("alsa:benchmic"),
                           dc_removal=True, highpass=80, agc=-20, limiter=-1.0, vad=True,
                           vad_mode="energy")
    blocks = round(seconds * RATE_OUT / BLOCK_OUT)
    period_s = PERIOD_IN / RATE_IN
    delays = []
    cpu0 = cpu_seconds(resource.RUSAGE_SELF)
    mic.start()
    t0 = time.monotonic()
    for _ in range(blocks):
        mic.read()
        since = time.monotonic() - t0
        delays.append(since % period_s)
        mic.vad_probability
    mic.stop()
    cpu = cpu_seconds(resource.RUSAGE_SELF) - cpu0
    return {"cpu": cpu, "audio": blocks * BLOCK_OUT / RATE_OUT, "delays": delays,
            "overruns": mic.overrun_count}


def run_peer(seconds: float) -> dict:
    import numpy as np
    import soxr

    blocks = round(seconds * RATE_OUT / BLOCK_OUT)
    frames = blocks * BLOCK_IN
    cpu0 = cpu_seconds(resource.RUSAGE_SELF) + cpu_seconds(resource.RUSAGE_CHILDREN)
    arecord = subprocess.Popen(
        ["arecord", "-q", "-D", "benchmic", "-f", "FLOAT_LE", "-r", str(RATE_IN), "-c",
         str(CHANNELS_IN), "-t", "raw", "--period-size", str(PERIOD_IN), "-s", str(frames)],
        stdout=subprocess.PIPE,
    )
    stream = soxr.ResampleStream(RATE_IN, RATE_OUT, 1, dtype="float32")
    size = BLOCK_IN * CHANNELS_IN * 4
    for _ in range(blocks):
        raw = arecord.stdout.read(size)
        if len(raw) < size:
            break
        mono = np.frombuffer(raw, dtype="<f4").reshape(-1, CHANNELS_IN).mean(axis=1)
        out = stream.resample_chunk(mono)
        float(np.sqrt(np.mean(np.square(out, dtype=np.float64)))) if len(out) else 0.0
    arecord.wait()
    cpu = cpu_seconds(resource.RUSAGE_SELF) + cpu_seconds(resource.RUSAGE_CHILDREN) - cpu0
    return {"cpu": cpu, "audio": blocks * BLOCK_OUT / RATE_OUT}


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--run", choices=["murello", "peer"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        result = (run_murello if args.run == "murello" else run_peer)(args.seconds)
        print(json.dumps(result))
        return 0

    build = Path(os.environ.get("MURELLO_BUILD_DIR", "build/tests"))
    card = (build / "tests" / "alsa" / "card.conf").resolve()
    if not card.exists():
        sys.exit(f"{card} is missing: build with MURELLO_TESTS=ON and set MURELLO_BUILD_DIR")
    with tempfile.TemporaryDirectory() as tmp:
        conf = Path(tmp) / "bench.conf"
        conf.write_text(
            f"<{card}>\npcm.benchmic {{ type testcard kind mic rate {RATE_IN} channels "
            f"{CHANNELS_IN} signal sine frequency 440 amplitude 0.3 "
            'hint { show on description "Bench mic|IOIDInput" } }\n'
        )
        env = dict(os.environ, ALSA_CONFIG_PATH=str(conf))
        results = {"murello": [], "peer": []}
        for _ in range(args.rounds):  # A B A B
            for name in ("murello", "peer"):
                out = subprocess.run(
                    [sys.executable, __file__, "--run", name, "--seconds", str(args.seconds)],
                    env=env, capture_output=True, text=True, check=True,
                )
                results[name].append(json.loads(out.stdout))

    def per_audio_second(runs):
        return sum(r["cpu"] for r in runs) / sum(r["audio"] for r in runs)

    ours = per_audio_second(results["murello"])
    peer = per_audio_second(results["peer"])
    delays = [d * 1000 for r in results["murello"] for d in r["delays"]]
    overruns = sum(r["overruns"] for r in results["murello"])
    print(f"audio per run: {args.seconds:.0f} s, {args.rounds} rounds, A B A B")
    print(f"murello CPU: {ours * 100:.2f}% of one core per second of audio")
    print(f"peer CPU:    {peer * 100:.2f}% (arecord | numpy + soxr, no filters)")
    print(f"ratio murello / peer: {ours / peer:.2f}")
    print(f"delay after the completing period: p50 {percentile(delays, 50):.2f} ms, "
          f"p99 {percentile(delays, 99):.2f} ms (plus the block's own 20 ms); "
          f"overruns {overruns}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
