"""Look into the instrument-information cache and make single entries fetch again.

    python -m norvane.devtools.cache list
    python -m norvane.devtools.cache show NAME_OR_IDENTIFIER
    python -m norvane.devtools.cache forget IDENTIFIER...
    python -m norvane.devtools.cache forget --older-than DURATION     (e.g. 90m, 12h, 7d, 1d12h)
    python -m norvane.devtools.cache refresh IDENTIFIER...
    python -m norvane.devtools.cache refresh --older-than DURATION

Each command takes ``--dir DIR``; without it the directory is ``LOCAL_DATA_CACHE_DIR`` of the project's
``norvane.ini``, read through ``Inibridge`` as the futures module reads it (a relative path is taken
against the current directory, as a build takes it).

A cache file is named by the SHA-256 digest of the address a build asks the reference-data service, so an
identifier (``EXCHANGE.BASE-QUOTE.FUTURE|PERP.LINEAR|INVERSE.CCY.EXPIRY``) finds its file two ways: by the
address a build of it would ask under the configured ``InstrumentInfoUrl``, and by content, a file whose
records all describe that instrument (which also finds entries fetched from another service address).

``forget`` unlinks whole ``<sha256>.json`` files only, so a process that has one open keeps reading it
whole, and the next build fetches the entry again. ``refresh`` asks the service again (through
``CryptoFuture.get_instrument_info`` with ``cache=False``) and replaces an entry only when that succeeds,
as a build writes one: into a temporary file beside it, forced to disk and renamed over it; it says what
changed (tick, multiplier, quantity unit). Files being written (``*.tmp``) are neither listed nor touched;
names of the entries' form on anything but a regular file are reported and skipped.
"""

import argparse
import hashlib
import json
import os
import re
import secrets
import stat
import sys
import time

IDENTIFIER_LAYOUT = "EXCHANGE.BASE-QUOTE.FUTURE|PERP.LINEAR|INVERSE.CCY.EXPIRY"
IDENTIFIER_EXAMPLE = "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225"

# Only finished entries: a writer's temporary file never has this form.
CACHE_FILE_NAME = re.compile(r"[0-9a-f]{64}\.json")

# The record fields that identify an instrument, as the service spells them.
RECORD_KEYS = ("exchange", "symbol", "security_type", "contract_type", "expiry_date")
# The fields a build cannot do without.
REQUIRED_KEYS = ("price_tick_size", "limit_min_quantity")

_DURATION_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}
_DURATION_PART = re.compile(r"(\d+(?:\.\d+)?)([smhdw])")


class CacheToolError(Exception):
    """A problem the user can fix; reported as one line and exit status 2."""


# -- how a build names its cache file ----------------------------------------------------------------


def query_address(
    base, symbol=None, exchange=None, security_type=None, contract_type=None, expiry_date=None, externalSymbol=None
):
    """The address ``CryptoFuture.get_instrument_info`` asks for these arguments.

    The parameters that are given (not None, not empty) follow the base in this fixed order, values
    verbatim; "UNSPECIFIED" as contract type or expiry date is left out.
    """
    params = [
        ("externalSymbol", externalSymbol, False),
        ("symbol", symbol, False),
        ("exchange", exchange, False),
        ("security_type", security_type, False),
        ("contract_type", contract_type, True),
        ("expiry_date", expiry_date, True),
    ]
    given = [
        f"{name}={value}"
        for name, value, drops_unspecified in params
        if value and not (drops_unspecified and value == "UNSPECIFIED")
    ]
    return base + "?" + "&".join(given) if given else base


def cache_file_name(address):
    return hashlib.sha256(address.encode()).hexdigest() + ".json"


def lookup_fields(identifier):
    """The lookup arguments a build of the instrument named ``identifier`` passes.

    The fields of an instrument's own identifier are the attributes its build looks up with; the currency
    field takes no part in the lookup.
    """
    fields = identifier.split(".")
    if len(fields) != 6 or not all(fields):
        raise CacheToolError(
            f"{identifier!r} is not an instrument identifier: expected six fields "
            f"{IDENTIFIER_LAYOUT}, e.g. {IDENTIFIER_EXAMPLE}"
        )
    exchange, symbol, security_type, contract_type, _ccy, expiry_date = fields
    return {
        "symbol": symbol,
        "exchange": exchange,
        "security_type": security_type,
        "contract_type": contract_type,
        "expiry_date": expiry_date,
    }


