"""Small process-wide helpers: locating the project root and singletons."""

import os
import threading
import weakref
from pathlib import Path

CONFIG_FILE_NAME = "norvane.ini"

_project_root_override = None


def set_project_root(path):
    """Pin the project root to ``path``, or go back to searching with ``None``.

    A relative path is made absolute against the current working directory now,
    so later changes of directory do not move the root.
    """
    global _project_root_override
    _project_root_override = None if path is None else Path(os.fspath(path)).absolute()


def get_project_root():
    """The directory that holds the project's ``norvane.ini``, as a ``Path``.

    The root pinned by ``set_project_root`` wins; otherwise the nearest directory
    at or above the current working directory that holds a ``norvane.ini``;
    otherwise the current working directory itself.
    """
    if _project_root_override is not None:
        return _project_root_override
    cwd = Path.cwd()
    for directory in (cwd, *cwd.parents):
        # exists(), not is_file(): the configuration loader applies the same test.
        if (directory / CONFIG_FILE_NAME).exists():
            return directory
    return cwd


_singleton_wrappers = weakref.WeakSet()
_UNBUILT = object()


def singleton(cls):
    """Replace ``cls`` by a factory that builds one instance and then keeps returning it.

    A construction that raises caches nothing, so the next call tries again.
    Arguments are accepted only while no instance exists: passing some once the
    instance is built raises TypeError rather than silently ignoring them.
    ``factory.reset()`` drops the kept instance (``reset_singletons()`` drops all
    of them), and ``factory.__wrapped__`` is the class itself.
    """
    lock = threading.RLock()
    # The instance, or _UNBUILT: one read answers both "is there one" and "which", so a reset() running
    # between two reads can never hand a caller a dropped (None) instance.
    kept = [_UNBUILT]

    def factory(*args, **kwargs):
        instance = kept[0]
        if instance is _UNBUILT:
            # Two threads racing on the first call must not build two instances.
            with lock:
                instance = kept[0]
                if instance is _UNBUILT:
                    instance = kept[0] = cls(*args, **kwargs)
                    return instance
        if args or kwargs:
            raise TypeError(f"{cls.__qualname__}() is a singleton that is already built; it takes no arguments now")
        return instance

    def reset():
        with lock:
            kept[0] = _UNBUILT

    def peek():
        """The kept instance, or None when none is built; never builds."""
        instance = kept[0]
        return None if instance is _UNBUILT else instance

    for name in ("__module__", "__name__", "__qualname__", "__doc__"):
        try:
            setattr(factory, name, getattr(cls, name))
        except AttributeError:
            pass
    factory.__wrapped__ = cls
    factory.reset = reset
    factory.peek = peek
    _singleton_wrappers.add(factory)
    return factory


def reset_singletons():
    """Drop the instance of every singleton, so the next call of each builds anew."""
    for factory in list(_singleton_wrappers):
        factory.reset()
