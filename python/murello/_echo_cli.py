"""``murello cancel-echo MIC FAR OUT``: offline echo cancellation of a recording.

MIC is what the microphone heard, FAR what was played meanwhile (both any readable file;
several channels are averaged to mono, and FAR is resampled to MIC's rate). OUT receives
the cleaned microphone signal, 16-bit, in the container its extension names.
"""

from __future__ import annotations

import argparse
import math
import statistics
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


# The far end counts as playing in a step whose level is above this (RMS, full scale 1).
FAR_ACTIVE_RMS = 10 ** (-50 / 20)
STEP_SECONDS = 0.1


def _rms(samples: bytes) -> float:
    """The level of float32 bytes; NumPy is optional at run time."""
    count = len(samples) // 4
    if not count:
        return 0.0
    try:
        import numpy
    except ImportError:
        values = memoryview(samples).cast("f")
        return (math.fsum(x * x for x in values) / count) ** 0.5
    values = numpy.frombuffer(samples, dtype="<f4").astype(numpy.float64)
    return float(numpy.sqrt(numpy.mean(values * values)))


def cmd_cancel_echo(args: argparse.Namespace) -> int:
    near, rate = _read_mono(args.mic, None)
    far, _ = _read_mono(args.far, rate)
    canceller = EchoCanceller(rate, tail_ms=args.tail_ms, suppression=args.suppression)
    # Stepped, so that the ERLE can be read while the far end plays: once it falls silent
    # the canceller's ERLE drops to 0 dB and says nothing about the echo removed.
    step = 4 * round(rate * STEP_SECONDS)
    parts = []
    active_erle = []
    for at in range(0, max(len(near), len(far)), step):
        parts.append(canceller.process(near[at:at + step], far[at:at + step]))
        if _rms(far[at:at + step]) > FAR_ACTIVE_RMS:
            active_erle.append(canceller.metrics().erle_db)
    parts.append(canceller.flush())
    cleaned = b"".join(parts)
    clipped, _ = FileBridge.buffer(cleaned, rate, sample_rate=rate, channels=1).save(args.out)
    metrics = canceller.metrics()
    delay = metrics.delay
    delay_text = "not found" if delay is None else f"{delay} samples ({1000 * delay / rate:.1f} ms)"
    erle_text = ("far end silent throughout" if not active_erle
                 else f"{statistics.median(active_erle):.1f} dB (median while the far end played)")
    print(f"wrote {args.out}: {len(cleaned) // 4 / rate:.2f} s at {rate} Hz")
    print(f"echo delay {delay_text}, ERLE {erle_text}, adaptation "
          f"{'held' if metrics.adaptation_held else 'running'}, "
          f"{metrics.search_restarts} search restarts")
    if metrics.padded:
        print(f"far end shorter than the microphone: {metrics.padded} samples of silence assumed",
              file=sys.stderr)
    if clipped:
        print(f"{clipped} samples clipped to full scale", file=sys.stderr)
    return 0


def add_cancel_echo_parser(command) -> None:
    """Adds the command through the command line's `command(name, summary, examples)`."""
    parser = command(
        "cancel-echo", "remove the echo of a played signal from a recording",
        "  murello cancel-echo mic.wav played.wav clean.wav\n"
        "  murello cancel-echo mic.flac played.flac clean.flac --tail-ms 300")
    parser.add_argument("mic", help="the recording (what the microphone heard)")
    parser.add_argument("far", help="what was played while recording")
    parser.add_argument("out", help="OUT.wav, OUT.flac or OUT.aiff")
    parser.add_argument("--tail-ms", type=int, default=200,
                        help="echo tail to model, 16 to 500 ms (default 200)")
    parser.add_argument("--suppression", choices=["conservative", "off"],
                        default="conservative",
                        help="residual echo suppression (default conservative)")
    parser.set_defaults(run=cmd_cancel_echo)
