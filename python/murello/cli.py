"""The murello command line: ``python -m murello COMMAND`` or ``murello COMMAND``.

Commands: ``version``, ``devices``, ``info FILE...``, ``analyze PATH...``, ``convert IN... OUT``,
``record OUT``, ``play FILE``, ``cancel-echo MIC FAR OUT``.
User errors print the message and exit with status 2.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import struct
import sys
import threading
import time
from pathlib import Path

from murello._analyze import analyze
from murello._batch_cli import add_batch_options, cmd_analyze_many, cmd_convert_many, dispatch
from murello._cli_text import (
    HelpFormatter,
    UserError,
    at_least,
    describe,
    device_argument,
    error_text,
    file_info,
    in_range,
    plural,
    probability,
)
from murello._device_io import play_out, speaker_config, spread_channels
from murello._echo_cli import add_cancel_echo_parser
from murello._io import save_converted
from murello._plot import Envelope, plot_analysis
from murello._record import record
from murello._murello import FileBridge, FileInfo, MicrophoneBridge, SpeakerBridge, _Progress
from murello._paths import silero_model_path
from murello._progress import Progress, clear, run, status

USER_ERROR = 2
RECORDING_FAILED = 1
INTERRUPTED = 130


# ---- commands ----


def cmd_version(_: argparse.Namespace) -> int:
    info = MicrophoneBridge.version()
    print(f"murello {info.murello} (binding {info.binding}, audio backend {info.audio_backend})")
    return 0


def device_record(device, channels: str) -> dict:
    return {"index": device.index, "id": device.id, "name": device.name,
            "channels": getattr(device, channels),
            "default_sample_rate": device.default_sample_rate or None,
            "is_default": device.is_default}


def cmd_devices(args: argparse.Namespace) -> int:
    if args.json:
        print(json.dumps({
            "capture": [device_record(d, "max_input_channels")
                        for d in MicrophoneBridge.devices()],
            "playback": [device_record(d, "max_output_channels")
                         for d in SpeakerBridge.devices()],
        }, indent=2))
        return 0
    cmd_version(args)
    for title, devices, channels in (
        ("Capture devices", MicrophoneBridge.devices(), "max_input_channels"),
        ("Playback devices", SpeakerBridge.devices(), "max_output_channels"),
    ):
        print(f"\n{title}:")
        if not devices:
            print("  (none)")
        for device in devices:
            mark = "*" if device.is_default else " "
            rate = device.default_sample_rate
            detail = f"{getattr(device, channels)} ch, {rate} Hz" if rate else "unavailable"
            print(f" {mark}{device.index:3d}  {device.id:32s} {detail:18s} {device.name}")
    print("\n* the system's default device (used when no device is named)")
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    # Every file is described, even after one fails; the status says whether any did.
    records = []
    failed = False
    for number, path in enumerate(args.files):
        try:
            facts = file_info(path)
        except UserError as error:
            print(f"murello: {error}", file=sys.stderr)
            failed = True
            continue
        if args.json:
            records.append({"file": path, "container": facts.container,
                            "sample_rate": facts.sample_rate, "channels": facts.channels,
                            "frames": facts.frames, "duration": facts.duration,
                            "sample_format": facts.sample_format})
            continue
        length = (f"{facts.duration:.3f} s ({plural(facts.frames, 'frame')})"
                  if facts.frames is not None else "not declared")
        if number:
            print()
        print(f"file:          {path}")
        print(f"container:     {facts.container}")
        print(f"sample rate:   {facts.sample_rate} Hz")
        print(f"channels:      {facts.channels}")
        print(f"duration:      {length}")
        print(f"sample format: {facts.sample_format}")
    if args.json:
        print(json.dumps(records, indent=2))
    return USER_ERROR if failed else 0


def audio_seconds(facts: FileInfo) -> float:
    return facts.duration or 0.0


def cmd_analyze(args: argparse.Namespace) -> int:
    model = args.model or silero_model_path()
    status(f"opening {args.file}")
    facts = file_info(args.file)
    work = _Progress()
    windows, segments = run(
        lambda: analyze(args.file, progress=work, windows=bool(args.json or args.plot),
                        sample_rate=16000, channels=1,
                        vad_mode="silero", vad_threshold=args.threshold,
                        vad_holdoff=args.holdoff_ms, model_path=model),
        Progress("analysing", facts.duration), done=lambda: work.frames / 16000,
        stop=work.stop)
    if args.json:
        print(json.dumps({
            "file": args.file,
            "duration": facts.duration,
            "segments": [{"start": s, "end": e} for s, e in segments],
            "windows": [
                {"start": s, "end": e, "probability": p, "is_speech": v}
                for s, e, p, v in windows
            ],
        }, indent=2))
    else:
        speech = sum(e - s for s, e in segments)
        print(f"{args.file}: {plural(len(segments), 'speech segment')}, {speech:.2f} s of "
              f"speech in {audio_seconds(facts):.2f} s")
        for start, end in segments:
            print(f"  {start:8.3f} - {end:8.3f} s  ({end - start:6.3f} s)")
    if args.plot:
        status(f"drawing {args.plot}")
        envelope = Envelope()
        run(lambda: plot_analysis(args.file, facts.frames, windows, segments, args.threshold,
                                  args.plot, envelope),
            Progress("drawing", facts.duration), done=lambda: envelope.done, stop=envelope.stop)
        if not args.json:
            print(f"plot: {args.plot}")
    return 0


def cmd_convert(args: argparse.Namespace) -> int:
    facts = file_info(args.input)
    options = {
        "sample_rate": args.rate or facts.sample_rate,
        "channels": args.channels or facts.channels,
        "agc": args.agc,
        "limiter": args.limiter,
        "highpass": args.highpass,
        "dc_removal": args.dc_removal,
    }
    if args.denoise_model:
        options.update(denoise="fastenhancer-t", denoise_model_path=args.denoise_model)
    to_stdout = is_standard_output(args.output)
    work = _Progress()
    clipped, non_finite = run(
        lambda: save_converted(args.input, args.output, options, format=args.format,
                               compression=args.compression, progress=work),
        Progress("converting", facts.duration),
        done=lambda: work.frames / options["sample_rate"], stop=work.stop)
    # Audio written to standard output keeps it to itself: the summary goes to stderr.
    print(f"wrote {args.output}: {options['sample_rate']} Hz, "
          f"{plural(options['channels'], 'channel')}; {plural(clipped, 'sample')} clipped, "
          f"{plural(non_finite, 'non-finite sample')} replaced",
          file=sys.stderr if to_stdout else sys.stdout)
    return 0


def is_standard_output(path: str) -> bool:
    """Whether `path` names the file standard output writes to (/dev/stdout, say)."""
    try:
        return os.path.samestat(os.stat(path), os.fstat(sys.stdout.fileno()))
    except (OSError, ValueError):
        return False


# ---- recording ----

RECORD_BLOCK_SECONDS = 0.02
METER_INTERVAL_SECONDS = 0.1
METER_WIDTH = 30
METER_FLOOR_DB = -60.0


def level_line(peak: float, speaking: bool | None, seconds: float) -> str:
    """One line of the live meter: the block's peak in dBFS as a bar, the detector's
    verdict when one runs, and the time recorded."""
    db = 20 * math.log10(peak) if peak > 0 else METER_FLOOR_DB
    db = max(METER_FLOOR_DB, min(0.0, db))
    filled = round(METER_WIDTH * (1 - db / METER_FLOOR_DB))
    bar = "#" * filled + "-" * (METER_WIDTH - filled)
    voice = "" if speaking is None else ("  speech" if speaking else "  ......")
    return f"\r[{bar}] {db:6.1f} dBFS{voice}  {seconds:7.1f} s"


def record_options(args: argparse.Namespace) -> dict:
    frames = max(64, round(args.rate * RECORD_BLOCK_SECONDS))
    options = {
        "sample_rate": args.rate,
        "channels": args.channels,
        "frames_per_buffer": frames,
        "format": "float32",
        "agc": args.agc,
        "limiter": args.limiter,
        "highpass": args.highpass,
        "dc_removal": args.dc_removal,
    }
    if args.device is not None:
        options["device"] = device_argument(args.device)
    if args.vad:
        # The model runs at 8 or 16 kHz; other rates get the energy score.
        if args.rate in (8000, 16000):
            options.update(vad=True, vad_mode="silero", model_path=silero_model_path())
        else:
            options.update(vad=True, vad_mode="energy")
    return options


def cmd_record(args: argparse.Namespace) -> int:
    out = Path(args.output)
    if out.suffix.lower() not in (".wav", ".flac", ".aiff", ".aif"):
        raise UserError(f"{out}: the name must end in .wav, .flac or .aiff")
    options = record_options(args)
    threshold = 0.5 if options.get("vad_mode") == "silero" else 0.01
    last_meter = [0.0]

    def started() -> None:
        print(f"recording to {out} (Ctrl-C to stop)", file=sys.stderr, flush=True)

    def show(block: bytes, microphone: MicrophoneBridge, seconds: float) -> None:
        now = time.monotonic()
        if now - last_meter[0] < METER_INTERVAL_SECONDS:
            return
        last_meter[0] = now
        samples = struct.unpack(f"<{len(block) // 4}f", block)
        peak = max((abs(x) for x in samples), default=0.0)
        speaking = (microphone.vad_probability >= threshold) if args.vad else None
        sys.stderr.write(level_line(peak, speaking, seconds))
        sys.stderr.flush()

    meter = sys.stderr.isatty()
    frames, overruns, failure = record(str(out), options, args.seconds, started,
                                       show if meter else None)
    if meter:
        sys.stderr.write("\r\033[K")
    kept = (f"{plural(frames, 'frame')} ({frames / args.rate:.2f} s) at {args.rate} Hz, "
            f"{plural(args.channels, 'channel')}")
    if failure is not None:
        print(f"murello: {failure}; kept {kept} in {out}", file=sys.stderr)
        return RECORDING_FAILED
    print(f"wrote {out}: {kept}; {plural(overruns, 'device period')} dropped", file=sys.stderr)
    return 0


def cmd_play(args: argparse.Namespace) -> int:
    info = file_info(args.file)
    device = None if args.device is None else device_argument(args.device)
    rate, channels = speaker_config(device)
    channel_map = spread_channels(info.channels, channels)
    source = FileBridge.open(args.file, sample_rate=rate, channels=channels,
                             channel_map=channel_map, format="float32")
    speaker = SpeakerBridge(rate, channels, "float32", device=device)
    samples_per_second = rate * channels
    written = [0]
    failure: list[BaseException] = []
    finished = threading.Event()

    def pump() -> None:
        # Writes block while the queue is full; stop() from the main thread releases them.
        try:
            while (chunk := source.read()) is not None:
                speaker.write(chunk)
                written[0] += len(chunk) // 4
            play_out(speaker, samples_per_second)
        except BaseException as error:  # reported by the main thread
            if speaker.is_playing:
                failure.append(error)
        finally:
            finished.set()

    show = sys.stderr.isatty()
    worker = threading.Thread(target=pump, name="murello-play", daemon=True)
    try:
        speaker.start()
        started = time.monotonic()
        worker.start()
        print(f"playing {args.file} at {rate} Hz, {plural(channels, 'channel')} (Ctrl-C to stop)",
              file=sys.stderr, flush=True)
        # The main thread only waits, so that Ctrl-C is seen at once.
        while not finished.wait(0.1):
            if show:
                played = min(time.monotonic() - started, written[0] / samples_per_second)
                total = "" if info.duration is None else f" / {info.duration:.1f}"
                sys.stderr.write(f"\r{played:7.1f}{total} s")
                sys.stderr.flush()
    except KeyboardInterrupt:
        speaker.stop()
        if worker.is_alive():
            worker.join()
        if show:
            sys.stderr.write("\r\033[K")
        print("stopped", file=sys.stderr)
        return 130
    finally:
        speaker.stop()
    worker.join()
    if show:
        sys.stderr.write("\r\033[K")
    if failure:
        raise failure[0]
    print(f"played {args.file}: {written[0] / samples_per_second:.2f} s", file=sys.stderr)
    return 0


def add_conditioning_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--agc", type=in_range(-128, 127), metavar="DBFS",
                        help="AGC target level, -40 to -3 (default: no AGC)")
    parser.add_argument("--limiter", type=float, metavar="DBFS",
                        help="limiter ceiling, -3.0 to 0.0 (default: no limiter)")
    parser.add_argument("--highpass", type=int, choices=[80, 100],
                        help="high-pass cut-off (default: none)")
    parser.add_argument("--dc-removal", action="store_true", help="remove DC offset")


def build_parser() -> argparse.ArgumentParser:
    version = MicrophoneBridge.version()
    parser = argparse.ArgumentParser(
        prog="murello", formatter_class=HelpFormatter,
        description="Capture, play, read, condition and score audio.",
        epilog="Run 'murello COMMAND --help' for a command's options and examples.",
    )
    parser.add_argument("--version", action="version", version=f"murello {version.murello}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, summary: str, examples: str = ""):
        return commands.add_parser(name, help=summary, description=describe(summary),
                                   epilog=examples and "examples:\n" + examples,
                                   formatter_class=HelpFormatter)

    command("version", "print the versions").set_defaults(run=cmd_version)
    devices = command("devices", "list capture and playback devices",
                      "  murello devices\n  murello devices --json")
    devices.add_argument("--json", action="store_true", help="print the devices as JSON")
    devices.set_defaults(run=cmd_devices)

    info = command("info", "describe audio files from their headers",
                   "  murello info speech.wav\n  murello info *.flac --json")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="print one JSON list of the files")
    info.set_defaults(run=cmd_info)

    analyze = command(
        "analyze", "find the speech in audio files",
        "  murello analyze speech.wav\n"
        "  murello analyze meeting.flac --threshold 0.6 --json > speech.json\n"
        "  murello analyze speech.wav --plot speech.png\n"
        "  murello analyze recordings/ --recursive --jsonl speech.jsonl --resume")
    analyze.add_argument("file", nargs="+", metavar="PATH",
                         help="an audio file, or several files and folders")
    analyze.add_argument("--model", help="Silero VAD model (default: the one shipped with murello)")
    analyze.add_argument("--threshold", type=probability, default=0.5,
                         help="speech probability threshold, 0 to 1 (default 0.5)")
    analyze.add_argument("--holdoff-ms", type=at_least(0), default=300,
                         help="merge speech separated by at most this gap (default 300)")
    analyze.add_argument("--json", action="store_true", help="print windows and segments as JSON")
    analyze.add_argument("--plot", metavar="OUT.png",
                         help="draw waveform, probability and segments")
    add_batch_options(analyze, "the results")
    analyze.set_defaults(run=dispatch(cmd_analyze, cmd_analyze_many, "file"))

    convert = command(
        "convert", "condition and convert audio files",
        "  murello convert in.wav out.flac --rate 16000 --channels 1\n"
        "  murello convert call.flac call.wav --highpass 80 --agc -20 --limiter -1\n"
        "  murello convert recordings/ converted/ --format flac --jobs 2")
    convert.add_argument("input", nargs="+", metavar="IN",
                         help="an audio file, or several files and folders")
    convert.add_argument("output", metavar="OUT",
                         help="the output file, or the folder for many (mirroring folders)")
    convert.add_argument("--rate", type=at_least(1),
                         help="output rate in Hz (default: the input's)")
    convert.add_argument("--channels", type=at_least(1),
                         help="output channels (default: the input's)")
    convert.add_argument("--format", choices=["wav", "aiff", "flac"],
                         help="container (default: from the output's extension)")
    add_conditioning_options(convert)
    convert.add_argument("--denoise-model", metavar="PATH", help="denoiser model (ONNX)")
    convert.add_argument("--compression", type=in_range(0, 8), metavar="0-8",
                         help="FLAC compression level (default 5)")
    add_batch_options(convert, "a log of the files written")
    convert.set_defaults(run=dispatch(cmd_convert, cmd_convert_many, "input"))

    record = command(
        "record", "record from a microphone until the time runs out or Ctrl-C",
        "  murello record take.wav --seconds 5\n"
        "  murello record take.flac --device USB --rate 48000 --channels 2\n"
        "  murello record take.wav --vad --agc -20")
    record.add_argument("output", help="OUT.wav, OUT.flac or OUT.aiff")
    record.add_argument("--device", help="device index or part of its name (default: the "
                        "system's default microphone)")
    record.add_argument("--rate", type=at_least(1), default=16000,
                        help="rate in Hz (default 16000)")
    record.add_argument("--channels", type=at_least(1), default=1, help="channels (default 1)")
    record.add_argument("--seconds", type=float, help="stop after this long (default: Ctrl-C)")
    record.add_argument("--vad", action="store_true",
                        help="show a speech indicator (Silero at 8 or 16 kHz, else energy)")
    add_conditioning_options(record)
    record.set_defaults(run=cmd_record)

    play = command("play", "play an audio file to a speaker",
                   "  murello play speech.wav\n  murello play speech.wav --device 2")
    play.add_argument("file")
    play.add_argument("--device", help="device index or part of its name (default: the "
                      "system's default speaker)")
    play.set_defaults(run=cmd_play)
    add_cancel_echo_parser(command)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    from murello.exceptions import MurelloError

    try:
        return args.run(args)
    except KeyboardInterrupt:
        clear()
        print("murello: interrupted", file=sys.stderr)
        return INTERRUPTED
    except (UserError, MurelloError, ValueError, TypeError, OverflowError, OSError) as error:
        print(f"murello: {error_text(error, args)}", file=sys.stderr)
        return USER_ERROR


if __name__ == "__main__":
    sys.exit(main())
