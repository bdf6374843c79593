"""Whole-file voice analysis in one call: ``analyze``."""

from __future__ import annotations

import os
from typing import Any

from murello import _murello
from murello._paths import silero_model_path


def analyze(path: str | bytes | os.PathLike, **options: Any) -> tuple[list, list]:
    """Find the speech in an audio file: ``(windows, segments)`` exactly as
    ``FileBridge.open(path, vad=True, **options).analyze()`` returns them, with the file
    read through a block at a time, so that memory does not grow with the recording.

    ``windows`` holds ``(start, end, probability, is_speech)`` per detector window and
    ``segments`` the merged ``(start, end)`` speech, in seconds. The keywords are those of
    ``FileBridge.open``, and ``windows=False`` leaves the first list empty (for hours of
    audio whose segments are all that is wanted: the windows, one every 32 ms, take about
    20 MB an hour as Python objects); the Silero model shipped with murello is used when
    ``model_path`` is not given. Errors are those of ``FileBridge.open`` and ``analyze``.
    """
    options.setdefault("vad", True)
    if options.get("model_path") is None:
        options["model_path"] = silero_model_path()
    return _murello._analyze(path, **options)
