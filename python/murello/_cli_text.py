"""What the command line says: its help layout, the checks on option values, and the
wording of errors (the file or device they concern, and what to do about them)."""

from __future__ import annotations

import argparse
import os

from murello import exceptions
from murello._murello import FileInfo, MicrophoneBridge, SpeakerBridge, info
from murello._paths import onnxruntime_library_path

# The largest value the core's unsigned 32-bit options take that argparse passes on.
LARGEST = 2**31 - 1

# How each container the core reads begins; anything else is not an audio file to it.
AUDIO_MAGIC = (b"RIFF", b"RF64", b"BW64", b"FORM", b"fLaC", b"ID3")


class UserError(Exception):
    """A problem with what the user asked for, reported without a traceback."""


class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Keeps the examples' line breaks."""


def describe(summary: str) -> str:
    return summary[0].upper() + summary[1:] + "."


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def in_range(low: int, high: int):
    """An argparse type: a whole number from `low` to `high`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if not low <= value <= high:
            if high == LARGEST:
                raise argparse.ArgumentTypeError(f"must be at least {low}, got {text}")
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, got {text}")
        return value

    return parse


def at_least(low: int):
    return in_range(low, LARGEST)


def probability(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be from 0 to 1, got {text}")
    return value


def device_argument(text: str) -> int | str:
    """--device: an index into the listing, else part of a device's name."""
    return int(text) if text.isdigit() else text


def looks_like_audio(path: str) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(4).startswith(AUDIO_MAGIC)
    except OSError:
        return True  # the core's own error says why it cannot be read


def file_info(path: str) -> FileInfo:
    """The header facts the core reads. A file that does not begin as any container the
    core reads is named as not an audio file rather than as a damaged one; the core's
    decoding errors are given the file's name."""
    try:
        return info(path)
    except (exceptions.AudioFileTruncated, exceptions.AudioFormatUnsupported,
            exceptions.AudioFileMalformed) as error:
        if not looks_like_audio(path):
            raise UserError(f"{path}: not an audio file (murello reads WAV, RF64, AIFF, "
                            "AIFF-C and FLAC)") from None
        raise UserError(f"{path}: {error}") from None


def device_listing(capture: bool) -> str:
    devices = MicrophoneBridge.devices() if capture else SpeakerBridge.devices()
    kind = "microphones" if capture else "speakers"
    if not devices:
        return f"there are no {kind}"
    lines = [f"the {kind} are:"]
    for device in devices:
        mark = "*" if device.is_default else " "
        lines.append(f" {mark}{device.index:3d}  {device.name} ({device.id})")
    return "\n".join(lines)


def runtime_hint(text: str) -> str:
    if onnxruntime_library_path() is None and not os.environ.get("ORT_DYLIB_PATH"):
        return ('ONNX Runtime is not installed; the speech model and the denoiser need it: '
                'pip install "murello[vad]"')
    # The core's text goes on about a bundled runtime; only its first sentence applies.
    return (text.split(". ")[0] + '. Check ORT_DYLIB_PATH, or reinstall ONNX Runtime: '
            'pip install --force-reinstall onnxruntime')


def error_text(error: BaseException, args: argparse.Namespace) -> str:
    """The line after "murello: " for an error that ends a command."""
    text = str(error)
    if text.startswith("murello: "):
        text = text[len("murello: "):]
    if isinstance(error, (exceptions.OrtPathError, exceptions.OrtInitFailed)):
        return runtime_hint(text)
    device = getattr(args, "device", None)
    if device is not None and isinstance(error, (
            exceptions.DeviceIndexOutOfRange, exceptions.MicrophoneNotFound,
            exceptions.SpeakerNotFound, exceptions.NotAnInputDevice)):
        capture = args.command == "record"
        if isinstance(error, exceptions.DeviceIndexOutOfRange):
            # The core's text points to a Python call.
            text = f"no {'microphone' if capture else 'speaker'} has the index {device}"
        return f"{text}; {device_listing(capture)}"
    return text
