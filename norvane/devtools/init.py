"""Writes a commented norvane.ini to start a project from.

    python -m norvane.devtools.init [DIR] [--url URL] [--cache-dir PATH]

DIR (the working directory by default) becomes a project root: programs started in it or in any
directory below it read this file. An existing norvane.ini is never overwritten.
"""

import argparse
import os
import pathlib
import sys

from norvane.kestrum_utils.utils import CONFIG_FILE_NAME

DEFAULT_URL = "http://127.0.0.1:8765/instruments"  # the development service's usual address
DEFAULT_CACHE = pathlib.Path(".cache") / "instrument_info"

TEMPLATE = """\
# Configuration of the norvane package. A process reads it once, from the project root: the directory
# pinned with norvane.kestrum_utils.utils.set_project_root(path), else the nearest directory at or above
# the working directory that holds a norvane.ini. Lines starting with # are comments; a key is read
# case-insensitively, a section name exactly as written.

[data_related]

# Base address of the instrument reference-data service; each query is appended to it verbatim.
# The development service answers at http://127.0.0.1:8765/instruments once started with
#   python -m norvane.devtools.refdata_service --port 8765
InstrumentInfoUrl = {url}

# Folder of the instrument-information cache (one JSON file per query), created when missing.
# Written as an absolute path, so that every process shares this one cache wherever it starts.
# A relative path is taken from the working directory of each process, not from this file's folder:
# a program started in a subdirectory would then keep a second cache there.
LOCAL_DATA_CACHE_DIR = {cache_dir}

# Optional: seconds (a positive number) one request to the service may take as a whole: connecting,
# the status and the entire answer. A request that runs out is a failed attempt, logged and retried
# (5 attempts in all). Without this key a request is bounded only by the default socket time-out.
InstrumentInfoTimeout = 10

# Optional: how old a cache file may grow before a lookup fetches it again: seconds, or a duration such
# as 90m, 12h, 30d or 1d12h (units s, m, h, d, w). The file is replaced only when the service answers;
# while it does not, the stored records still answer, and a WARNING names the file and its age.
# Without this key cache files never expire; `python -m norvane.devtools.cache refresh IDENTIFIER`
# fetches one again now.
# InstrumentInfoMaxAge = 30d
"""


def render(directory, url=DEFAULT_URL, cache_dir=None):
    """The file's text for a project rooted at ``directory`` (an absolute cache folder unless given)."""
    directory = pathlib.Path(directory).absolute()
    cache = directory / DEFAULT_CACHE if cache_dir is None else pathlib.Path(cache_dir)
    values = {}
    for key, name, value in (("url", "--url", url), ("cache_dir", "--cache-dir", str(cache))):
        # One line each: a line break would start a key or a section of its own.
        if not value.strip() or any(c in value for c in "\r\n"):
            raise ValueError(f"{name} {value!r}: needs a single, non-empty line")
        values[key] = value.strip().replace("%", "%%")  # the parser reads %% as % (and %(...)s as a reference)
    return TEMPLATE.format(**values)


def write(directory, url=DEFAULT_URL, cache_dir=None):
    """Writes ``directory/norvane.ini``; raises FileExistsError and leaves the file alone if there is one."""
    path = pathlib.Path(directory).absolute() / CONFIG_FILE_NAME
    text = render(directory, url, cache_dir)
    # "x": created only if absent, in one step, so a file made meanwhile by someone else is not replaced.
    with open(path, "x", encoding="utf-8") as stream:
        stream.write(text)
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m norvane.devtools.init", description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "directory",
        nargs="?",
        default=".",
        type=pathlib.Path,
        help="the project root to write norvane.ini into (default: the working directory)",
    )
    parser.add_argument(
        "--url",
        default=DEFAULT_URL,
        help=f"InstrumentInfoUrl, the reference-data service's address (default: {DEFAULT_URL})",
    )
    parser.add_argument(
        "--cache-dir", help=f"LOCAL_DATA_CACHE_DIR (default: DIR/{DEFAULT_CACHE.as_posix()}, made absolute)"
    )
    args = parser.parse_args(argv)

    if not args.directory.is_dir():
        parser.exit(2, f"{parser.prog}: error: {args.directory} is not a directory\n")
    try:
        path = write(args.directory, args.url, args.cache_dir)
    except FileExistsError:
        existing = args.directory.absolute() / CONFIG_FILE_NAME
        parser.exit(
            1, f"{parser.prog}: {existing} already exists; left as it is (edit it, or remove it to write a fresh one)\n"
        )
    except ValueError as error:
        parser.exit(2, f"{parser.prog}: error: {error}\n")
    except OSError as error:
        parser.exit(1, f"{parser.prog}: error: cannot write {error.filename}: {error.strerror}\n")
    print(f"wrote {path}")
    print(
        f"programs started in {path.parent}{os.sep} or below now read it; "
        "edit InstrumentInfoUrl if the service runs elsewhere"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
