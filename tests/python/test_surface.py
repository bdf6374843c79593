"""What a user sees of the objects: reprs, records with names, the default model,
FileBridge's protocols and the type stubs."""

from __future__ import annotations

import inspect
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import murello
from murello import EchoCanceller, FileBridge, MicrophoneBridge, SpeakerBridge, _murello

SILENCE = [0.0] * 1600


def test_reprs_show_rate_channels_format_and_state(tmp_path):
    path = tmp_path / "tone.wav"
    murello.save(path, np.zeros((2205, 2), np.float32), 22050)
    source = FileBridge.open(path, format="float32")
    shown = "input_rate=22050, sample_rate=16000, channels=1, format='float32', state="
    assert repr(source) == f"FileBridge({shown}'fresh')"
    source.read()
    assert repr(source) == f"FileBridge({shown}'reading')"
    source.close()
    assert repr(source).endswith("state='finished')")
    assert repr(MicrophoneBridge(16000, 2, 320, "int16")) == (
        "MicrophoneBridge(sample_rate=16000, channels=2, frames_per_buffer=320, "
        "format='int16', state='stopped')")
    assert repr(SpeakerBridge(48000, 2, "float32")) == (
        "SpeakerBridge(sample_rate=48000, channels=2, format='float32', state='stopped')")
    canceller = EchoCanceller(16000, suppression="off")
    canceller.flush()
    assert repr(canceller) == (
        "EchoCanceller(sample_rate=16000, channels=1, tail_ms=200, suppression='off', "
        "format='float32', state='flushed')")
    assert repr(murello.info(path)) == (
        "FileInfo(container='WAV', sample_rate=22050, channels=2, frames=2205, "
        "sample_format='16-bit PCM', duration=0.1)")


def test_metrics_are_tuples_with_named_fields():
    canceller = EchoCanceller(16000)
    canceller.process(np.zeros(3200, np.float32), np.zeros(3200, np.float32))
    metrics = canceller.metrics()
    assert isinstance(metrics, tuple) and len(metrics) == 9
    assert (metrics.delay, metrics.erle_db, metrics.padded) == (metrics[0], metrics[1], metrics[7])
    channel = metrics.channels[0]
    assert isinstance(channel, tuple) and channel.samples_without_delay == channel[4] == 3200
    assert repr(channel).startswith("ChannelEchoMetrics(delay=None, erle_db=0.0,")


def test_file_bridge_iterates_its_chunks_and_closes_as_a_context():
    with FileBridge.buffer(SILENCE * 3, 16000, numpy=True, format="float32") as source:
        chunks = list(source)
    assert sum(len(c) for c in chunks) == 4800 and all(c.dtype == np.float32 for c in chunks)
    assert repr(source).endswith("state='finished')")
    with FileBridge.buffer(SILENCE, 16000) as unread:
        pass
    assert repr(unread).endswith("state='closed')") and list(unread) == []
    with pytest.raises(ZeroDivisionError), FileBridge.buffer(SILENCE, 16000) as raising:
        1 / 0
    assert raising.read() is None


def test_the_shipped_model_is_the_default(tmp_path):
    words = np.zeros(16000, np.float32)
    windows, _ = FileBridge.buffer(words.tobytes(), 16000, vad=True).analyze()
    assert len(windows) == 31
    MicrophoneBridge(16000, 1, 320, "int16", vad=True)  # the model loads at construction
    with pytest.raises(murello.exceptions.VadModelLoadFailed, match="nowhere.onnx"):
        FileBridge.buffer(SILENCE, 16000, vad=True, model_path=tmp_path / "nowhere.onnx").read()


STUB_USER = """
    import murello
    from murello import EchoCanceller, FileBridge

    source: FileBridge = FileBridge.open("x.wav", sample_rate=16000)
    rate: int = source.sample_rate
    erle: float = EchoCanceller(16000).metrics().erle_db
    with FileBridge.open("x.wav") as opened:
        for chunk in opened:
            pass
    FileBridge.open("x.wav", sample_rate="16000")  # error: sample_rate is an int
    name: str = murello.info("x.wav").channels  # error: channels is an int
"""


def test_the_stubs_reach_type_checkers(tmp_path):
    package = Path(murello.__file__).parent
    assert (package / "py.typed").is_file() and (package / "_murello.pyi").is_file()
    pytest.importorskip("mypy")
    user = tmp_path / "user.py"
    user.write_text(textwrap.dedent(STUB_USER))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(tmp_path / "c"),
         str(user)], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["11", "12"], result.stdout


# What a refusal to bind arguments says, as opposed to a refusal of their values.
BINDING_ERROR = re.compile("unexpected keyword|invalid keyword|multiple values|given by name|"
                           "missing required|takes at most|takes exactly|takes no keyword")


def signed_callables():
    """The native module's classes, functions and static methods whose text signature
    names parameters (records built by CPython itself excepted)."""
    found = []
    for name, obj in sorted(vars(_murello).items()):
        candidates = [(name, obj)]
        if isinstance(obj, type):
            if issubclass(obj, tuple):
                continue
            candidates += [(f"{name}.{attr}", getattr(obj, attr))
                           for attr, value in vars(obj).items()
                           if isinstance(value, staticmethod) and not attr.startswith("__")]
        for label, function in candidates:
            try:
                parameters = list(inspect.signature(function).parameters.values())
            except (TypeError, ValueError):  # "..." stands for options listed elsewhere
                continue
            if parameters:
                found.append(pytest.param(function, parameters, id=label))
    return found


def binding_error(function, *args, **kwargs) -> str | None:
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return str(error) if BINDING_ERROR.search(str(error)) else None
    except Exception:  # a refused value: the arguments were bound
        pass
    return None


@pytest.mark.parametrize("function, parameters", signed_callables())
def test_text_signatures_are_what_the_parsers_bind(function, parameters):
    # Every split between positional and keyword arguments that the signature allows
    # binds (the values are then refused, before anything is opened or read); one
    # argument more, or a keyword it does not name, is refused while binding.
    for split in range(len(parameters) + 1):
        named = parameters[split:]
        if any(p.kind is p.POSITIONAL_ONLY for p in named):
            continue
        assert binding_error(function, *[None] * split, **{p.name: None for p in named}) is None
    assert binding_error(function, *[None] * (len(parameters) + 1)) is not None
    if parameters[-1].kind is not parameters[-1].POSITIONAL_ONLY:
        assert binding_error(function, **{p.name: None for p in parameters},
                             no_such_option=None) is not None
