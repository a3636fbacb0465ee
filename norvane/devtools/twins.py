"""Plain-Python twins of the native futures classes: the benchmarks time them against the native classes,
and the tests run the native classes' economics and identity assertions against them as well (see
tests/twins.py).

Construction, identity and economics follow the native methods step by step against the same collaborators
(the package's Instrument, CryptoPair and enums, and the native Inibridge loader), so the difference in
time is the cost of running those steps as interpreted code. Module-level names are read at call time, as
the native code reads them. A parameter the native code declares as a float converts as the C API's
PyFloat_AsDouble does (`__float__` or `__index__`, never parsing text), which `ldexp(value, 0)` reproduces
exactly at the cost of one builtin call, as `float(value)` would cost.

The lookup (`get_instrument_info`) is the plain request-and-cache loop only: it asks the same address and
names the same cache file (both from norvane.devtools.cache, which the tests check against the native
lookup), but has none of the native lookup's time limit, check of the values an address can carry, atomic
cache write or notes.
"""

import json
import logging
import os
import urllib.request
from math import ldexp

from norvane.devtools.cache import cache_file_name, query_address
from norvane.kestrum_utils.inibridge.inibridge import Inibridge
from norvane.kestrum_utils.priceable.enums import INSTRUMENT_TYPE, SettlementType
from norvane.kestrum_utils.priceable.instrument import Instrument
from norvane.kestrum_utils.priceable.spots import CryptoPair


def _exact_str(name, value, none_allowed=False):
    if type(value) is not str and not (none_allowed and value is None):
        raise TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")


class PyFuture(Instrument):
    SettlementType = SettlementType

    def __init__(self, symbol: "str", underl, exchange, expiry_date, settlement_type):
        _exact_str("symbol", symbol)
        self._underl = underl
        self._expiry_date = expiry_date
        self._settlement_type = settlement_type
        super().__init__(
            symbol=symbol,
            asset=self._underl.asset,
            exchange=exchange,
            ccy=self._underl.ccy,
            instrument_type=Instrument.INSTRUMENT_TYPE.FUTURE,
        )


