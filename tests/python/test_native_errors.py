"""No C++ exception reaches the interpreter: the binding turns them into Python errors."""

from __future__ import annotations

import pytest

from conftest import run_python


def test_allocation_failure_is_a_memory_error_and_the_interpreter_lives_on():
    # The address space is capped just above what the process holds with the input made,
    # so converting 400 MB of samples cannot be done.
    code = """
import resource
from murello._murello import FileBridge
samples = b"\\0" * 400_000_000
with open("/proc/self/statm") as statm:
    pages = int(statm.read().split()[0])
limit = pages * resource.getpagesize() + 64 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    FileBridge.buffer(samples, 16000)
except MemoryError:
    print("MemoryError")
del samples
print(len(FileBridge.buffer(b"\\0" * 400, 16000).read()))
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "200"]


def test_every_native_exception_becomes_a_python_error(probe):
    for what, error, text in [
        ("alloc", MemoryError, ""),
        ("length", MemoryError, ""),
        ("runtime", RuntimeError, "native failure"),
        ("other", RuntimeError, "unknown native exception"),
    ]:
        with pytest.raises(error) as info:
            probe.throw_native(what)
        assert str(info.value) == text