# -- reading the cache ---------------------------------------------------------------------------------


class NotACacheFile(Exception):
    """A name of the entries' form on something that is no regular file (a directory, a FIFO, ...)."""


def file_kind(mode):
    for test, kind in (
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISSOCK, "a socket"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
    ):
        if test(mode):
            return kind
    return "no regular file"


def json_kind(value):
    if isinstance(value, bool) or value is None:
        return json.dumps(value)
    return {dict: "an object", list: "an array", str: "a string"}.get(type(value), "a number")


def damage(content):
    """Why ``content`` is not a list of records a build can use, or None."""
    if not isinstance(content, list):
        return f"not a list of records ({json_kind(content)})"
    for record in content:
        if not isinstance(record, dict):
            return f"not a list of records (holds {json_kind(record)})"
        missing = [key for key in REQUIRED_KEYS if key not in record]
        if missing:
            return f"a record without {missing[0]}"
    return None


class Entry:
    """One finished cache file: its records, or why they could not be read."""

    def __init__(self, directory, name):
        self.name = name
        self.path = os.path.join(directory, name)
        self.records = None
        self.problem = None
        # Opened without waiting, and examined before it is read: a FIFO would block the open (and a device
        # could be read without end). The mtime of the file renamed into place is when its entry was fetched.
        descriptor = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)
        try:
            status = os.fstat(descriptor)
            if not stat.S_ISREG(status.st_mode):
                raise NotACacheFile(file_kind(status.st_mode))
        except BaseException:
            os.close(descriptor)
            raise
        self.written = status.st_mtime
        with os.fdopen(descriptor, "rb") as file:
            try:
                content = json.loads(file.read())
            except Exception as error:  # noqa: BLE001 - any damage (bad bytes, too deep) is reported, not raised
                self.problem = f"unreadable: {type(error).__name__}: {error}"
                return
        self.problem = damage(content)
        if self.problem is None:
            self.records = content
        else:
            self.problem = f"unreadable: {self.problem}"

    def describes(self, fields):
        """True when the file holds records and every one of them is the instrument of ``fields``."""
        return bool(self.records) and all(
            all(scalar_text(record.get(key)) == fields[key] for key in RECORD_KEYS) for record in self.records
        )


def read_entries(directory):
    """The finished cache files of ``directory``, skipping any removed while it is being read.

    Anything else bearing an entry's name (a directory, a FIFO, ...) is reported on standard error and
    skipped.
    """
    try:
        names = sorted(name for name in os.listdir(directory) if CACHE_FILE_NAME.fullmatch(name))
    except FileNotFoundError:
        return []
    except NotADirectoryError:
        raise CacheToolError(f"{printable(directory)} is not a directory") from None
    except OSError as error:
        raise CacheToolError(f"cannot list {printable(directory)}: {error.strerror or error}") from None
    entries = []
    for name in names:
        try:
            entries.append(Entry(directory, name))
        except FileNotFoundError:
            continue
        except NotACacheFile as kind:
            print(f"skipped {name}: {kind}, not a cache file", file=sys.stderr)
        except OSError as error:
            print(f"skipped {name}: {printable(str(error))}", file=sys.stderr)
    return entries


def configured(key):
    """``Inibridge().config["data_related"][key]``, looked up as a build looks it up."""
    from norvane.kestrum_utils.inibridge.inibridge import Inibridge

    return Inibridge().config["data_related"][key]


def cache_directory(given):
    if given is not None:
        return given
    try:
        return configured("LOCAL_DATA_CACHE_DIR")
    except Exception as error:
        raise CacheToolError(
            f"cannot read LOCAL_DATA_CACHE_DIR from norvane.ini ({type(error).__name__}: "
            f"{error}); run from the project directory or pass --dir"
        ) from None


def service_address():
    """The configured ``InstrumentInfoUrl``, or None when there is none to read (then only content matches)."""
    try:
        return configured("InstrumentInfoUrl")
    except Exception:
        return None


def entries_for(identifier, entries, base):
    """The entries a build of ``identifier`` would read: by its address under ``base``, and by content."""
    fields = lookup_fields(identifier)
    by_address = cache_file_name(query_address(base, **fields)) if base is not None else None
    return [entry for entry in entries if entry.name == by_address or entry.describes(fields)]


# -- presenting --------------------------------------------------------------------------------------

