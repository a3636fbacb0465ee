"""The samplers over a Dask DataFrame, with results equal to one machine's.

``sample(sampler, ddf)`` cuts the partitions on the sampler's grid, so that every window's rows sit
in one partition, in their order; each piece is then sampled by the sampler itself with the grid's
origin passed explicitly, and the pieces are concatenated. Every window is reduced by the same code
over the same rows in the same order as ``sampler(ddf.compute())`` reduces it, so the results are
equal value for value. Partial results are never combined (a sum of partial float sums is not the
sum of the floats).
"""

import logging
import threading

try:
    import dask
    import dask.dataframe as dd
except ImportError as error:
    error.add_note(
        "norvane.kestrum_data.utility.timeseries.partitioned needs Dask: "
        "pip install 'norvane[dask]' (the extra 'dask': dask[dataframe], distributed, pyarrow)"
    )
    raise

import numpy as np
import pandas as pd

from norvane.kestrum_data.utility.timeseries import samplers

try:
    from norvane.kestrum_data.utility.timeseries import bars
except ImportError:  # a build without the bars module
    bars = None

__all__ = ["sample"]

_NAT = np.iinfo(np.int64).min
_DAY = 86_400_000_000_000
_ORDER = "the index must be ascending without missing timestamps: "


def sample(sampler, ddf):
    """``sampler`` applied to the Dask DataFrame ``ddf``, as a lazy Dask DataFrame.

    ``sampler`` is an ``ExistingTimestampSampler`` or a ``BarSampler``; ``ddf`` is on a datetime64
    index (naive or time-zone-aware), ascending across and within partitions. The result's
    ``.compute()`` equals ``sampler(ddf.compute())``: same rows, values, dtypes and names. Its
    divisions are known where its index holds times.

    When ``ddf``'s divisions are unknown they are found first, in one pass over the index; an index
    that is not ascending raises the one-machine sampler's ``ValueError``. A window that is not a
    fixed length and an index that is not datetime64 raise ``ValueError`` before any work: the
    one-machine grid for those comes from pandas' periods, which cannot be anchored.
    """
    plan = _Plan(sampler, ddf)
    return plan.build()


