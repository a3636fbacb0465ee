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
    _raw_config_parser: configparser.ConfigParser

    # Reads norvane.ini from the project root.
    def __init__(self) -> None: ...
    # Reads one more file on top of what is loaded; its sections and keys win.
    def set_config_file(self, config_path: Path) -> None: ...
    # The one parser of the process, not a copy.
    @property
    def config(self) -> configparser.ConfigParser: ...

# What singleton() returns: a function that builds the instance on its first call and
# returns that same instance afterwards.
@type_check_only
class _SingletonFactory(Generic[_T]):
    __wrapped__: type[_T]
    def __call__(self) -> _T: ...
    # Drops the kept instance, so the next call builds anew.
    def reset(self) -> None: ...
    # The kept instance, or None before the first call; never builds.
    def peek(self) -> _T | None: ...

@type_check_only
def _singleton_factory(build: Callable[[], _T]) -> _SingletonFactory[_T]: ...

# Declared as a decorated function so that its call signature is still compared with
# the runtime one.
@_singleton_factory
def Inibridge() -> _InibridgeLoader: ...