_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escaped(char):
    code = ord(char)
    if char in _ESCAPES:
        return _ESCAPES[char]
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def printable(text):
    """``text`` with every character a terminal would act on (line breaks, escapes, ...) written as an
    escape, so that a record cannot break a line of the listing or steer the terminal."""
    text = str(text)
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else _escaped(char) for char in text)


def scalar_text(value):
    """The text of a JSON scalar as ``str`` writes it; None for an array or an object."""
    return None if isinstance(value, (list, dict)) else str(value)


def cell(value):
    text = scalar_text(value)
    return f"<{json_kind(value).split()[-1]}>" if text is None else printable(text)


def format_age(seconds):
    """The largest unit and the next one when not zero, e.g. 45s, 12m5s, 3h, 2d3h."""
    seconds = max(0, int(seconds))
    units = (("d", 86400), ("h", 3600), ("m", 60), ("s", 1))
    for at, (unit, size) in enumerate(units):
        if seconds >= size or unit == "s":
            text = f"{seconds // size}{unit}"
            if unit != "s":
                smaller, smaller_size = units[at + 1]
                rest = seconds % size // smaller_size
                text += f"{rest}{smaller}" if rest else ""
            return text


def parse_duration(text):
    """Seconds in a duration such as 90s, 15m, 12h, 7d, 2w or 1d12h."""
    position, total = 0, 0.0
    for match in _DURATION_PART.finditer(text):
        if match.start() != position:
            break
        total += float(match.group(1)) * _DURATION_UNITS[match.group(2)]
        position = match.end()
    if not text or position != len(text):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a duration: give a number and a unit s, m, h, d or w, e.g. 90m, 12h, 7d, 1d12h"
        )
    return total


def multiplier_text(record):
    # As a build stores it: contract sizes below one (or absent) count as 1.
    size = record.get("contract_size", 1.0)
    try:
        return cell(1.0 if 1.0 > size else size)
    except TypeError:
        return cell(size)


def list_row(entry, now):
    age = format_age(now - entry.written)
    if entry.problem is not None:
        return ["-", "-", "-", "-", "-", age, f"{entry.name} ({printable(entry.problem)})"]
    if not entry.records:
        return ["-", "-", "-", "-", "-", age, f"{entry.name} (no records)"]
    # A file of several records (a lookup by fewer fields) shows what they share and * where they differ.
    columns = [
        [cell(record.get(key, "?")) for record in entry.records]
        for key in ("exchange", "symbol", "expiry_date", "price_tick_size")
    ]
    columns.append([multiplier_text(record) for record in entry.records])
    cells = [values[0] if len(set(values)) == 1 else "*" for values in columns]
    note = f" ({len(entry.records)} records)" if len(entry.records) > 1 else ""
    return [*cells, age, entry.name + note]


def print_table(rows):
    widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]) - 1)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[-1])


def describe(entry, now, address=None):
    print(f"file     {printable(os.path.abspath(entry.path))}")
    written = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(entry.written))
    print(f"written  {written} ({format_age(now - entry.written)} ago)")
    if address is not None:
        print(f"address  {printable(address)}")
    if entry.problem is not None:
        print(printable(entry.problem))
        return
    print(f"records  {len(entry.records)}")
    try:
        # JSON escapes every control character (and all that is not ASCII) in its strings.
        print(json.dumps(entry.records, indent=2))
    except RecursionError:
        print("(nested too deeply to print)")


# -- commands ------------------------------------------------------------------------------------------


def command_list(args):
    entries = read_entries(args.directory)
    if not entries:
        print(f"no cache entries in {args.directory}", file=sys.stderr)
        return 0
    now = time.time()
    rows = sorted(list_row(entry, now) for entry in entries)
    print_table([["EXCHANGE", "SYMBOL", "EXPIRY", "TICK", "MULTIPLIER", "AGE", "FILE"], *rows])
    return 0


def command_show(args):
    entries = read_entries(args.directory)
    wanted = args.name.removesuffix(".json").lower()
    now = time.time()
    if re.fullmatch(r"[0-9a-f]{4,64}", wanted):
        found = [entry for entry in entries if entry.name.startswith(wanted)]
        if len(found) != 1:
            reason = "no cache file" if not found else f"{len(found)} cache files"
            raise CacheToolError(f"{reason} in {args.directory} named {args.name}...")
        describe(found[0], now)
        return 0
    base = service_address()
    address = query_address(base, **lookup_fields(args.name)) if base is not None else None
    found = entries_for(args.name, entries, base)
    if not found:
        would = f"; a build would write {cache_file_name(address)}" if address is not None else ""
        print(f"{args.name} is not cached in {args.directory}{would}", file=sys.stderr)
        return 1
    for number, entry in enumerate(found):
        if number:
            print()
        describe(entry, now, address if address is not None and entry.name == cache_file_name(address) else None)
    return 0


