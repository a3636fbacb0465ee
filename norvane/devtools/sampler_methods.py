"""Which group-by methods ExistingTimestampSampler can reduce with on the installed pandas, and what then
labels each row.

    python -m norvane.devtools.sampler_methods            # the table for the installed pandas
    python -m norvane.devtools.sampler_methods --update README.md

The sampler reduces every column with the method, the timestamps too, and indexes each row by the
reduced timestamp; whether that works, and what the index then holds, depends on the method and on
pandas. Each method is tried on a small table of two one-minute windows whose rows are chosen so that
the outcomes tell apart: the first, last, mean and median timestamps of a window all differ, and the
highest price is neither the window's first row nor its last. `--update` rewrites the README's column
for the installed pandas (the table between the `sampler-methods` markers); a test compares that
column with what this module finds, so the README cannot drift from what the sampler does.
"""

import argparse
import pathlib
import re
import sys
import warnings
from typing import NamedTuple

# The reductions users reach for, in the README's order.
METHODS = (
    "first",
    "last",
    "min",
    "max",
    "mean",
    "median",
    "sum",
    "prod",
    "std",
    "var",
    "sem",
    "count",
    "nunique",
    "size",
    "ohlc",
    "any",
    "all",
)

BEGIN, END = "<!-- sampler-methods:begin -->", "<!-- sampler-methods:end -->"
WINDOW_MINUTES = 1
# Two windows; the first has a repeated timestamp, so the count of rows and of distinct times differ.
ROWS = [
    # (time, price, size)
    ("10:00:05", 3.0, 1.0),
    ("10:00:20", 5.0, 2.0),  # the high: neither the window's first row nor its last
    ("10:00:20", 2.0, 1.0),
    ("10:00:50", 1.0, 3.0),  # the low
    ("10:00:55", 4.0, 1.0),
    ("10:01:10", 6.0, 2.0),
    ("10:01:40", 7.0, 1.0),
]


class Outcome(NamedTuple):
    works: bool
    text: str  # what the README cell says


def probe_table():
    import pandas as pd

    index = pd.DatetimeIndex([pd.Timestamp(f"2026-12-07 {time}") for time, _, _ in ROWS], name="timestamp")
    return pd.DataFrame({"price": [p for _, p, _ in ROWS], "size": [s for _, _, s in ROWS]}, index=index)


def pandas_column():
    """The README column's heading for the installed pandas: its major version (1.5 for pandas 1)."""
    import pandas as pd

    major = int(pd.__version__.split(".")[0])
    return "pandas 1.5" if major == 1 else f"pandas {major}"


def _one_line(error):
    message = str(error).splitlines()[0] if str(error) else ""
    if len(message) > 70:
        message = message[:69] + "…"
    return f"{type(error).__name__}: {message}" if message else type(error).__name__


def _what_the_index_holds(result, table):
    import pandas as pd

    windows = [group.index for _, group in table.groupby(table.index.floor(f"{WINDOW_MINUTES}min"))]
    index = result.index
    if len(index) != len(windows):
        return f"{len(index)} rows for {len(windows)} windows"
    if not isinstance(index, pd.DatetimeIndex):
        counts = {
            "the row count": [len(w) for w in windows],
            "the count of distinct timestamps": [w.nunique() for w in windows],
        }
        for name, values in counts.items():
            if list(index) == values:
                return f"{name} of the window, not a timestamp"
        if index.dtype.kind == "m":
            return "timedeltas, not timestamps"
        return f"{index.dtype} values, not timestamps"
    candidates = {
        "the window's first timestamp": [w[0] for w in windows],
        "the window's last timestamp": [w[-1] for w in windows],
        "the mean of the window's timestamps": [pd.Series(w).mean() for w in windows],
        "the median of the window's timestamps": [pd.Series(w).median() for w in windows],
    }
    for name, stamps in candidates.items():
        if list(index) == stamps:
            return name
    return "other timestamps"


def probe(func_name):
    """What sampling with ``func_name`` does on the installed pandas: an ``Outcome``."""
    import logging

    import pandas as pd

    from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler

    table = probe_table()
    sampler = ExistingTimestampSampler(func_name=func_name, window=pd.Timedelta(minutes=WINDOW_MINUTES))
    logging.disable(logging.INFO)  # the sampler's "Sampled N/M rows." is not what is asked here
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pandas 1.5's FutureWarnings about dropped columns
            result = sampler(table)
    except Exception as error:  # noqa: BLE001 - any failure is the answer
        text = f"fails: {_one_line(error)}"
        if isinstance(error, KeyError) and repr(table.index.name) in str(error):
            text += " (it drops the timestamps)"
        return Outcome(False, text)
    finally:
        logging.disable(logging.NOTSET)
    return Outcome(True, f"works; index: {_what_the_index_holds(result, table)}")


def column():
    """{method: README cell} for the installed pandas."""
    return {name: probe(name).text for name in METHODS}


def _cell(text):
    return text.replace("|", "\\|")


def read_table(readme_text):
    """(headings, {method: {heading: cell}}) of the README's table between the markers."""
    match = re.search(re.escape(BEGIN) + r"\n(.*?)\n" + re.escape(END), readme_text, flags=re.S)
    if match is None:
        raise LookupError(f"no table between {BEGIN} and {END}")
    lines = [line for line in match.group(1).splitlines() if line.startswith("|")]

    def cells(line):
        return [cell.strip().replace("\\|", "|") for cell in re.split(r"(?<!\\)\|", line.strip())[1:-1]]

    headings = cells(lines[0])
    rows = {}
    for line in lines[2:]:
        row = cells(line)
        rows[row[0].strip("`")] = dict(zip(headings[1:], row[1:]))
    return headings, rows


def render_table(headings, rows):
    lines = ["| " + " | ".join(headings) + " |", "|" + "---|" * len(headings)]
    for method in METHODS:
        lines.append(
            "| " + " | ".join([f"`{method}`", *(_cell(rows.get(method, {}).get(h, "")) for h in headings[1:])]) + " |"
        )
    return "\n".join(lines)


def update(readme_path):
    """Rewrites the installed pandas' column of the README's table; True when anything changed."""
    path = pathlib.Path(readme_path)
    text = path.read_text(encoding="utf-8")
    headings, rows = read_table(text)
    heading = pandas_column()
    if heading not in headings:
        headings.append(heading)
    for method, cell in column().items():
        rows.setdefault(method, {})[heading] = cell
    start = text.index(BEGIN) + len(BEGIN) + 1
    end = text.index(END)
    new_text = text[:start] + render_table(headings, rows) + "\n" + text[end:]
    if new_text != text:
        path.write_text(new_text, encoding="utf-8")
    return new_text != text


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m norvane.devtools.sampler_methods", description=__doc__.split("\n\n")[0]
    )
    parser.add_argument(
        "--update", metavar="README", type=pathlib.Path, help="rewrite that file's column for the installed pandas"
    )
    args = parser.parse_args(argv)
    if args.update is not None:
        changed = update(args.update)
        print(f"{args.update}: column '{pandas_column()}' {'updated' if changed else 'already up to date'}")
        return 0
    print(render_table(["method", pandas_column()], {m: {pandas_column(): c} for m, c in column().items()}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
