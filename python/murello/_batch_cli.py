"""``murello analyze`` and ``murello convert`` over many files: one JSON line per file as
it finishes, a resumable result file, progress on stderr, Ctrl-C that keeps what is done.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from typing import Callable, Iterable, Iterator, TextIO

from murello import _batch
from murello._progress import clock

INTERRUPTED = 130
SOME_FAILED = 1
PLAIN_PROGRESS_SECONDS = 10.0
TERMINAL_PROGRESS_SECONDS = 0.1

# The containers the writer knows by extension; other inputs are written as WAV.
WRITTEN_EXTENSIONS = (".wav", ".aif", ".aiff", ".aifc", ".flac")
FORMAT_EXTENSIONS = {"wav": ".wav", "aiff": ".aiff", "flac": ".flac"}


class BatchError(ValueError):
    """A batch asked for in a way that cannot run: the command line reports it as a user
    error."""


def add_batch_options(parser: argparse.ArgumentParser, log: str) -> None:
    parser.add_argument("--recursive", action="store_true",
                        help="take the audio files of sub-folders too")
    parser.add_argument("--jobs", type=int, metavar="N",
                        help="worker processes (default: one per core)")
    parser.add_argument("--jsonl", metavar="OUT", help=f"write {log} to OUT, one JSON line per "
                        "file (default: standard output)")
    parser.add_argument("--resume", action="store_true",
                        help="skip the files already in OUT and add the rest to it")


def is_batch(args: argparse.Namespace, inputs: list[str]) -> bool:
    """Whether the command runs over many files: several inputs, a folder, or an option
    only a batch has."""
    return (len(inputs) > 1 or any(os.path.isdir(path) for path in inputs)
            or args.recursive or args.jobs is not None or args.jsonl is not None or args.resume)


def dispatch(single: Callable[[argparse.Namespace], int], batch: Callable[[argparse.Namespace], int],
             inputs: str) -> Callable[[argparse.Namespace], int]:
    """The command's entry: ``batch`` for many files, else ``single`` with the one input
    in ``args.<inputs>`` as before."""

    def run(args: argparse.Namespace) -> int:
        paths = getattr(args, inputs)
        if is_batch(args, paths):
            return batch(args)
        setattr(args, inputs, paths[0])
        return single(args)

    return run


# ---- the result file ----


class ResultLog:
    """Where the JSON lines go: OUT, or standard output. Each line is written whole and
    flushed, so an interrupted run leaves a valid file; with ``resume`` the paths already
    in it are known and a line cut short by a crash is dropped."""

    def __init__(self, path: str | None, resume: bool) -> None:
        self.path = path
        self.done: set[str] = set()
        if path is None:
            if resume:
                raise BatchError("--resume needs --jsonl OUT: the file to resume")
            self.stream: TextIO = sys.stdout
            return
        if resume:
            self._read_done(path)
        elif os.path.exists(path) and os.path.getsize(path) > 0:
            raise BatchError(f"{path} exists: add --resume to complete it, or remove it")
        self.stream = open(path, "a", encoding="utf-8")

    def _read_done(self, path: str) -> None:
        try:
            with open(path, "rb") as existing:
                data = existing.read()
        except FileNotFoundError:
            return
        kept = 0
        for line in data.splitlines(keepends=True):
            try:
                self.done.add(key(json.loads(line)["path"]))
            except (ValueError, KeyError, TypeError):
                break  # a line cut short: it and anything after it are redone
            if not line.endswith(b"\n"):
                break
            kept += len(line)
        if kept < len(data):
            os.truncate(path, kept)

    def write(self, result: dict) -> None:
        self.stream.write(json.dumps(result) + "\n")
        self.stream.flush()

    def close(self) -> None:
        if self.stream is not sys.stdout:
            self.stream.close()


def key(path: str) -> str:
    """A file's identity in OUT, the same from whatever folder a run is resumed."""
    return os.path.abspath(path)


# ---- progress ----


class BatchProgress:
    """Files done, audio processed, speed and time left, on stderr: one line redrawn on a
    terminal, a plain line every few seconds otherwise."""

    def __init__(self, total: int, stream: TextIO = sys.stderr) -> None:
        self.total = total
        self.stream = stream
        self.terminal = stream.isatty()
        self.start = time.monotonic()
        self.shown = self.start
        self.done = 0
        self.failed = 0
        self.audio_seconds = 0.0

    def update(self, result: dict) -> None:
        self.done += 1
        self.failed += "error" in result
        self.audio_seconds += result.get("duration") or 0.0
        now = time.monotonic()
        interval = TERMINAL_PROGRESS_SECONDS if self.terminal else PLAIN_PROGRESS_SECONDS
        if now - self.shown >= interval:
            self.shown = now
            self._show(self.line(now))

    def line(self, now: float) -> str:
        elapsed = max(now - self.start, 1e-9)
        left = (self.total - self.done) * elapsed / self.done if self.done else 0.0
        failed = f", {self.failed} failed" if self.failed else ""
        return (f"{self.done}/{self.total} files{failed}, {self.audio_seconds / 3600:.2f} h of "
                f"audio, {self.audio_seconds / elapsed:.1f}x real time, ETA {clock(left)}")

    def _show(self, text: str) -> None:
        self.stream.write(f"\r\033[K{text}" if self.terminal else text + "\n")
        self.stream.flush()

    def clear(self) -> None:
        if self.terminal:
            self.stream.write("\r\033[K")
            self.stream.flush()

    def summary(self, verb: str) -> str:
        elapsed = max(time.monotonic() - self.start, 1e-9)
        failed = f"; {self.failed} failed" if self.failed else ""
        return (f"{verb} {self.done} files in {clock(elapsed)}: {self.audio_seconds / 3600:.2f} h "
                f"of audio, {self.audio_seconds / elapsed:.1f}x real time{failed}")


