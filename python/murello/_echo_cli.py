"""``murello cancel-echo MIC FAR OUT``: offline echo cancellation of a recording.

MIC is what the microphone heard, FAR what was played meanwhile (both any readable file;
several channels are averaged to mono, and FAR is resampled to MIC's rate). OUT receives
the cleaned microphone signal, 16-bit, in the container its extension names.
"""

from __future__ import annotations

import argparse
import sys

from murello._murello import EchoCanceller, FileBridge


def _read_mono(path: str, rate: int | None) -> tuple[bytes, int]:
    """The whole file as mono float32 bytes, at `rate` (its own when None)."""
    if rate is None:
        rate = FileBridge.open(path).input_rate
    source = FileBridge.open(path, sample_rate=rate, channels=1, format="float32")
    chunks = []
    while (chunk := source.read()) is not None:
        chunks.append(chunk)
    return b"".join(chunks), rate


def cmd_cancel_echo(args: argparse.Namespace) -> int:
    near, rate = _read_mono(args.mic, None)
    far, _ = _read_mono(args.far, rate)
    canceller = EchoCanceller(rate, tail_ms=args.tail_ms, suppression=args.suppression)
    cleaned = canceller.process(near, far) + canceller.flush()
    clipped, _ = FileBridge.buffer(cleaned, rate, sample_rate=rate, channels=1).save(args.out)
    delay, erle, held, _, _, restarts, _, padded, _ = canceller.metrics()
    delay_text = "not found" if delay is None else f"{delay} samples ({1000 * delay / rate:.1f} ms)"
    print(f"wrote {args.out}: {len(cleaned) // 4 / rate:.2f} s at {rate} Hz")
    print(f"echo delay {delay_text}, ERLE {erle:.1f} dB, adaptation "
          f"{'held' if held else 'running'}, {restarts} search restarts")
    if padded:
        print(f"far end shorter than the microphone: {padded} samples of silence assumed",
              file=sys.stderr)
    if clipped:
        print(f"{clipped} samples clipped to full scale", file=sys.stderr)
    return 0


def add_cancel_echo_parser(commands) -> None:
    parser = commands.add_parser(
        "cancel-echo", help="remove the echo of a played signal from a recording")
    parser.add_argument("mic", help="the recording (what the microphone heard)")
    parser.add_argument("far", help="what was played while recording")
    parser.add_argument("out", help="OUT.wav, OUT.flac or OUT.aiff")
    parser.add_argument("--tail-ms", type=int, default=200,
                        help="echo tail to model, 16 to 500 ms (default 200)")
    parser.add_argument("--suppression", choices=["conservative", "off"],
                        default="conservative", help="residual echo suppression")
    parser.set_defaults(run=cmd_cancel_echo)
