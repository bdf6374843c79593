"""Long command-line work, shown on stderr while it runs: on a terminal a bar with the
share done, the speed and the time left (tqdm, from the "progress" extra, when it is
installed), otherwise a plain line every few seconds. Work that runs inside one native
call runs on a thread of its own, so that Ctrl-C reaches the main thread at once.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from typing import Any, Callable

# Shorter work is not worth a display.
MIN_AUDIO_SECONDS = 5.0
PLAIN_SECONDS = 10.0
TERMINAL_SECONDS = 0.1


def clock(seconds: float) -> str:
    seconds = round(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


def status(text: str) -> None:
    """A passing line on a terminal (what is being done before a bar can say more);
    the next display or clear() replaces it."""
    if sys.stderr.isatty():
        sys.stderr.write(f"\r\033[K{text}")
        sys.stderr.flush()


def clear() -> None:
    if sys.stderr.isatty():
        sys.stderr.write("\r\033[K")
        sys.stderr.flush()


def _columns() -> int:
    try:
        return os.get_terminal_size(sys.stderr.fileno()).columns
    except (OSError, ValueError):
        return 0


def _tqdm():
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm


class Progress:
    """Seconds of audio done out of `total` (None: unknown, so only the time passing is
    shown)."""

    def __init__(self, label: str, total: float | None) -> None:
        self.label = label
        self.total = total
        # A terminal that reports no width (a serial console, some containers) gets the
        # plain lines: a bar sized to it would draw nothing.
        self.terminal = sys.stderr.isatty() and _columns() > 0
        self.enabled = total is None or total >= MIN_AUDIO_SECONDS
        self.start = time.monotonic()
        self.shown = self.start
        self.done = 0.0
        self.bar: Any = None
        tqdm = _tqdm() if self.terminal and self.enabled else None
        if tqdm is not None:
            clear()
            known = ("{desc}: {percentage:3.0f}%|{bar}| {n:.0f}/{total:.0f} s of audio "
                     "[{elapsed}<{remaining}, {rate_fmt}]")
            self.bar = tqdm(total=total, desc=label, unit="s", leave=False, file=sys.stderr,
                            dynamic_ncols=True,
                            bar_format=known if total else "{desc}: {elapsed}")

    def update(self, done: float) -> None:
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(done - self.done)
            self.done = done
            return
        self.done = done
        now = time.monotonic()
        if now - self.shown >= (TERMINAL_SECONDS if self.terminal else PLAIN_SECONDS):
            self.shown = now
            line = self.line(now)
            sys.stderr.write(f"\r\033[K{line}" if self.terminal else line + "\n")
            sys.stderr.flush()

    def line(self, now: float) -> str:
        elapsed = max(now - self.start, 1e-9)
        speed = self.done / elapsed
        if not self.total:
            return f"{self.label}: {clock(elapsed)}"
        share = min(self.done / self.total, 1.0)
        left = (self.total - self.done) / speed if speed > 0 else 0.0
        return (f"{self.label}: {100 * share:3.0f}% ({self.done:.0f} of {self.total:.0f} s of "
                f"audio), {speed:.1f}x real time, {clock(left)} left")

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.terminal and self.enabled:
            clear()


# Ways a program is told to stop besides Ctrl-C: taken like it while work runs, so the
# work stops and cleans up (a conversion's hidden temporary file) instead of the process
# ending mid-write.
STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def run(work: Callable[[], Any], progress: Progress, done: Callable[[], float] | None = None,
        stop: Callable[[], None] | None = None) -> Any:
    """Runs `work` on a thread and returns what it returns (raising what it raises),
    showing `done()` seconds of audio as it goes. Ctrl-C calls `stop` (which ends the
    work early) and waits for it, else leaves the thread to the end of the process, and
    raises KeyboardInterrupt at once."""
    outcome: dict[str, Any] = {}
    finished = threading.Event()

    def target() -> None:
        try:
            outcome["result"] = work()
        except BaseException as error:  # raised again by the caller's thread
            outcome["error"] = error
        finally:
            finished.set()

    worker = threading.Thread(target=target, name="murello-work", daemon=True)
    main_thread = threading.current_thread() is threading.main_thread()
    previous = {s: signal.signal(s, _interrupt) for s in STOP_SIGNALS} if main_thread else {}
    try:
        # Inside the try: Ctrl-C can land while start() waits for the thread to run, and
        # the work must be stopped then too. `finished` is waited on rather than the
        # thread, which cannot be joined before start() has seen it run.
        worker.start()
        ended = False
        while not ended:
            ended = finished.wait(TERMINAL_SECONDS)
            progress.update(progress.done if done is None else done())
    except KeyboardInterrupt:
        if stop is not None:
            stop()
            finished.wait()
        raise
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        progress.close()
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("result")
