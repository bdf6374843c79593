"""Plain classes the native core accepts from callers."""

from __future__ import annotations

__all__ = ["Device"]


class Device:
    """A sound device chosen by its id, as listed by ``devices()`` (for example
    ``"alsa:hw:CARD=PCH,DEV=0"``)."""

    __slots__ = ("id",)

    def __init__(self, id: str) -> None:
        if not isinstance(id, str):
            raise TypeError("Device id must be a str")
        self.id = id

    def __repr__(self) -> str:
        return f"Device(id={self.id!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Device) and other.id == self.id

    def __hash__(self) -> int:
        return hash(self.id)