def forget(entry, why):
    """True when the entry is gone; a failure to remove it is reported and the caller carries on."""
    try:
        os.unlink(entry.path)
    except FileNotFoundError:
        return True  # removed meanwhile by someone else: forgotten all the same
    except OSError as error:
        print(f"could not forget {entry.name}: {printable(str(error))}", file=sys.stderr)
        return False
    print(f"forgot {entry.name} ({printable(why)})")
    return True


def command_forget(args):
    entries = read_entries(args.directory)
    if args.older_than is not None:
        if args.identifiers:
            raise CacheToolError("give identifiers or --older-than, not both")
        cutoff = time.time() - args.older_than
        status = 0
        for entry in entries:
            try:
                # Judged on the file as it is now: a writer may have replaced it since it was read.
                written = os.stat(entry.path).st_mtime
            except FileNotFoundError:
                continue
            if written < cutoff and not forget(entry, f"{format_age(time.time() - written)} old"):
                status = 1
        return status
    if not args.identifiers:
        raise CacheToolError("forget what? give instrument identifiers or --older-than DURATION")
    for identifier in args.identifiers:
        lookup_fields(identifier)  # refuse a malformed identifier before removing anything
    base = service_address()
    status = 0
    for identifier in args.identifiers:
        found = entries_for(identifier, entries, base)
        if not found:
            print(f"{identifier} is not cached in {args.directory}", file=sys.stderr)
            status = 1
        for entry in found:
            if not forget(entry, identifier):
                status = 1
    return status


