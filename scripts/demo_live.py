"""The live half of the demo: echo cancellation while capturing.

A thread plays the dialogue to a speaker as the far end the way a speech engine hands
over speech: one sentence at a time, written at once, with pauses of its own between
them, never paced to the device. The microphone's echo canceller is linked to the
speaker (echo_reference), whose audio thread hands over what it plays as it plays it.
The microphone hears that echo and a second talker;
it is captured twice at once: with echo cancellation and the energy detector, and raw
(no cancellation) for comparison. Prints the canceller's delay and ERLE and the speech
segments the energy detector finds, and draws both signals to OUT/live.png.

Without --device both directions are a speaker-to-microphone loop of the test sound card
(CARD is its generated ALSA configuration): the echo comes back 120 ms later at half
level, and NEAR, the second talker, speaks into the loop at --near-at seconds. With
--device the named speaker and microphone are used and the second talker is you.
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np

import murello
from murello import Device, MicrophoneBridge, SpeakerBridge
from murello.cli import speaker_default_config

RATE = 16000  # the capture's delivered rate
BLOCK = 320  # 20 ms
ECHO_DELAY_MS = 120
ECHO_GAIN = 0.5
SPEECH_RMS = 10 ** (-36 / 20)  # energy-detector level taken as speech
MERGE_GAP_S = 0.3
NEAR_GAIN = 0.4  # the second talker about as loud as the echo
TAIL_S = 0.8  # capture this long after the last far-end sample, for its echo


def loop_config(out: Path, card: Path, near: Path, near_at: float):
    """Writes the loop's ALSA configuration and its near-end signal (raw float32 at the
    loop's rate, silent until `near_at`); returns the PCM name and when the second
    talker is audible, in seconds."""
    voice, _ = murello.load(near, sample_rate=RATE, channels=1)
    signal = np.concatenate([np.zeros(int(near_at * RATE), np.float32), NEAR_GAIN * voice])
    signal_path = (out / "live_near.f32").resolve()
    signal.astype("<f4").tofile(signal_path)
    conf = out / "live_room.conf"
    conf.write_text(
        f"<{card.resolve()}>\n"
        f"pcm.demo_room {{ type testcard kind loop loop demo_room delay_ms {ECHO_DELAY_MS} "
        f"gain {ECHO_GAIN} signal file file \"{signal_path}\" rate {RATE} channels 1 "
        "hint { show on description \"Demo room\" } }\n")
    # ALSA reads its configuration once per process, at the first device opened.
    os.environ["ALSA_CONFIG_PATH"] = str(conf.resolve())
    audible = np.flatnonzero(np.abs(voice) > 0.01 * np.max(np.abs(voice)))
    return "alsa:demo_room", (near_at + audible[0] / RATE, near_at + audible[-1] / RATE)


def sentences(far: np.ndarray, rate: int) -> list[tuple[np.ndarray, float]]:
    """The dialogue cut at its pauses (a quarter second or more below -40 dBFS): each
    sentence's samples, and the seconds until the next sentence starts."""
    frame = rate // 100
    level = np.sqrt(np.mean(far[:len(far) // frame * frame].reshape(-1, frame) ** 2, axis=1))
    loud = np.flatnonzero(level > 0.01)
    if len(loud) == 0:
        return [(far, len(far) / rate)]
    cuts, start = [], loud[0]
    for before, after in zip(loud[:-1], loud[1:]):
        if after - before >= 25:
            cuts.append((start, before + 1))
            start = after
    cuts.append((start, loud[-1] + 1))
    return [(far[a * frame:b * frame], ((cuts[k + 1][0] if k + 1 < len(cuts) else b) - a) / 100)
            for k, (a, b) in enumerate(cuts)]


def speak(speaker, far: np.ndarray, rate: int, channels: int) -> None:
    """Writes each sentence at once, then waits about as long as the dialogue's own
    rhythm says, sometimes less (the next sentence queues behind) and sometimes more
    (the speaker plays silence)."""
    rhythm = (0.6, 1.3, 0.8, 1.2)
    for k, (sentence, until_next) in enumerate(sentences(far, rate)):
        speaker.write(np.repeat(sentence, channels).reshape(-1, channels) if channels > 1
                      else sentence)
        time.sleep(until_next * rhythm[k % len(rhythm)])
    speaker.drain()


def capture(mic, raw, frames: int, far_frames: int):
    """Reads both captures to `frames` frames each. Returns the cleaned and raw signals,
    the energy detector's score of each cleaned block, the canceller's ERLE after each
    block while the far end is heard, and its metrics as the far end ends."""
    clean_blocks, raw_blocks, scores, erles = [], [], [], []
    clean_n = raw_n = 0
    metrics = None
    while clean_n < frames or (raw is not None and raw_n < frames):
        if raw is None or (clean_n <= raw_n and clean_n < frames):
            block = mic.read(2000)
            clean_blocks.append(block)
            scores.append(mic.vad_probability)
            clean_n += len(block)
            if clean_n <= far_frames:
                metrics = mic.aec_metrics()
                erles.append(metrics[1])
        else:
            block = raw.read(2000)
            raw_blocks.append(block)
            raw_n += len(block)
    raw_signal = np.concatenate(raw_blocks)[:frames] if raw is not None else None
    return np.concatenate(clean_blocks)[:frames], raw_signal, np.array(scores), erles, metrics


def segments(scores: np.ndarray) -> list[tuple[float, float]]:
    """Runs of blocks at speech level, gaps under MERGE_GAP_S merged, in seconds."""
    found: list[list[float]] = []
    for k, score in enumerate(scores):
        if score < SPEECH_RMS:
            continue
        start, end = k * BLOCK / RATE, (k + 1) * BLOCK / RATE
        if found and start - found[-1][1] < MERGE_GAP_S:
            found[-1][1] = end
        else:
            found.append([start, end])
    return [(a, b) for a, b in found]


def db(x: np.ndarray) -> float:
    return 10 * np.log10(np.mean(np.asarray(x, np.float64) ** 2) + 1e-20)


def plot(path: Path, raw, clean, found, near_span, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [("microphone, raw", raw)] if raw is not None else []
    rows.append(("after echo cancellation", clean))
    fig, axes = plt.subplots(len(rows), 1, figsize=(11, 2.6 * len(rows)), sharex=True,
                             sharey=True, squeeze=False)
    for ax, (label, signal) in zip(axes[:, 0], rows):
        ax.plot(np.arange(len(signal)) / RATE, signal, lw=0.4, color="tab:blue")
        if near_span is not None:
            ax.axvspan(*near_span, color="tab:green", alpha=0.12, label="second talker")
        ax.set_ylabel(label)
        ax.set_ylim(-1, 1)
    for start, end in found:
        axes[-1, 0].axvspan(start, end, ymin=0.93, ymax=1.0, color="tab:red", alpha=0.7)
    axes[-1, 0].set_xlabel("seconds (red bars: speech found by the energy detector)")
    if near_span is not None:
        axes[0, 0].legend(loc="lower right")
    axes[0, 0].set_title(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dialogue", type=Path, help="the far end to play")
    parser.add_argument("--near", type=Path, help="the second talker (test sound card only)")
    parser.add_argument("--near-at", type=float, default=8.8,
                        help="when the second talker starts, in seconds (default 8.8)")
    parser.add_argument("--card", type=Path, help="the test sound card's card.conf")
    parser.add_argument("--device", help="a real speaker and microphone (name or index)")
    parser.add_argument("--out", type=Path, default=Path("build/demo"))
    args = parser.parse_args()
    if args.device is None and (args.card is None or args.near is None):
        parser.error("give --card and --near for the test sound card, or --device")

    if args.device is None:
        device, near_span = loop_config(args.out, args.card, args.near, args.near_at)
        speaker_rate, speaker_channels = RATE, 1
    else:
        device = int(args.device) if args.device.isdigit() else args.device
        near_span = None
        speaker_rate, speaker_channels = speaker_default_config(device) or (48000, 2)
    if isinstance(device, str) and device.startswith("alsa:"):
        device = Device(device)

    far, _ = murello.load(args.dialogue, sample_rate=speaker_rate, channels=1)
    seconds = len(far) / speaker_rate
    print(f"playing {args.dialogue} ({seconds:.1f} s) as the far end while capturing "
          f"with echo cancellation, {ECHO_DELAY_MS} ms loop echo at gain {ECHO_GAIN}"
          if args.device is None else f"on device {args.device}; speak while it plays")

    speaker = SpeakerBridge(speaker_rate, speaker_channels, "float32", device=device)
    mic = MicrophoneBridge(RATE, 1, BLOCK, "float32", device=device, numpy=True,
                           vad=True, vad_mode="energy", aec="tau", echo_reference=speaker)
    raw = MicrophoneBridge(RATE, 1, BLOCK, "float32", device=device, numpy=True)
    mic.start()
    try:
        raw.start()
    except murello.exceptions.MurelloError as error:  # e.g. a hardware device opened once only
        print(f"no raw capture beside the cancelled one: {error}", file=sys.stderr)
        raw = None
    speaker.start()
    player = threading.Thread(target=speak, args=(speaker, far, speaker_rate, speaker_channels))
    player.start()
    try:
        # The rhythm averages the dialogue's own; its longest waits make it a little longer.
        clean, raw_signal, scores, erles, metrics = capture(
            mic, raw, int((1.1 * seconds + TAIL_S) * RATE), int(1.1 * seconds * RATE))
    finally:
        player.join()
        speaker.stop()
        mic.stop()
        if raw is not None:
            raw.stop()

    delay, erle, _, _, _, restarts, discarded, padded, _ = metrics
    delay_text = "not found" if delay is None else f"{delay} samples ({1000 * delay / RATE:.0f} ms)"
    erle_text = f"ERLE median {np.median(erles):.1f} dB, last {erle:.1f} dB"
    # Linked, the reference is what the speaker plays when it plays it: the delay is the
    # room's echo plus the device buffers' latency.
    print(f"echo delay {delay_text}; {erle_text} while the far end played; "
          f"{restarts} search restarts; reference: {discarded} samples discarded, "
          f"{padded} padded")
    found = segments(scores)
    print("speech found by the energy detector in the cleaned capture:")
    for start, end in found:
        print(f"  {start:6.2f} s - {end:6.2f} s")
    if near_span is not None:
        print(f"  (the second talker spoke from {near_span[0]:.2f} s to {near_span[1]:.2f} s)")
    if raw_signal is not None and near_span is not None and near_span[0] > 4:
        # Before the second talker the room holds the far end alone: after the canceller's
        # first three seconds, what is left of its echo.
        single = slice(RATE * 3, int(RATE * near_span[0]))
        print(f"level from 3 s to {near_span[0]:.1f} s (far end only): raw "
              f"{db(raw_signal[single]):.1f} dBFS, cleaned {db(clean[single]):.1f} dBFS")

    murello.save(args.out / "live_clean.wav", clean, RATE)
    if raw_signal is not None:
        murello.save(args.out / "live_raw.wav", raw_signal, RATE)
    title = f"echo delay {delay_text}, {erle_text}"
    plot(args.out / "live.png", raw_signal, clean, found, near_span, title)
    print(f"wrote {args.out / 'live.png'}, {args.out / 'live_clean.wav'}"
          + (f" and {args.out / 'live_raw.wav'}" if raw_signal is not None else ""))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as error:
        if type(error).__module__ != "murello.exceptions":
            raise
        sys.exit(f"demo_live: {error}")
