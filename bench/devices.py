"""Device listing time with the machine's ALSA configuration (sound-server plugins
installed, servers not running), against `aplay -L`/`arecord -L`, which read the same
device hints without opening any device.

    .venv/bin/python bench/devices.py
"""

from __future__ import annotations

import subprocess
import time

from murello._murello import MicrophoneBridge, SpeakerBridge


def best_of(fn, runs=5):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    ours = best_of(lambda: (MicrophoneBridge.devices(), SpeakerBridge.devices()))
    peer = best_of(
        lambda: [
            subprocess.run([tool, "-L"], capture_output=True, check=False)
            for tool in ("arecord", "aplay")
        ]
    )
    count = len(MicrophoneBridge.devices()) + len(SpeakerBridge.devices())
    print(f"murello devices() both directions: {ours * 1e3:7.2f} ms ({count} devices, "
          "each opened for its configuration)")
    print(f"arecord -L + aplay -L (hints only): {peer * 1e3:7.2f} ms")
    print(f"ratio murello / peer: {ours / peer:.2f}")


if __name__ == "__main__":
    main()
