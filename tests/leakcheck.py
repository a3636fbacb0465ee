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


def _round(operation, watched, calls, expected, bytes_per_call):
    """One measured round of ``calls`` calls; what it found wrong, if anything."""
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
    if after != references:
        return f"reference counts moved from {references} to {after}"
    if len(gc.get_objects()) - objects >= calls // 4:
        return "tracked objects accumulate"
    # Under the sanitizer runtime the interpreter's own file opening keeps memory per call, so only the
    # object and reference checks hold there.
    if not os.environ.get("NORVANE_SANITIZED") and grown >= calls * bytes_per_call:
        return f"{grown} bytes stayed allocated after {calls} calls"
    return None


def assert_no_leak(operation, *watched, calls=400, expected=None, bytes_per_call=16):
    """Call ``operation`` ``calls`` times; ``expected`` names exceptions that belong to the path tested."""
    for _ in range(max(20, calls // 10)):
        _run(operation, expected)
    # A leak shows in every round. Once in a while a round is disturbed from outside the operation (a cache
    # of pandas or the interpreter evicting an entry, free lists filling up), so one such round is repeated.
    problem = _round(operation, watched, calls, expected, bytes_per_call)
    if problem is not None:
        problem = _round(operation, watched, calls, expected, bytes_per_call)
    assert problem is None, problem