def write_entry(directory, name, records):
    """Replaces (or creates) the entry ``name`` as a build writes it: ``json.dump`` into a fresh file
    beside it, forced to disk, renamed over it, and the directory synced, so that no reader ever meets a
    half-written entry. The temporary name is the one a build uses, so a write cut short is cleaned up by
    the next build of the entry."""
    path = os.path.join(directory, name)
    temporary = f"{path}.{os.getpid()}-{secrets.token_hex(8)}.tmp"
    try:
        with open(temporary, "x") as file:
            json.dump(records, file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    descriptor = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def economics(records):
    """(tick, multiplier, quantity unit) of the record a build takes, the first, as the listing shows them."""
    record = records[0]
    return (
        cell(record.get("price_tick_size", "?")),
        multiplier_text(record),
        cell(record.get("limit_min_quantity", "?")),
    )


def changes(before, after):
    names = ("tick", "multiplier", "quantity unit")
    now = economics(after)
    if before is None:
        return ", ".join(f"{name} {value}" for name, value in zip(names, now))
    was = economics(before)
    if was == now:
        return "unchanged (" + ", ".join(f"{name} {value}" for name, value in zip(names, now)) + ")"
    return ", ".join(
        f"{name} {old} -> {new}" if old != new else f"{name} {new} (unchanged)"
        for name, old, new in zip(names, was, now)
    )


def refresh(directory, base, label, fields, entry):
    """Fetches the entry of ``fields`` again and writes it over ``entry`` (None when there is none yet);
    True when it was replaced."""
    from norvane.kestrum_utils.priceable.futures import CryptoFuture

    name = cache_file_name(query_address(base, **fields))
    try:
        records = CryptoFuture.get_instrument_info(**fields, cache=False)
    except Exception as error:  # noqa: BLE001 - reported per entry; the others are still refreshed
        print(f"could not refresh {printable(label)}: {type(error).__name__}: {printable(str(error))}", file=sys.stderr)
        return False
    if not records or damage(records) is not None:
        kept = f"; {name} kept" if entry is not None else ""
        print(
            f"could not refresh {printable(label)}: the service gave no usable record (the attempts are logged "
            f"above){kept}",
            file=sys.stderr,
        )
        return False
    try:
        write_entry(directory, name, records)
    except OSError as error:
        print(f"could not refresh {printable(label)}: {printable(str(error))}", file=sys.stderr)
        return False
    if entry is None:
        print(f"fetched {printable(label)} ({name}, not cached before): {changes(None, records)}")
    elif entry.records:
        print(f"refreshed {printable(label)} ({name}): {changes(entry.records, records)}")
    else:
        was = entry.problem or "no records"
        print(f"refreshed {printable(label)} ({name}, was {printable(was)}): {changes(None, records)}")
    return True


def command_refresh(args):
    base = service_address()
    if base is None:
        raise CacheToolError(
            "cannot read InstrumentInfoUrl from norvane.ini, the service to fetch from; run from the project directory"
        )
    entries = read_entries(args.directory)
    status = 0
    if args.older_than is not None:
        if args.identifiers:
            raise CacheToolError("give identifiers or --older-than, not both")
        cutoff = time.time() - args.older_than
        for entry in entries:
            if entry.written >= cutoff:
                continue
            # Only an entry a build writes can be asked for again: its records name the instrument, and
            # its name is the digest of the address a build of that instrument asks.
            fields = None
            if entry.records:
                fields = {
                    key: scalar_text(entry.records[0].get(key))
                    for key in ("symbol", "exchange", "security_type", "contract_type", "expiry_date")
                }
                if None in fields.values() or cache_file_name(query_address(base, **fields)) != entry.name:
                    fields = None
            if fields is None:
                print(
                    f"skipped {entry.name}: not the entry of an instrument's build under the configured "
                    "InstrumentInfoUrl (forget it instead)",
                    file=sys.stderr,
                )
                status = 1
                continue
            label = " ".join(
                fields[key] for key in ("exchange", "symbol", "security_type", "contract_type", "expiry_date")
            )
            if not refresh(args.directory, base, label, fields, entry):
                status = 1
        return status
    if not args.identifiers:
        raise CacheToolError("refresh what? give instrument identifiers or --older-than DURATION")
    for identifier in args.identifiers:
        lookup_fields(identifier)  # refuse a malformed identifier before asking for anything
    by_name = {entry.name: entry for entry in entries}
    for identifier in args.identifiers:
        fields = lookup_fields(identifier)
        entry = by_name.get(cache_file_name(query_address(base, **fields)))
        if not refresh(args.directory, base, identifier, fields, entry):
            status = 1
    return status


def parse_arguments(argv):
    directory = argparse.ArgumentParser(add_help=False)
    directory.add_argument(
        "--dir",
        dest="given_directory",
        default=argparse.SUPPRESS,
        metavar="DIR",
        help="the cache directory (default: LOCAL_DATA_CACHE_DIR of norvane.ini)",
    )
    parser = argparse.ArgumentParser(
        prog="python -m norvane.devtools.cache",
        parents=[directory],
        description="Look into the instrument-information cache and make single entries fetch again.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    listing = commands.add_parser("list", parents=[directory], help="one line per cache file")
    listing.set_defaults(run=command_list)
    show = commands.add_parser("show", parents=[directory], help="the records of one cache file")
    show.add_argument(
        "name",
        metavar="NAME_OR_IDENTIFIER",
        help="a cache file name (or a unique start of it) or an instrument identifier",
    )
    show.set_defaults(run=command_show)
    removal = commands.add_parser(
        "forget", parents=[directory], help="remove entries so that the next build fetches them again"
    )
    removal.add_argument("identifiers", nargs="*", metavar="IDENTIFIER", help=f"e.g. {IDENTIFIER_EXAMPLE}")
    removal.add_argument(
        "--older-than",
        type=parse_duration,
        metavar="DURATION",
        help="every entry fetched longer ago than this, e.g. 90m, 12h, 7d",
    )
    removal.set_defaults(run=command_forget)
    refreshing = commands.add_parser(
        "refresh",
        parents=[directory],
        help="fetch entries again, replacing each only when the service answers; says what changed",
    )
    refreshing.add_argument("identifiers", nargs="*", metavar="IDENTIFIER", help=f"e.g. {IDENTIFIER_EXAMPLE}")
    refreshing.add_argument(
        "--older-than",
        type=parse_duration,
        metavar="DURATION",
        help="every entry of a build fetched longer ago than this, e.g. 90m, 12h, 7d",
    )
    refreshing.set_defaults(run=command_refresh)
    args = parser.parse_args(argv)
    args.given_directory = getattr(args, "given_directory", None)
    return parser, args


def main(argv=None):
    parser, args = parse_arguments(argv)
    try:
        args.directory = cache_directory(args.given_directory)
        return args.run(args)
    except CacheToolError as error:
        parser.exit(2, f"{parser.prog}: {error}\n")


if __name__ == "__main__":
    sys.exit(main())
