"""Many files at once: analysis and conversion spread over a pool of processes or any
``concurrent.futures.Executor`` (a Dask or Ray cluster's included).

Each file is one task; its result is a plain dict (picklable, and what the command line
writes as one JSON line), and a file that fails gives a result naming the error instead
of stopping the run. Results come back in completion order.

Workers are separate processes started with ``spawn``: ONNX Runtime refuses to run in a
child forked after it was initialised. Each model session runs on one intra-op thread, so
N workers keep N cores busy without oversubscribing them.
"""

from __future__ import annotations

import concurrent.futures as futures
import multiprocessing
import os
import signal
from typing import Any, Callable, Iterable, Iterator

from murello import _murello
from murello._io import save_converted
from murello._paths import silero_model_path

# What the file source reads, by the extension a folder's files are picked by.
AUDIO_EXTENSIONS = (".wav", ".wave", ".rf64", ".aif", ".aiff", ".aifc", ".flac")

# FileBridge.open keywords that an analysis may set; the rest (format, numpy, vad, ...)
# are fixed by what an analysis is.
ANALYSIS_OPTIONS = frozenset({
    "sample_rate", "channels", "channel_map", "vad_threshold", "vad_holdoff", "model_path",
    "ort_library_path", "denoise", "denoise_model_path", "highpass", "agc", "limiter",
    "dc_removal", "detector_source",
})

# Files handed to an executor ahead of the results: enough to keep every worker busy,
# few enough that a stopped run leaves little work thrown away.
IN_FLIGHT_PER_WORKER = 2
IN_FLIGHT_UNKNOWN = 256


# ---- finding files ----


def audio_files(paths: Iterable[str | os.PathLike], recursive: bool = False) -> list[str]:
    """The files to work on: each path that is not a folder as it is (whatever its
    extension, so that a file named on purpose is tried and any error reported), and the
    audio files in each folder (by extension; its sub-folders too with ``recursive``),
    sorted. Hidden files and folders are passed over."""
    found: list[str] = []
    for path in map(os.fspath, paths):
        if not os.path.isdir(path):
            found.append(path)
            continue
        for folder, subfolders, files in os.walk(path):
            subfolders[:] = sorted(d for d in subfolders if not d.startswith(".")) if recursive else []
            found.extend(os.path.join(folder, name) for name in sorted(files)
                         if not name.startswith(".")
                         and os.path.splitext(name)[1].lower() in AUDIO_EXTENSIONS)
    return found


# ---- one file ----


def failure(path: str, error: BaseException) -> dict:
    """The result of a file that could not be handled: the error's class and message."""
    return {"path": path, "error": type(error).__name__, "message": str(error)}


def analysis_options(options: dict[str, Any]) -> dict[str, Any]:
    """FileBridge.open keywords for an analysis: the caller's, over 16 kHz mono and the
    Silero model shipped with murello. Unknown keywords are refused here, once, rather
    than by every file."""
    unknown = sorted(set(options) - ANALYSIS_OPTIONS)
    if unknown:
        raise TypeError(f"analyze_files() got an unexpected keyword argument '{unknown[0]}'")
    full = {"sample_rate": 16000, "channels": 1, **options, "vad": True, "vad_mode": "silero"}
    if full.get("model_path") is None:
        full["model_path"] = silero_model_path()
    return full


def analyze_file(path: str, options: dict[str, Any]) -> dict:
    """Speech in one file: ``{"path", "duration", "rate", "channels", "segments",
    "speech_seconds"}`` with times in seconds and segments as [start, end] pairs, or the
    failure. ``options`` are FileBridge.open keywords (see ``analysis_options``)."""
    try:
        facts = _murello.info(path)
        windows, segments = _murello._analyze(path, **options)
    except Exception as error:  # reported in the result: one file never stops the run
        return failure(path, error)
    duration = facts.duration
    if duration is None:  # a length the header does not declare: the analysed span
        duration = windows[-1][1] if windows else 0.0
    return {
        "path": path,
        "duration": duration,
        "rate": facts.sample_rate,
        "channels": facts.channels,
        "segments": [[start, end] for start, end in segments],
        "speech_seconds": sum(end - start for start, end in segments),
    }


