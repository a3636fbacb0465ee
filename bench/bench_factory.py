"""Nanoseconds per call of the factory and the inverse futures against their plain-Python twins.

    python bench/bench_factory.py [--repeat 7] [--budget 0.2]

Each figure is the best of --repeat timing runs of a loop sized to take about --budget seconds. The factory
is timed on a cache hit (the identifier already in the instrument cache), the constructors without a build
(neither inverse class builds in its constructor). The inverse economics are listed for information.
"""

import argparse
import importlib.util
import pathlib
import platform
import sys
import timeit

ROOT = pathlib.Path(__file__).resolve().parent.parent
if importlib.util.find_spec("norvane") is None:
    sys.path.insert(0, str(ROOT))

from norvane.devtools.twins import PyCryptoFuture, PyCryptoInvFuture, PyCryptoInvPerpFuture  # noqa: E402
from norvane.kestrum_utils.priceable.enums import CONTRACT_TYPE, INSTRUMENT_TYPE  # noqa: E402
from norvane.kestrum_utils.priceable.futures import CryptoFuture, CryptoInvFuture, CryptoInvPerpFuture  # noqa: E402
from norvane.kestrum_utils.priceable.instrument import Instrument  # noqa: E402
from norvane.kestrum_utils.priceable.spots import CryptoPair  # noqa: E402


class PyFactory:
    @staticmethod
    def create(instrumentId: "str", **kwargs):
        if type(instrumentId) is not str:
            raise TypeError("Argument 'instrumentId' has incorrect type")
        exchange, symbol, sec_type, ct_type, st_ccy, ex_date = instrumentId.split(".")
        if instrumentId not in PyCryptoFuture.inst_cache:
            if sec_type == INSTRUMENT_TYPE.FUTURE or sec_type == INSTRUMENT_TYPE.PERP:
                base, quote = symbol.split("-")
                linear = ct_type == CONTRACT_TYPE.LINEAR
                pair = CryptoPair(quote_ccy=quote if linear else base, base_ccy=base, exchange=exchange)
                if sec_type == INSTRUMENT_TYPE.FUTURE:
                    cls = PyCryptoFuture if linear else PyCryptoInvFuture
                    instrument = cls(underl=pair, expiry_date=ex_date, exchange=exchange)
                else:
                    instrument = PyCryptoInvPerpFuture(underl=pair, exchange=exchange)  # linear: not twinned
            else:
                raise NotImplementedError(instrumentId + " cannot be built")
            instrument.build()
            PyCryptoFuture.inst_cache[str(instrument)] = instrument
            assert str(instrument) == instrumentId
        return PyCryptoFuture.inst_cache[instrumentId]


class _Bare(Instrument):
    pass


def collaborator_floor(coin):
    """The Python-level work inside every inverse construction, native or not: the pair's properties
    (guard, symbol, the base constructors' reads) and Instrument.__init__ on a fresh object."""
    coin.quote_ccy, coin.base_ccy, coin.base_ccy
    coin.base_ccy, coin.quote_ccy, coin.quote_ccy, coin.symbol
    Instrument.__init__(
        object.__new__(_Bare),
        symbol="BTC-USD",
        asset=coin.asset,
        exchange="BINANCE",
        ccy=coin.ccy,
        instrument_type="FUTURE",
    )


