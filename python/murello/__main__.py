"""The murello command line: ``python -m murello COMMAND``."""

from __future__ import annotations

import argparse
import sys

from murello._murello import MicrophoneBridge, SpeakerBridge


def _version(_: argparse.Namespace) -> int:
    info = MicrophoneBridge.version()
    print(f"murello {info.murello} (binding {info.binding}, audio backend {info.audio_backend})")
    return 0


def _devices(args: argparse.Namespace) -> int:
    _version(args)
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
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="murello", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("version", help="print the versions").set_defaults(run=_version)
    commands.add_parser("devices", help="list capture and playback devices").set_defaults(
        run=_devices
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
