"""norvane: crypto-currency futures instruments, configuration and time-series sampling, with native cores.

``norvane.__version__`` is the version of the distribution this package was installed from; a checkout
imported in place (its ``pyproject.toml`` beside this package) reports the version that file declares,
which is what the imported code is, even when another version is installed in the same environment.
"""

from typing import TYPE_CHECKING

__all__ = ["__version__"]

if TYPE_CHECKING:
    __version__: str


def _find_version():
    import pathlib

    checkout = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    if checkout.is_file():
        import tomllib

        try:
            project = tomllib.loads(checkout.read_text(encoding="utf-8")).get("project", {})
        except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError):
            project = {}
        if project.get("name") == "norvane" and isinstance(project.get("version"), str):
            return project["version"]
    from importlib import metadata

    try:
        return metadata.version("norvane")
    except metadata.PackageNotFoundError:
        # Neither installed nor a checkout: a copy of the package directory on its own.
        return "0+unknown"


def __getattr__(name):
    # Found on first use, not at import: the metadata machinery costs milliseconds that every import of a
    # norvane module would otherwise pay.
    if name == "__version__":
        version = globals()["__version__"] = _find_version()
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
