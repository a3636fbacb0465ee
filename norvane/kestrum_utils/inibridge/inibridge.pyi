# Type stub of the native configuration loader module.

import configparser as configparser
from collections.abc import Callable
from pathlib import Path as Path
from typing import Generic, TypeVar, type_check_only

from norvane.kestrum_utils.utils import get_project_root as get_project_root
from norvane.kestrum_utils.utils import singleton as singleton

_T = TypeVar("_T")

# The class that the module defines under the name Inibridge. The module exports not the
# class but what singleton() made of it, so the class is reachable only as
# Inibridge.__wrapped__ and its instance only through Inibridge().
@type_check_only
class _InibridgeLoader:
    """The process's configuration loader: ``norvane.ini`` of the project root, parsed once.

    The project root is the directory set with ``norvane.kestrum_utils.utils.set_project_root``,
    else the nearest directory at or above the working directory holding a ``norvane.ini``.
    """

    _raw_config_parser: configparser.ConfigParser

    def __init__(self) -> None:
        """Reads ``norvane.ini`` from the project root.

        Raises ``Exception`` "config file not exist, which path should be ..." when it is
        missing, and ``configparser``'s errors for a malformed file.
        """
    def set_config_file(self, config_path: Path) -> None:
        """Reads one more file on top of what is loaded; its sections and keys win.

        Raises ``Exception`` "config file not exist, ..." (nothing changes) for a missing file.
        """
    @property
    def config(self) -> configparser.ConfigParser:
        """The one parser of the process, not a copy: ``config["data_related"]["InstrumentInfoUrl"]``.

        Keys are case-insensitive, sections are not; a missing one raises ``KeyError``.
        """

# What singleton() returns: a function that builds the instance on its first call and
# returns that same instance afterwards.
@type_check_only
class _SingletonFactory(Generic[_T]):
    __wrapped__: type[_T]
    def __call__(self) -> _T:
        """The process's one loader, built (and the file read) on the first call."""
    def reset(self) -> None:
        """Drops the kept loader, so the next call reads the configuration anew (for tests)."""
    def peek(self) -> _T | None:
        """The kept loader, or None before the first call; never builds."""

@type_check_only
def _singleton_factory(build: Callable[[], _T]) -> _SingletonFactory[_T]: ...

# Declared as a decorated function so that its call signature is still compared with
# the runtime one.
@_singleton_factory
def Inibridge() -> _InibridgeLoader:
    """The process's one configuration loader; read its ``config``.

    The first call reads ``norvane.ini`` from the project root and raises ``Exception``
    "config file not exist, which path should be ..." when there is none.
    """