class PyCryptoFuture(PyFuture):
    inst_cache = {}
    RETRY_TIMES = 5

    def __init__(self, underl, expiry_date: "str", exchange, **kwargs):
        _exact_str("expiry_date", expiry_date)
        if underl.__class__.__name__ == "str":
            underl = CryptoPair.create(underl)
        self._underl = underl
        self._expiry_date = expiry_date
        self._base_ccy = self._underl.base_ccy
        self._quote_ccy = self._underl.quote_ccy
        self._settlement_ccy = self._underl.quote_ccy
        self._contract_type = kwargs.pop("contract_type", Instrument.CONTRACT_TYPE.LINEAR)
        settlement_type = kwargs.pop("settlement_type", PyFuture.SettlementType.cash)
        super().__init__(
            symbol=kwargs.pop("symbol", self._underl.symbol),
            underl=self._underl,
            exchange=exchange,
            expiry_date=expiry_date,
            settlement_type=settlement_type,
        )
        self._instrument_id = PyCryptoFuture.get_instrument_id(
            exchange=self._exchange,
            symbol=self._symbol,
            instrument_type=self._instrument_type,
            contract_type=self._contract_type,
            ccy=self._ccy,
            expiry_date=self._expiry_date,
        )

    @staticmethod
    def get_instrument_id(symbol: "str", instrument_type, contract_type, expiry_date: "str", ccy, exchange):
        _exact_str("symbol", symbol)
        _exact_str("expiry_date", expiry_date)
        return f"{exchange}.{symbol}.{instrument_type}.{contract_type}.{ccy}.{expiry_date}"

    @property
    def settlement_ccy(self):
        return self._underl.quote_ccy

    @property
    def contract_type(self):
        if isinstance(self, PyCryptoInvFuture):
            return Instrument.CONTRACT_TYPE.INVERSE
        return Instrument.CONTRACT_TYPE.LINEAR

    def calculate_unit_margin(self, price: "float"):
        return ldexp(price, 0)

    def calc_unit_commission(self, price: "float", is_maker: "bool"):
        price = ldexp(price, 0)
        return price * (self.UM_MAKER_FEE if is_maker else self.UM_TAKER_FEE)

    def calc_cash_change(self, trade_price: "float", qty: "float"):
        return ldexp(trade_price, 0) * ldexp(qty, 0)

    @staticmethod
    def get_instrument_info(
        symbol=None,
        exchange=None,
        security_type=None,
        contract_type=None,
        expiry_date=None,
        externalSymbol=None,
        cache=True,
    ):
        for name, value in (
            ("symbol", symbol),
            ("exchange", exchange),
            ("security_type", security_type),
            ("contract_type", contract_type),
            ("expiry_date", expiry_date),
            ("externalSymbol", externalSymbol),
        ):
            _exact_str(name, value, none_allowed=True)
        try:
            cache_dir = Inibridge().config["data_related"]["LOCAL_DATA_CACHE_DIR"]
            os.makedirs(cache_dir, exist_ok=True)
        except Exception as error:
            print("future get_instrument_info mkdir error: ", error)
        url = query_address(
            Inibridge().config["data_related"]["InstrumentInfoUrl"],
            symbol,
            exchange,
            security_type,
            contract_type,
            expiry_date,
            externalSymbol,
        )
        cache_path = os.path.join(cache_dir, cache_file_name(url))
        if cache and os.path.exists(cache_path):
            with open(cache_path, "r") as file:
                return json.load(file)
        num_try = 0
        while num_try < PyCryptoFuture.RETRY_TIMES:
            try:
                response = urllib.request.urlopen(url)
                if response.getcode() != 200:
                    print("request api " + url + " failed with status code " + str(response.getcode()))
                    num_try += 1
                    continue
                configs = json.loads(response.read())["instruments"][0]["symbol_infos"]
                if expiry_date is not None and expiry_date != "":
                    for config in configs:
                        if config["expiry_date"] == expiry_date:
                            if cache:
                                with open(cache_path, "w") as file:
                                    json.dump([config], file)
                            return [config]
                    raise Exception(f"expiry date {expiry_date} not found for symbol={symbol} exchange={exchange} ")
                if cache:
                    with open(cache_path, "w") as file:
                        json.dump(configs, file)
                return configs
            except Exception as error:
                logging.error("request api " + url + " raises exception:\n " + str(error))
                num_try += 1
        return []


class PyCryptoInvFuture(PyCryptoFuture):
    """\n    Inverse Future is a contract which settles with cryptocurrency\n"""

    # The annotation texts are the native class's, never evaluated.
    def __init__(self, underl: "CryptoPair", expiry_date: "Union[int, str]", exchange, **kwargs):  # noqa: F821
        if underl.quote_ccy != underl.base_ccy:
            raise ValueError(
                "the underlying must be a crypto currency not a pair. set the base_currency to quote currency"
            )
        super().__init__(
            underl=underl,
            exchange=exchange,
            expiry_date=expiry_date,
            symbol=f"{underl.base_ccy}-USD",
            contract_type=Instrument.CONTRACT_TYPE.INVERSE,
            settlement_type=PyFuture.SettlementType.physical,
        )

    @property
    def settlement_ccy(self):
        return self._settlement_ccy

    def calculate_unit_margin(self, price: "float"):
        price = ldexp(price, 0)
        return self._contract_multipl / price

    def calc_unit_commission(self, price: "float", is_maker: "bool" = True):
        price = ldexp(price, 0)
        fee_rate = self.CM_MAKER_FEE if is_maker else self.CM_TAKER_FEE
        return fee_rate * self._contract_multipl / price

    def calc_cash_change(self, trade_price: "float", qty: "float"):
        trade_price, qty = ldexp(trade_price, 0), ldexp(qty, 0)
        return qty * self.contract_multipl / trade_price


class PyCryptoInvPerpFuture(PyCryptoInvFuture):
    def __init__(self, underl: "CryptoPair", exchange):
        super().__init__(
            underl=CryptoPair.create(underl) if underl.__class__.__name__ == "str" else underl,
            exchange=exchange,
            expiry_date=PyCryptoInvFuture.UNSPECIFIED,
        )
        self._instrument_type = INSTRUMENT_TYPE.PERP
        self._instrument_id = (
            f"{self._exchange}.{self._symbol}.{self._instrument_type}.{self._contract_type}."
            f"{self._ccy}.{self._expiry_date}"
        )
