"""CPU cost of playback written from Python, against `aplay` playing the same audio to the
same PCM of the test sound card, in turns (murello, aplay, murello, aplay, ...).

    MURELLO_BUILD_DIR=build/tests .venv/bin/python bench/playback.py [--seconds S] [--rounds N]

48 kHz stereo float32, written by SpeakerBridge.write in 10 ms chunks (bytes) as fast as
the queue takes them; aplay gets the same samples from a raw file with the same period
(480 frames) and buffer (1920 frames). Both figures are CPU seconds per second of audio
of the whole process, the card's own work included (it runs inside the process that
opens it). A ratio below 1.0 means murello is cheaper. The latency from write() to the
device is timed by bench_playback_latency (bench/playback_latency.cpp).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
RATE = 48000
CHANNELS = 2
CHUNK_FRAMES = 480

# Runs in a fresh interpreter: prints the CPU seconds the playback itself took.
PLAYER = """
import sys, time
import murello._murello as m
path, seconds = sys.argv[1], float(sys.argv[2])
data = open(path, "rb").read()
chunk = {chunk_bytes}
s = m.SpeakerBridge({rate}, {channels}, "float32", device="Test speaker")
s.start()
cpu = time.process_time()
for at in range(0, len(data), chunk):
    s.write(data[at:at + chunk])
s.drain()
cpu = time.process_time() - cpu
s.stop()
print(cpu)
"""


def murello_cpu(path: Path, seconds: float, env: dict[str, str]) -> float:
    code = PLAYER.format(chunk_bytes=CHUNK_FRAMES * CHANNELS * 4, rate=RATE, channels=CHANNELS)
    out = subprocess.run([sys.executable, "-c", code, str(path), str(seconds)], env=env,
                         capture_output=True, text=True, check=True)
    return float(out.stdout.strip()) / seconds


def aplay_cpu(path: Path, seconds: float, env: dict[str, str]) -> float:
    argv = ["aplay", "-q", "-D", "speaker", "-f", "FLOAT_LE", "-r", str(RATE), "-c",
            str(CHANNELS), "-t", "raw", f"--period-size={CHUNK_FRAMES}",
            f"--buffer-size={4 * CHUNK_FRAMES}", str(path)]
    process = subprocess.Popen(argv, env=env)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RuntimeError(f"aplay failed with status {process.returncode}")
    return (usage.ru_utime + usage.ru_stime) / seconds


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    build = Path(os.environ.get("MURELLO_BUILD_DIR", ROOT / "build" / "tests"))
    card = build / "tests" / "alsa" / "card.conf"
    if not card.exists():
        sys.exit(f"the test sound card is not built: {card}")
    env = dict(os.environ, ALSA_CONFIG_PATH=str(card))

    frames = int(args.seconds * RATE)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "audio.raw"
        # A quiet ramp: any content costs the same; zeros would let nothing stand out.
        with open(path, "wb") as f:
            import array

            samples = array.array("f", ((i % 1000) / 4000.0 for i in range(frames * CHANNELS)))
            samples.tofile(f)
        ours, peer = [], []
        for _ in range(args.rounds):
            ours.append(murello_cpu(path, args.seconds, env))
            peer.append(aplay_cpu(path, args.seconds, env))
    a, b = statistics.median(ours), statistics.median(peer)
    print(f"{RATE} Hz stereo, 10 ms writes, {args.seconds:.0f} s x {args.rounds} rounds "
          f"in turns; CPU per second of audio (median)")
    print(f"  murello SpeakerBridge from Python: {a * 100:6.3f} % of a core")
    print(f"  aplay, same PCM and buffer:        {b * 100:6.3f} % of a core")
    print(f"  ratio murello / aplay:             {a / b:6.2f}")


if __name__ == "__main__":
    main()