def ns_per_call(statement, namespace, repeat, budget):
    timer = timeit.Timer(statement, globals=namespace)
    number, _ = timer.autorange()
    number = max(1, int(number * budget / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def cases():
    """(operation, native statement, twin statement, floor statement or None, speed-up target or None)."""
    floor = "collaborator_floor(coin)"
    return [
        ("create (cache hit)", "CryptoFuture.create(instrument_id)", "PyFactory.create(instrument_id)", None, 3.0),
        (
            "construct CryptoInvFuture",
            "CryptoInvFuture(coin, '20261225', 'BINANCE')",
            "PyCryptoInvFuture(coin, '20261225', 'BINANCE')",
            floor,
            2.0,
        ),
        (
            "construct CryptoInvPerpFuture",
            "CryptoInvPerpFuture(coin, 'BINANCE')",
            "PyCryptoInvPerpFuture(coin, 'BINANCE')",
            floor,
            2.0,
        ),
        ("inverse unit margin", "native.calculate_unit_margin(price)", "twin.calculate_unit_margin(price)", None, None),
        (
            "inverse unit commission",
            "native.calc_unit_commission(price)",
            "twin.calc_unit_commission(price)",
            None,
            None,
        ),
        ("inverse cash change", "native.calc_cash_change(price, qty)", "twin.calc_cash_change(price, qty)", None, None),
    ]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--budget", type=float, default=0.2, help="seconds per timing run")
    args = parser.parse_args(argv)

    coin = CryptoPair(quote_ccy="BTC", base_ccy="BTC", exchange="BINANCE")
    instrument_id = "BINANCE.BTC-USD.FUTURE.INVERSE.BTC.20261225"
    native, twin = CryptoInvFuture(coin, "20261225", "BINANCE"), PyCryptoInvFuture(coin, "20261225", "BINANCE")
    assert str(native) == str(twin) == instrument_id
    assert str(CryptoInvPerpFuture(coin, "BINANCE")) == str(PyCryptoInvPerpFuture(coin, "BINANCE"))
    for instrument in (native, twin):
        instrument._contract_multipl = 100  # what a build stores for this contract
    # Both caches hold an instrument under the identifier, as after a first create.
    saved = dict(CryptoFuture.inst_cache)
    CryptoFuture.inst_cache[instrument_id] = native
    PyCryptoFuture.inst_cache[instrument_id] = twin
    try:
        namespace = dict(
            CryptoFuture=CryptoFuture,
            CryptoInvFuture=CryptoInvFuture,
            CryptoInvPerpFuture=CryptoInvPerpFuture,
            PyFactory=PyFactory,
            PyCryptoInvFuture=PyCryptoInvFuture,
            PyCryptoInvPerpFuture=PyCryptoInvPerpFuture,
            coin=coin,
            instrument_id=instrument_id,
            native=native,
            twin=twin,
            price=31_337.25,
            qty=-3.0,
            collaborator_floor=collaborator_floor,
        )
        # Both sides must compute the same thing: equal numbers, or instruments of twin classes.
        for name, native_statement, twin_statement, _, _ in cases():
            native_result = eval(native_statement, namespace)  # noqa: S307 - the fixed texts above
            twin_result = eval(twin_statement, namespace)  # noqa: S307
            if isinstance(native_result, float):
                assert native_result == twin_result, name
            else:
                assert type(twin_result).__name__ == "Py" + type(native_result).__name__, name
                assert str(native_result) == str(twin_result), name
        rows = [
            (
                name,
                ns_per_call(native_statement, namespace, args.repeat, args.budget),
                ns_per_call(twin_statement, namespace, args.repeat, args.budget),
                ns_per_call(floor, namespace, args.repeat, args.budget) if floor else None,
                target,
            )
            for name, native_statement, twin_statement, floor, target in cases()
        ]
    finally:
        CryptoFuture.inst_cache.clear()
        CryptoFuture.inst_cache.update(saved)
        PyCryptoFuture.inst_cache.pop(instrument_id, None)

    print(f"python {platform.python_version()} on {platform.machine()}; ns per call, best of {args.repeat}")
    header = (
        f"{'operation':<30} {'native':>9} {'python':>9} {'py/native':>9} {'py floor':>9} "
        f"{'(py-floor)/(native-floor)':>26}  target"
    )
    print(header)
    print("-" * len(header))
    missed = 0
    for name, native_ns, twin_ns, floor_ns, target in rows:
        speedup = twin_ns / native_ns
        check = ""
        if target is not None:
            ok = speedup >= target
            missed += not ok
            check = f"py/native >= {target:g} {'ok' if ok else 'MISSED'}"
        floor_text = own_text = ""
        if floor_ns is not None:
            # What each side adds to the Python collaborators that both of them call.
            floor_text = f"{floor_ns:9.1f}"
            own_text = f"{(twin_ns - floor_ns) / max(native_ns - floor_ns, 1e-9):26.2f}"
        print(f"{name:<30} {native_ns:9.1f} {twin_ns:9.1f} {speedup:9.2f} {floor_text:>9} {own_text:>26}  {check}")
    print(f"\n{'all targets met' if not missed else f'{missed} target(s) missed'}")
    print(
        "py floor: the Python-level collaborator work inside each construction (CryptoPair properties, "
        "Instrument.__init__)."
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