def convert_file(path: str, output: str, options: dict[str, Any], format: str | None,
                 compression: int | None) -> dict:
    """One file conditioned and written to ``output`` (its folder made as needed):
    ``{"path", "output", "duration", "rate", "channels", "clipped", "non_finite"}`` or
    the failure. ``options`` are FileBridge.open keywords; a missing ``sample_rate`` or
    ``channels`` keeps the file's own. The file appears under its name only once it is
    complete."""
    try:
        facts = _murello.info(path)
        opened = {"sample_rate": facts.sample_rate, "channels": facts.channels}
        opened.update((key, value) for key, value in options.items() if value is not None)
        os.makedirs(os.path.dirname(output) or ".", exist_ok=True)
        clipped, non_finite = save_converted(path, output, opened, format=format,
                                             compression=compression)
    except Exception as error:  # reported in the result: one file never stops the run
        return failure(path, error)
    return {
        "path": path,
        "output": output,
        "duration": facts.duration,
        "rate": opened["sample_rate"],
        "channels": opened["channels"],
        "clipped": clipped,
        "non_finite": non_finite,
    }


# ---- many files ----


def _ignore_interrupts() -> None:
    # Ctrl-C at a terminal reaches the whole process group: the parent alone decides
    # what happens to the run.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def process_pool(jobs: int | None = None) -> futures.ProcessPoolExecutor:
    """A pool of ``jobs`` spawned worker processes (default: the cores this process may
    run on) that leave Ctrl-C to their parent."""
    jobs = jobs or len(os.sched_getaffinity(0))
    return futures.ProcessPoolExecutor(jobs, mp_context=multiprocessing.get_context("spawn"),
                                       initializer=_ignore_interrupts)


def _stop(pool: futures.ProcessPoolExecutor, at_once: bool) -> None:
    """Shuts a pool of ours down; ``at_once`` also stops the files still running, which
    the pool's own shutdown would wait for."""
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=not at_once, cancel_futures=True)
    if at_once:
        for process in processes:
            process.terminate()
        for process in processes:
            process.join()


def run_tasks(task: Callable[..., dict], items: Iterable[tuple], *,
              executor: futures.Executor | None = None, jobs: int | None = None
              ) -> Iterator[dict]:
    """``task(*item)`` for every item, as results in completion order. ``task`` must
    return a result dict whose "path" is ``item[0]``; an item whose task raised (a worker
    that died, a lost cluster node) gives a failure result. Without ``executor``, a
    process pool of ``jobs`` workers runs the tasks, is replaced when a worker dies (the
    files it held are reported as failed), and is shut down when the iterator finishes or
    is closed."""
    own = executor is None
    if own:
        executor = process_pool(jobs)
    workers = getattr(executor, "_max_workers", None)
    limit = IN_FLIGHT_PER_WORKER * workers if workers else IN_FLIGHT_UNKNOWN
    pending: dict[futures.Future, str] = {}
    queue = iter(items)
    finished = False
    try:
        while True:
            for item in queue:
                try:
                    future = executor.submit(task, *item)
                except futures.BrokenExecutor:
                    if not own:
                        raise
                    _stop(executor, at_once=True)
                    executor = process_pool(jobs)
                    future = executor.submit(task, *item)
                pending[future] = item[0]
                if len(pending) >= limit:
                    break
            if not pending:
                finished = True
                return
            done, _ = futures.wait(pending, return_when=futures.FIRST_COMPLETED)
            for future in done:
                path = pending.pop(future)
                try:
                    result = future.result()
                except Exception as error:  # a lost worker; a cancelled file
                    result = failure(path, error)
                yield result
    finally:
        for future in pending:
            future.cancel()
        if own:
            _stop(executor, at_once=not finished)


def analyze_files(paths: Iterable[str | os.PathLike], *, executor: futures.Executor | None = None,
                  jobs: int | None = None, **options: Any) -> Iterator[dict]:
    """Finds the speech in many files at once: one result per path, in the order the
    files finish.

    A result is a plain dict, ``{"path", "duration", "rate", "channels", "segments",
    "speech_seconds"}`` (seconds; segments are [start, end] pairs), or ``{"path",
    "error", "message"}`` with the error's class name for a file that failed; a failure
    never stops the others.

    ``executor`` is any ``concurrent.futures.Executor``: by default a pool of spawned
    processes made for this call, ``jobs`` of them (default one per core); a Dask cluster's
    ``distributed.Client(...).get_executor()`` or Ray's executor spread the files over
    their workers, which need murello installed. ``options`` are ``FileBridge.open``
    keywords (``vad_threshold``, ``vad_holdoff``, ``model_path``, ``sample_rate``,
    ``highpass``, ...); the Silero model shipped with murello is the default.
    """
    opened = analysis_options(options)
    return run_tasks(analyze_file, ((os.fspath(path), opened) for path in paths),
                     executor=executor, jobs=jobs)
