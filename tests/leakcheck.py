"""The leak checks of the test suite, in three parts.

``assert_no_leak`` repeats an operation and fails when it leaves objects, references or memory behind. A
missing decref shows as a reference count of a watched object that keeps climbing, a leaked container as
growth of the collector's object list, and a leaked plain object (a str, a float) as memory traced by
tracemalloc that is never given back.

``Figures`` repeats many paths for the long runs of test_memory.py and tabulates resident memory, tracked
objects and allocated blocks before and after.

``checked_call`` runs every test's call under a reference-count check (conftest.py installs it): no test
needs to ask for it, and one that cannot be checked opts out by name.
"""

import gc
import os
import pathlib
import sys
import time
import tracemalloc
import warnings


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


# --- figures over many calls, for the long runs of test_memory.py --------------------------------------

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def snapshot():
    gc.collect()
    return resident_bytes(), len(gc.get_objects()), sys.getallocatedblocks()


class Figures:
    """Repeats each path and keeps what it measured, for the table and the verdict."""

    def __init__(self, calls, sanitized):
        self.rows = []
        self.problems = []
        self.calls = calls  # the repetitions of a path that names none
        self.sanitized = sanitized

    def check(self, name, operation, calls=None, expected=()):
        # Warnings pandas gives on some paths would be kept, one per call, by pytest's own record.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            self._repeat(name, operation, calls or self.calls, expected if isinstance(expected, tuple) else (expected,))

    def _repeat(self, name, operation, calls, expected):
        try:
            operation()
            outcome = "returns"
        except expected as error:
            outcome = type(error).__name__
        for _ in range(max(50, calls // 4)):  # caches, interned names, first-use allocations
            _run(operation, expected)
        rss_before, objects_before, blocks_before = snapshot()
        for _ in range(calls):
            _run(operation, expected)
        rss_after, objects_after, blocks_after = snapshot()
        self.rows.append(
            (name, outcome, calls, rss_before, rss_after, objects_before, objects_after, blocks_before, blocks_after)
        )
        # Anything kept per call grows by at least the number of calls; the interpreter's and pandas' own
        # caches, urllib and the service's threads move the counts by a few hundred at most, and level off.
        bound = 128 + calls // 2
        if objects_after - objects_before > bound:
            self.problems.append(f"{name}: {objects_after - objects_before} more tracked objects")
        # Without pymalloc (the sanitizer run) there are no blocks to count.
        if blocks_before and blocks_after - blocks_before > bound:
            self.problems.append(f"{name}: {blocks_after - blocks_before} more allocated blocks")
        # Under the sanitizers freed memory sits in quarantine, so resident memory only grows there.
        if not self.sanitized and rss_after - rss_before > 4 * 2**20:
            self.problems.append(f"{name}: resident memory grew by {(rss_after - rss_before) >> 10} KiB")

    def report(self, title, directory):
        """Keeps the figures in a file (NORVANE_FIGURES, which the test command sets under build/, or the
        test's own directory), then gives the verdict, with the figures when a check failed."""
        lines = [
            f"{title}: {'path':<58} {'outcome':<19} {'calls':>6} {'resident KiB':>21} "
            f"{'tracked objects':>17} {'allocated blocks':>19}"
        ]
        for name, outcome, calls, rss0, rss1, obj0, obj1, blk0, blk1 in self.rows:
            lines.append(
                f"{'':{len(title) + 2}}{name:<58} {outcome:<19} {calls:>6} {rss0 >> 10:>10}->{rss1 >> 10:<10}"
                f" {obj0:>8}->{obj1:<8} {blk0:>9}->{blk1:<9}"
            )
        text = "\n".join(lines)
        path = pathlib.Path(os.environ.get("NORVANE_FIGURES") or directory / "memory_figures.txt")
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "a") as figures:
            figures.write(text + "\n")
        assert not self.problems, "\n".join(self.problems) + f"\n(all figures in {path})\n" + text


# --- every test under the check --------------------------------------------------------------------------
#
# Each test's call runs under a reference-count check, as greenlet runs each of its tests: after the call,
# every reference to a watched object must be held by some object the collector can see. A reference no
# object holds is a leaked one (a missing decref), whatever path of the native code made it. Watched are
# what the native modules define (their classes, functions and enum members, whose counts every leaked
# instance or argument raises) and the objects of their making the call left alive (instances of
# norvane's classes and exceptions). A test that cannot be checked says so, with a reason:
#
#     @pytest.mark.leaks_unchecked("the reason")
#
# Only references are counted here; ``assert_no_leak`` above also finds a leaked str or float, by memory.
#
# The check stays cheap because everything alive before a test's call is frozen out of the collector's
# view (``gc.freeze``): its collections, and the search for holders, look at what the test made, and the
# whole heap is searched only when that leaves a reference unaccounted for.

_NATIVE_MODULES = (
    "norvane.kestrum_utils.priceable.futures",
    "norvane.kestrum_utils.inibridge.inibridge",
    "norvane.kestrum_data.utility.timeseries.samplers",
    "norvane.kestrum_data.utility.timeseries.bars",
)
_REFREEZE_EVERY = 200  # tests between full collections, so that garbage frozen meanwhile is freed
_calls_checked = 0


def _from_norvane(value):
    # Read without running the object's own code: tests hand hostile objects around.
    try:
        module = object.__getattribute__(value, "__module__")
    except Exception:  # noqa: BLE001 - no readable module is not norvane's
        return False
    return isinstance(module, str) and module.startswith("norvane")


def _watched_objects():
    """The classes, functions and enum members the native modules hold, and the members of those classes."""
    watched = []
    for name in _NATIVE_MODULES:
        module = sys.modules.get(name)
        for value in vars(module).values() if module is not None else ():
            if _from_norvane(value) or _from_norvane(type(value)):
                watched.append(value)
                if isinstance(value, type):
                    watched.extend(member for member in vars(value).values() if _from_norvane(type(member)))
    return list({id(obj): obj for obj in watched}.values())


def _made_by_the_call():
    """Objects made since the freeze and still alive that the native code makes: instances of the package's
    classes (not of the development tools, whose service threads hold theirs on their stacks) and
    exceptions."""
    made = []
    for obj in gc.get_objects():
        kind = type(obj)
        module = kind.__dict__.get("__module__", "")
        if (isinstance(module, str) and module.startswith("norvane.kestrum")) or issubclass(kind, BaseException):
            made.append(obj)
    return made


def _held(objects):
    """For each object, the references to it that objects the collector sees hold."""
    wanted = {id(obj): 0 for obj in objects}
    for holder in gc.get_referrers(*objects):
        if holder is objects:
            continue
        for referent in gc.get_referents(holder):
            if id(referent) in wanted:
                wanted[id(referent)] += 1
    return [wanted[id(obj)] for obj in objects]


def _unaccounted(objects, before):
    """The objects with references that no visible object holds, and how many.

    ``before`` holds each object's reference count before the call, or None for one the call made. First,
    cheaply: what the call added must be held by what the call made (all the collector sees outside the
    frozen objects). What is not is then counted against every holder on the heap.
    """
    # getrefcount's argument, the comprehension's variable and the list `objects`: what this check holds.
    counts = [sys.getrefcount(obj) - 3 for obj in objects]
    held = _held(objects)
    suspects = [obj for obj, count, by, was in zip(objects, counts, held, before) if count - (was or 0) > by]
    if not suspects:
        return {}
    gc.unfreeze()
    try:
        counts = [sys.getrefcount(obj) - 3 for obj in suspects]
        held = _held(suspects)
    finally:
        gc.freeze()
    return {_describe(obj): count - by for obj, count, by in zip(suspects, counts, held) if count > by}


def _describe(obj):
    try:
        return repr(obj)[:100]
    except Exception:  # noqa: BLE001 - a hostile repr
        return f"<{type(obj).__qualname__} object at {id(obj):#x}>"


def checked_call(item):
    """The test's call (``yield``), failed when it leaves a reference no object holds."""
    if item.get_closest_marker("leaks_unchecked") is not None:
        return (yield)
    global _calls_checked
    _calls_checked += 1
    if _calls_checked % _REFREEZE_EVERY == 0:
        gc.unfreeze()
    gc.collect()
    gc.freeze()
    watched = _watched_objects()
    before = {id(obj): sys.getrefcount(obj) - 3 for obj in watched}  # as _unaccounted counts them
    result = yield
    gc.collect()
    objects = watched + _made_by_the_call()
    leaked = _unaccounted(objects, [before.get(id(obj)) for obj in objects])
    for _ in range(3):
        if not leaked:
            break
        # Another thread (the test service's handlers) may still hold what it raised on its stack, where
        # the collector does not look: give it a moment, then count again.
        time.sleep(0.1)
        gc.collect()
        leaked = _unaccounted(objects, [before.get(id(obj)) for obj in objects])
    del objects
    gc.freeze()
    assert not leaked, f"references that no object holds (leaked) after the test: {leaked}"
    return result