# ---- the run ----


def run(results: Iterator[dict], log: ResultLog, total: int, verb: str) -> int:
    """Writes every result as it comes and shows progress; on Ctrl-C stops the workers
    and says how to finish."""
    progress = BatchProgress(total)
    try:
        for result in results:
            log.write(result)
            progress.update(result)
    except KeyboardInterrupt:
        results.close()
        progress.clear()
        if log.path is None:
            advice = "give --jsonl OUT to be able to resume a run"
        else:
            advice = f"their results are in {log.path}; run the same command with --resume to finish"
        print(f"interrupted after {progress.done} of {total} files: {advice}", file=sys.stderr)
        return INTERRUPTED
    finally:
        log.close()
    progress.clear()
    print(progress.summary(verb), file=sys.stderr)
    return SOME_FAILED if progress.failed else 0


def start(args: argparse.Namespace, found: list[str]) -> tuple[ResultLog, list[str]]:
    """The result file and the files still to do."""
    if args.jobs is not None and args.jobs < 1:
        raise BatchError("--jobs must be at least 1")
    log = ResultLog(args.jsonl, args.resume)
    todo = [path for path in found if key(path) not in log.done]
    if args.resume:
        print(f"resuming: {len(found) - len(todo)} of {len(found)} files already in {args.jsonl}",
              file=sys.stderr)
    return log, todo


def cmd_analyze_many(args: argparse.Namespace) -> int:
    if args.json or args.plot:
        raise BatchError("--json and --plot take one file; many files give JSON lines (--jsonl)")
    if args.model is not None and not os.path.isfile(args.model):
        raise BatchError(f"{args.model}: no such model file")
    options = _batch.analysis_options({"vad_threshold": args.threshold,
                                       "vad_holdoff": args.holdoff_ms, "model_path": args.model})
    log, todo = start(args, _batch.audio_files(args.file, args.recursive))
    results = _batch.run_tasks(_batch.analyze_file, ((path, options) for path in todo),
                               jobs=args.jobs)
    return run(results, log, len(todo), "analysed")


def output_name(relative: str, format: str | None) -> str:
    stem, extension = os.path.splitext(relative)
    if format is not None:
        return stem + FORMAT_EXTENSIONS[format]
    return relative if extension.lower() in WRITTEN_EXTENSIONS else stem + ".wav"


def outputs(inputs: list[str], folder: str, recursive: bool, format: str | None
            ) -> Iterable[tuple[str, str]]:
    """(input file, output file) pairs: a folder's files keep their place under it inside
    ``folder``, a file named alone goes to the top of ``folder``. Files already inside
    ``folder`` are left out."""
    inside = os.path.join(os.path.abspath(folder), "")
    for path in inputs:
        root = path if os.path.isdir(path) else os.path.dirname(path)
        for found in _batch.audio_files([path], recursive):
            if not os.path.abspath(found).startswith(inside):
                yield found, os.path.join(folder, output_name(os.path.relpath(found, root), format))


def cmd_convert_many(args: argparse.Namespace) -> int:
    *inputs, folder = args.input + [args.output]
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise BatchError(f"{folder}: many files are converted into a folder, and this is a file")
    options = {"sample_rate": args.rate, "channels": args.channels, "agc": args.agc,
               "limiter": args.limiter, "highpass": args.highpass, "dc_removal": args.dc_removal}
    if args.denoise_model:
        options.update(denoise="fastenhancer-t", denoise_model_path=args.denoise_model)
    pairs = dict(outputs(inputs, folder, args.recursive, args.format))
    log, todo = start(args, list(pairs))
    clashes: list[dict] = []
    claimed: dict[str, str] = {}
    tasks = []
    for path in todo:
        output = pairs[path]
        if key(output) in claimed:
            clashes.append(_batch.failure(path, BatchError(
                f"{claimed[key(output)]} is written to {output} too")))
            continue
        claimed[key(output)] = path
        tasks.append((path, output, options, args.format, args.compression))
    results = _batch.run_tasks(_batch.convert_file, tasks, jobs=args.jobs)
    return run(chain(clashes, results), log, len(todo), "converted")


def chain(first: list[dict], rest: Iterator[dict]) -> Iterator[dict]:
    yield from first
    yield from rest
