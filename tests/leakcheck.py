"""Repeats an operation and fails when it leaves objects, references or memory behind.

A missing decref shows as a reference count of a watched object that keeps climbing, a leaked container
as growth of the collector's object list, and a leaked plain object (a str, a float) as memory traced by
tracemalloc that is never given back.
"""

import gc
import os
import sys
import tracemalloc


def _run(operation, expected):
    try:
        operation()
    except BaseException as error:  # noqa: B036 - re-raised unless the caller expects it
        if expected is None or not isinstance(error, expected):
            raise


def assert_no_leak(operation, *watched, calls=400, expected=None, bytes_per_call=16):
    """Call ``operation`` ``calls`` times; ``expected`` names exceptions that belong to the path tested."""
    for _ in range(max(20, calls // 10)):
        _run(operation, expected)
    gc.collect()
    references = [sys.getrefcount(obj) for obj in watched]
    objects = len(gc.get_objects())
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            _run(operation, expected)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == references, f"reference counts moved from {references} to {after}"
    assert len(gc.get_objects()) - objects < calls // 4, "tracked objects accumulate"
    # Under the sanitizer runtime the interpreter's own file opening keeps memory per call, so only the
    # object and reference checks hold there.
    if not os.environ.get("NORVANE_SANITIZED"):
        assert grown < calls * bytes_per_call, f"{grown} bytes stayed allocated after {calls} calls"