class _Plan:
    def __init__(self, sampler, ddf):
        bar_type = getattr(bars, "BarSampler", None)
        if isinstance(sampler, samplers.ExistingTimestampSampler):
            self.bars = False
        elif bar_type is not None and isinstance(sampler, bar_type):
            self.bars = True
        else:
            raise TypeError(
                f"sampler must be an ExistingTimestampSampler or a BarSampler, not {type(sampler).__name__}"
            )
        if not isinstance(ddf, dd.DataFrame):
            raise TypeError(f"ddf must be a dask.dataframe.DataFrame, not {type(ddf).__name__}")
        index = ddf._meta.index
        if not isinstance(index, pd.DatetimeIndex):
            raise ValueError(
                f"the index must be datetime64 to be sampled across partitions, not {index.dtype}: "
                "the sampler's grid for other indexes comes from pandas' periods, whose origin "
                "cannot be passed to each partition"
            )
        self.sampler = sampler
        self.ddf = ddf
        self.tz = index.tz
        self.unit_ns = int(pd.Timedelta(1, unit=getattr(index, "unit", "ns")).value)
        self.window = sampler.window
        self.step, self.base = _fixed_length(self.window)
        self.closed = getattr(sampler, "closed", "left") if self.bars else "left"
        self.label = getattr(sampler, "label", "left") if self.bars else "left"
        self.origin = getattr(sampler, "origin", None)
        if not (self.origin is None or isinstance(self.origin, (str, pd.Timestamp))):
            self.origin = pd.Timestamp(self.origin)
        if isinstance(self.origin, str) and self.origin not in ("epoch", "start_day"):
            raise ValueError(
                f"origin {self.origin!r} cannot be cut across partitions: use None, 'epoch', 'start_day' or a timestamp"
            )
        if self.bars:
            # The bars read these columns alone; the others need not be read at all.
            columns = [sampler.price] + ([sampler.size] if sampler.size is not None else [])
            missing = [c for c in columns if c not in ddf.columns]
            if not missing:
                self.ddf = ddf[columns]
        self.meta = _quietly(sampler, _nonempty(self.ddf)).iloc[:0]
        self.timed = isinstance(self.meta.index, pd.DatetimeIndex)
        # pandas 3.1 sums a float block pairwise when it holds no NaN anywhere and with compensation
        # otherwise, and the samplers follow it: each piece must see the NaN the whole table holds.
        self.nan_columns = []
        if _sums_depend_on_nan() and (self.bars or sampler.func_name == "mean"):
            self.nan_columns = [name for name, dtype in self.ddf.dtypes.items() if dtype.kind == "f"]

    # -- the index: bounds of each partition, found or read from the divisions ------------------------

    def bounds(self):
        """Per partition (first, last) UTC nanoseconds, None for an empty one, and the earliest
        wall-clock nanoseconds of the whole index."""
        ddf = _unfused(self.ddf)
        self.parts = ddf.to_delayed(optimize_graph=False)
        self.nan_found = []
        if ddf.known_divisions and not self.nan_columns and not self._wall_clock_needs_a_pass(ddf.divisions):
            divisions = [_utc_ns(d) for d in ddf.divisions]
            spans = [(divisions[i], divisions[i + 1]) for i in range(len(self.parts))]
            return spans, self._wall_ns(ddf.divisions[0]), True
        # The pass reads the index (and the float columns whose NaN count) of the same partitions as the
        # pieces will read whole.
        projected = ddf[self.nan_columns] if self.nan_columns else ddf.index
        parts = _unfused(projected).to_delayed(optimize_graph=False)
        if len(parts) != len(self.parts):
            raise RuntimeError(f"the index comes in {len(parts)} partitions and the table in {len(self.parts)}")
        summaries = dask.compute(*[dask.delayed(_summary)(part) for part in parts])
        found = set()
        for summary in summaries:
            found.update(summary[5])
        self.nan_found = [name for name in self.nan_columns if name in found]
        spans, offset, previous, earliest = [], 0, None, None
        for count, first, last, bad, wall_min, _ in summaries:
            if count:
                if first == _NAT:
                    raise ValueError(f"{_ORDER}position {offset} holds NaT")
                if previous is not None and first < previous[1]:
                    raise ValueError(
                        f"{_ORDER}position {offset} ({self._timestamp(first)}) is earlier than "
                        f"position {previous[0]} ({self._timestamp(previous[1])})"
                    )
                if bad is not None:
                    position, kind, before, value = bad
                    if kind == "nat":
                        raise ValueError(f"{_ORDER}position {offset + position} holds NaT")
                    raise ValueError(
                        f"{_ORDER}position {offset + position} ({self._timestamp(value)}) is "
                        f"earlier than position {offset + position - 1} ({self._timestamp(before)})"
                    )
                previous = (offset + count - 1, last)
                earliest = wall_min if earliest is None else min(earliest, wall_min)
                spans.append((first, last))
            else:
                spans.append(None)
            offset += count
        return spans, earliest, False

    def _wall_clock_needs_a_pass(self, divisions):
        # The earliest wall-clock time is the first row's unless the clock goes back soon after it.
        if self.tz is None or self.origin not in (None, "start_day"):
            return False
        first = pd.Timestamp(divisions[0])
        return first.utcoffset() != (first + pd.Timedelta(self.step + _DAY)).utcoffset()

    def _timestamp(self, utc_ns):
        return _instant(utc_ns, self.tz).as_unit(_unit_name(self.unit_ns))

    def _wall_ns(self, stamp):
        stamp = pd.Timestamp(stamp)
        return _utc_ns(stamp) + (_offset_ns(stamp) if self.tz else 0)

    # -- the grid ------------------------------------------------------------------------------------

    def grid_origin(self, earliest_wall):
        """The grid's origin in wall-clock nanoseconds, and the origin each piece is sampled with."""
        origin = self.origin
        if origin is None:
            periods = pd.period_range(
                start=pd.Timestamp(earliest_wall), end=pd.Timestamp(earliest_wall), freq=self.window
            )
            anchor = int(periods.asi8[0]) * self.base
            return anchor, self._stamp_of_wall(anchor)
        if origin == "epoch":
            return 0, origin
        if origin == "start_day":
            anchor = earliest_wall // _DAY * _DAY
            return anchor, self._stamp_of_wall(anchor)
        stamp = pd.Timestamp(origin)
        if (stamp.tz is None) != (self.tz is None):
            raise ValueError("The origin must have the same timezone as the index.")
        if self.tz is not None:
            stamp = stamp.tz_convert(self.tz).tz_localize(None)
        return int(stamp.as_unit("ns").value), origin

    def _stamp_of_wall(self, anchor):
        if self.tz is None:
            return pd.Timestamp(anchor)
        # Only the origin's place on the grid matters: a wall-clock time that a clock change skips is
        # replaced by one whole windows earlier.
        shift = -(-3 * _DAY // self.step) * self.step
        for attempt in range(4):
            try:
                return pd.Timestamp(anchor - attempt * shift).tz_localize(self.tz, ambiguous=True, nonexistent="raise")
            except (ValueError, OverflowError):  # pytz and zoneinfo both raise ValueError subclasses
                continue
        raise ValueError(f"no wall-clock time on the grid can be read in {self.tz}")

    def cuts(self, spans, anchor, known):
        """UTC nanoseconds of grid boundaries at which to cut, ascending."""
        if known:
            candidates = [span[0] for span in spans[1:]]
        else:
            candidates = [span[0] for span in spans[1:] if span is not None]
        present = [span for span in spans if span is not None]
        low, high = present[0][0], present[-1][1]
        step, result = self.step, set()
        for candidate in candidates:
            offset = 0
            if self.tz is not None:
                stamp = pd.Timestamp(candidate, tz="UTC").tz_convert(self.tz)
                offset = _offset_ns(stamp)
                reach = pd.Timedelta(step + _DAY)
                # A clock turned back near a cut would put rows of one wall-clock window on both sides.
                if (_offset_ns(stamp - reach) != offset) or (_offset_ns(stamp + reach) != offset):
                    continue
            wall = candidate + offset
            if self.closed == "left":
                boundary = anchor + (wall - anchor) // step * step
            else:
                boundary = anchor + (-(-(wall - anchor) // step) - 1) * step
            cut = boundary - offset
            # A cut that leaves no row on one side is no cut.
            if (low < cut <= high) if self.closed == "left" else (low <= cut < high):
                result.add(cut)
        return sorted(result)

    # -- the graph -----------------------------------------------------------------------------------

    def build(self):
        spans, earliest, known = self.bounds()
        if earliest is None:  # no rows at all
            return dd.from_pandas(_quietly(self.sampler, self.ddf._meta), npartitions=1)
        anchor, piece_origin = self.grid_origin(earliest)
        sentinel = self._sentinel()
        if sentinel is not None:  # the result's dtypes as the NaN make them (a float32 mean stays float32)
            self.meta = _quietly(self.sampler, _with_sentinel(_nonempty(self.ddf), sentinel)).iloc[:0]
        # The pieces' sampler travels as its class and attributes: copying or pickling the instance
        # itself would leave copyreg's __slotnames__ in the class's namespace.
        piece_sampler = (type(self.sampler), {**vars(self.sampler), "origin": piece_origin})
        cuts = self.cuts(spans, anchor, known)
        edges = [None] + cuts + [None]
        pieces = []
        for j in range(len(edges) - 1):
            low, high = edges[j], edges[j + 1]
            inputs = [
                (part, None if known else span)
                for part, span in zip(self.parts, spans)
                if span is not None and _overlaps(span, low, high)
            ]
            pieces.append(dask.delayed(_piece)(low, high, self.closed, self.unit_ns, *inputs))
        first, last = next(s for s in spans if s is not None)[0], [s for s in spans if s is not None][-1][1]
        if self.bars:
            results, divisions = self._bars(pieces, piece_sampler, cuts, first, last)
        else:
            results, divisions = self._existing(pieces, piece_sampler, cuts, first, last)
        return dd.from_delayed(results, meta=self.meta, divisions=divisions, verify_meta=False)

    def _sentinel(self):
        """(columns, gap): a row after a piece's last, NaN in ``columns``, whose windows are dropped
        again; None when no piece needs one."""
        if not self.nan_found:
            return None
        # Past the piece's last window, however the wall clock moves, in whole ticks of the index.
        reach = 2 * self.step + (2 * _DAY if self.tz is not None else 0) + (self.step if self.bars else 0)
        ticks = -(-reach // self.unit_ns)
        return self.nan_found, pd.Timedelta(ticks, unit=_unit_name(self.unit_ns))

    def _stamps(self, values):
        return tuple(_instant(v, self.tz) for v in values)

    def _existing(self, pieces, piece_sampler, cuts, first, last):
        sentinel = self._sentinel()
        sampled = [dask.delayed(_sample_piece)(piece_sampler, piece, self.meta, sentinel) for piece in pieces]
        if not self.timed:
            return sampled, (None,) * (len(sampled) + 1)
        # A reduced timestamp (a mean) can round across a cut: each row goes to the piece whose
        # division range holds it, which keeps the one-machine order as long as that order ascends.
        slack = self.step + 1_000
        stamps = self._stamps([first - slack] + cuts + [last + slack + 1])
        results = []
        for j in range(len(sampled)):
            near = sampled[max(j - 1, 0) : j + 2]
            results.append(dask.delayed(_rehome)(j, min(j, 1), stamps, *near))
        return results, stamps[:-1] + (_instant(last + slack, self.tz),)

    def _bars(self, pieces, piece_sampler, cuts, first, last):
        shift = self.step if self.label == "right" else 0
        low = _label_bound(first, self, -1)
        high = _label_bound(last, self, +1)
        bounds = [low] + [c + shift for c in cuts] + [high + 1]
        stamps = self._stamps(bounds)
        fill = self.sampler.empty == "fill"
        sentinel = self._sentinel()
        results = []
        if fill:
            # The windows between two pieces' bars are filled by both pieces, each keeping its own side;
            # the close carried into them is the last price before, however far back.
            price = self.sampler.price
            tails = [dask.delayed(_tail)(piece, price) for piece in pieces]
            heads = [dask.delayed(_head)(piece) for piece in pieces]
            carried = [None]
            for tail in tails[:-1]:
                carried.append(dask.delayed(_carry)(carried[-1], tail))
            following = [None]
            for head in reversed(heads[1:]):
                following.append(dask.delayed(_follow)(following[-1], head))
            following.reverse()
            for j, piece in enumerate(pieces):
                results.append(
                    dask.delayed(_sample_bars)(
                        piece_sampler,
                        piece,
                        self.meta,
                        stamps[j],
                        stamps[j + 1],
                        carried[j],
                        following[j],
                        price,
                        sentinel,
                    )
                )
        else:
            for j, piece in enumerate(pieces):
                results.append(
                    dask.delayed(_sample_bars)(
                        piece_sampler, piece, self.meta, stamps[j], stamps[j + 1], None, None, None, sentinel
                    )
                )
        return results, stamps[:-1] + (_instant(high, self.tz),)


# -- helpers run in the tasks --------------------------------------------------------------------------


def _summary(part):
    """(rows, first, last, first fault or None, earliest wall-clock ns, columns holding NaN) of one
    partition (an index, or a table)."""
    nan = []
    if isinstance(part, pd.DataFrame):
        nan = [name for name, found in part.isna().any().items() if found]
        part = part.index
    index = part
    count = len(index)
    if not count:
        return 0, None, None, None, None, nan
    unit_ns = int(pd.Timedelta(1, unit=getattr(index, "unit", "ns")).value)
    values = index.asi8
    nat = values == _NAT
    ns = np.where(nat, _NAT, values * unit_ns)
    descends = np.flatnonzero(values[1:] < values[:-1]) + 1
    faults = []
    if nat.any():
        faults.append((int(np.argmax(nat)), "nat", None, None))
    if descends.size:
        at = int(descends[0])
        faults.append((at, "back", int(ns[at - 1]), int(ns[at])))
    fault = min(faults, key=lambda f: (f[0], f[1] != "nat")) if faults else None
    wall = index.tz_localize(None) if index.tz is not None else index
    wall_min = int(wall.min().as_unit("ns").value) if not nat.all() else None
    return count, int(ns[0]), int(ns[-1]), fault, wall_min, nan


def _piece(low, high, closed, unit_ns, *parts):
    """The rows of ``parts`` between two cuts (UTC ns), in order: at or after ``low`` and before
    ``high`` for windows closed on the left, after ``low`` and up to ``high`` for the right."""
    side = "left" if closed == "left" else "right"
    slices = []
    for part, span in parts:
        values = part.index.asi8
        if span is not None and (values.size == 0 or (values[0] * unit_ns, values[-1] * unit_ns) != span):
            raise RuntimeError("a partition holds other rows than when its index was read")
        if values.size and (values[0] == _NAT or (values[1:] < values[:-1]).any()):
            return part  # out of order: the sampler refuses it in its own words
        start = 0 if low is None else int(np.searchsorted(values, _in_unit(low, unit_ns, closed), side=side))
        stop = values.size if high is None else int(np.searchsorted(values, _in_unit(high, unit_ns, closed), side=side))
        if stop > start:
            slices.append(part.iloc[start:stop])
    if not slices:
        return parts[0][0].iloc[:0] if parts else None
    return slices[0] if len(slices) == 1 else pd.concat(slices)


def _in_unit(cut_ns, unit_ns, closed):
    # Rows at or after a cut (left) start at its value rounded up to the index's unit; rows up to a cut
    # (right) end at its value rounded down.
    return -(-cut_ns // unit_ns) if closed == "left" else cut_ns // unit_ns


def _with_sentinel(table, sentinel):
    row = table.iloc[-1:].copy()
    row.index = row.index + sentinel[1]
    for name in sentinel[0]:
        _put(row, name, np.nan)
    return pd.concat([table, row])


def _put(row, name, value):
    # In the column's own dtype: a float32 column assigned a Python float would become float64.
    row[name] = np.array([value], dtype=row[name].dtype)


def _rebuilt(recipe):
    cls, state = recipe
    sampler = cls.__new__(cls)
    vars(sampler).update(state)
    return sampler


def _sample_piece(sampler, piece, meta, sentinel):
    if piece is None or not len(piece):
        return meta
    sampler = _rebuilt(sampler)
    if sentinel is None:
        return sampler(piece)
    # The sentinel sits alone in the last window.
    return sampler(_with_sentinel(piece, sentinel)).iloc[:-1]


def _rehome(j, own, stamps, *near):
    """Piece ``j``'s rows: those of the sampled pieces ``near`` (j-1, j, j+1; ``own`` is j's place
    among them) whose index falls in the division range of ``j``."""
    interior = np.array([stamp.value for stamp in stamps[1:-1]], dtype=np.int64)
    keys, frames = [], []
    for k, frame in enumerate(near):
        if len(frame):
            index = frame.index
            target = np.searchsorted(interior, index.as_unit("ns").asi8, side="right")
            if k == own and (
                (index < stamps[0]).any() or (index >= stamps[-1]).any() or (np.abs(target - j) > 1).any()
            ):
                raise ValueError(
                    "a sampled timestamp falls outside its partition's range: the result's divisions cannot hold"
                )
            keys.append(target)
            frames.append(frame)
    if not frames:
        return near[own]
    target = np.concatenate(keys)
    if (np.diff(target) < 0).any():
        raise ValueError(
            "the sampled index does not ascend across a partition boundary: the result's divisions cannot hold"
        )
    table = pd.concat(frames) if len(frames) > 1 else frames[0]
    return table[target == j]


def _tail(piece, price):
    """The last row and the last non-missing price of a piece, or None when it has no rows."""
    if piece is None or not len(piece):
        return None
    prices = piece[price]
    present = prices[prices.notna()]
    return piece.iloc[-1:], (present.iloc[-1] if len(present) else None)


def _head(piece):
    if piece is None or not len(piece):
        return None
    return piece.iloc[:1]


def _carry(before, tail):
    if tail is None:
        return before
    row, price = tail
    if price is None and before is not None:
        price = before[1]
    return row, price


def _follow(after, head):
    return after if head is None else head


def _sample_bars(sampler, piece, meta, low, high, carried, following, price, sentinel):
    has_rows = piece is not None and len(piece) > 0
    if not has_rows and (carried is None or following is None):
        return meta
    # A piece without rows between two with rows still holds filled windows of the gap.
    tables = [piece] if has_rows else []
    if carried is not None:
        # The previous piece's last row, priced at the last price before this piece: its bar falls
        # before this piece's windows and carries that close into the windows without rows.
        row = carried[0].copy()
        _put(row, price, carried[1] if carried[1] is not None else np.nan)
        tables.insert(0, row)
    if following is not None:
        tables.append(following)
    sampler = _rebuilt(sampler)
    if len(tables) == 1 and sentinel is None:
        return sampler(piece)
    table = pd.concat(tables) if len(tables) > 1 else tables[0]
    rows = len(table)
    if sentinel is not None:
        table = _with_sentinel(table, sentinel)
    result = sampler(table)
    if sentinel is not None:
        # Up to the bar of the last real row: the sentinel's bar and the windows filled before it go.
        through = int(np.searchsorted(np.cumsum(result["trades"].to_numpy()), rows)) + 1
        result = result.iloc[:through]
    return result[(result.index >= low) & (result.index < high)]


# -- small pieces ----------------------------------------------------------------------------------------


def _unfused(ddf):
    """``ddf`` with its column projections applied and its partitions as its source cuts them: the
    optimiser would otherwise join a projection's partitions by how much of the table it reads, and an
    index read alone would come in other partitions than the whole table."""
    try:
        from dask.dataframe.dask_expr._collection import new_collection

        return new_collection(ddf.expr.simplify())
    except (ImportError, AttributeError):
        return ddf


def _sums_depend_on_nan():
    from pandas.core.groupby import ops

    return int(pd.__version__.split(".")[0]) >= 3 and hasattr(ops.BaseGrouper, "_reduceat_aggregate")


def _fixed_length(window):
    """(step, base unit) in nanoseconds of the frequency pandas makes of ``window``; ValueError when
    that is not a fixed length."""
    day = pd.Timestamp("2000-01-03")
    try:
        freq = pd.period_range(start=day, end=day, freq=window).freq
    except Exception as error:
        raise ValueError(f"window {window!r} is not a length pandas reads as a frequency: {error}") from error
    tick = pd.offsets.Tick
    if not isinstance(freq, tick) or not isinstance(freq.base, tick) or freq.nanos <= 0:
        raise ValueError(
            f"window {window!r} is not a fixed length ({freq!r}): its periods follow the "
            "calendar and cannot be anchored at one origin across partitions"
        )
    return int(freq.nanos), int(freq.base.nanos)


def _label_bound(utc_ns, plan, direction):
    # The label of the window holding a row lies within a window (and, for an aware index, a clock
    # change) of the row.
    slack = plan.step + (_DAY if plan.tz is not None else 0)
    return utc_ns + direction * slack


def _overlaps(span, low, high):
    first, last = span
    return (low is None or last >= low) and (high is None or first <= high)


def _utc_ns(stamp):
    stamp = pd.Timestamp(stamp)
    return int(stamp.as_unit("ns").value)


def _offset_ns(stamp):
    return int(pd.Timestamp(stamp).utcoffset().total_seconds()) * 1_000_000_000


def _unit_name(unit_ns):
    return {1: "ns", 1_000: "us", 1_000_000: "ms", 1_000_000_000: "s"}[unit_ns]


def _instant(utc_ns, tz):
    stamp = pd.Timestamp(int(utc_ns), tz="UTC" if tz is not None else None)
    return stamp.tz_convert(tz) if tz is not None else stamp


def _nonempty(ddf):
    """Two rows a second apart with the dtypes, index unit and zone of ``ddf``'s partitions."""
    table = ddf._meta_nonempty.iloc[:2].copy()
    index = ddf._meta.index
    table.index = (
        pd.DatetimeIndex(["2000-01-03 00:00:00", "2000-01-03 00:00:01"], name=index.name)
        .tz_localize(index.tz)
        .as_unit(getattr(index, "unit", "ns"))
    )
    return table


class _DropSampledLine(logging.Filter):
    def __init__(self):
        super().__init__()
        self.thread = threading.get_ident()

    def filter(self, record):
        return threading.get_ident() != self.thread


def _quietly(sampler, table):
    """``sampler(table)`` without its INFO line (for the result's description, not a partition)."""
    root = logging.getLogger()
    drop = _DropSampledLine()
    root.addFilter(drop)
    try:
        return sampler(table)
    finally:
        root.removeFilter(drop)
