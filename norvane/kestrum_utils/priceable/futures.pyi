# Type stub of the native futures module: the crypto-currency futures instruments.
#
# The native functions store their annotations as plain texts such as
# "Instrument.EXCHANGE" or "Union[CryptoPair, str]"; the types below are what those
# texts stand for (exchanges, currencies and the enumeration-like namespaces of
# Instrument are plain str values).

import hashlib as hashlib
import json as json
import logging as logging
import os as os
import urllib as urllib
import urllib.request
from typing import Any, ClassVar
from typing import Dict as Dict
from typing import Union as Union

from norvane.kestrum_utils.inibridge.inibridge import Inibridge as Inibridge
from norvane.kestrum_utils.priceable.enums import CONTRACT_TYPE as CONTRACT_TYPE
from norvane.kestrum_utils.priceable.enums import INSTRUMENT_TYPE as INSTRUMENT_TYPE
from norvane.kestrum_utils.priceable.enums import SettlementType as SettlementType
from norvane.kestrum_utils.priceable.instrument import Instrument as Instrument
from norvane.kestrum_utils.priceable.spots import CryptoPair as CryptoPair

# The reference-data service's record, exactly as parsed from JSON.
_InstrumentInfo = dict[str, Any]
_SettlementType = SettlementType

class Future(Instrument):
    # The settlement-type enumeration, so that Future.SettlementType.cash reads naturally.
    SettlementType: ClassVar[type[_SettlementType]]

    _underl: Any
    _expiry_date: int | str
    _settlement_type: _SettlementType

    def __init__(
        self,
        symbol: str,
        underl: Instrument,
        exchange: str,
        expiry_date: int | str,
        settlement_type: _SettlementType,
    ) -> None: ...
    @property
    def quote_ccy(self) -> str: ...
    def _build(self) -> None: ...
    def build(self) -> None: ...

class CryptoFuture(Future):
    # Every instrument built by create(), keyed by its identifier; shared by all subclasses.
    inst_cache: ClassVar[dict[str, CryptoFuture]]
    # Attempts per reference-data lookup.
    RETRY_TIMES: ClassVar[int]

    _underl: CryptoPair
    _expiry_date: str
    _base_ccy: str
    _quote_ccy: str
    _settlement_ccy: str
    _contract_type: str
    _instrument_id: str
    # Set by build().
    _info: _InstrumentInfo
    _tick_size: float
    _contract_multipl: float
    _qty_unit: float

    # contract_type, settlement_type and symbol replace the linear defaults and the
    # pair's own symbol; any other keyword is accepted and ignored.
    def __init__(
        self,
        underl: CryptoPair | str,
        expiry_date: str,
        exchange: str,
        *,
        contract_type: str = ...,
        settlement_type: _SettlementType = ...,
        symbol: str = ...,
        **kwargs: Any,
    ) -> None: ...
    @staticmethod
    def get_instrument_id(
        symbol: str,
        instrument_type: str,
        contract_type: str,
        expiry_date: str,
        ccy: str,
        exchange: str,
    ) -> str: ...
    @property
    def settlement_ccy(self) -> str: ...
    @property
    def contract_type(self) -> str: ...
    def calculate_unit_margin(self, price: float) -> float: ...
    def calc_unit_commission(self, price: float, is_maker: bool) -> float: ...
    def calc_cash_change(self, trade_price: float, qty: float) -> float: ...
    @staticmethod
    def create(instrumentId: str, **kwargs: Any) -> CryptoFuture: ...
    @staticmethod
    def get_instrument_info(
        symbol: str | None = None,
        exchange: str | None = None,
        security_type: str | None = None,
        contract_type: str | None = None,
        expiry_date: str | None = None,
        externalSymbol: str | None = None,
        cache: bool = True,
    ) -> list[_InstrumentInfo]: ...
    def _build(self) -> None: ...

class CryptoInvFuture(CryptoFuture):
    # The runtime annotation of expiry_date reads Union[int, str], but the linear
    # constructor it delegates to accepts a str only.
    def __init__(
        self, underl: CryptoPair, expiry_date: str, exchange: str, **kwargs: Any
    ) -> None: ...
    @staticmethod
    def get_instrument_id(
        symbol: str,
        instrument_type: str,
        contract_type: str,
        expiry_date: str,
        ccy: str,
        exchange: str,
    ) -> str: ...
    @property
    def settlement_ccy(self) -> str: ...
    def calculate_unit_margin(self, price: float) -> float: ...
    def calc_unit_commission(self, price: float, is_maker: bool = True) -> float: ...
    def calc_cash_change(self, trade_price: float, qty: float) -> float: ...

class CryptoPerpFuture(CryptoFuture):
    # Builds itself (contacting the reference-data service) before returning.
    def __init__(
        self, underl: CryptoPair | str, exchange: str, *, symbol: str = ..., **kwargs: Any
    ) -> None: ...
    @staticmethod
    def is_underl_supported(underl: CryptoPair | str) -> bool: ...
    @staticmethod
    def create_by_underl(
        underl: CryptoPair | str, exchange: str | None = None
    ) -> CryptoPerpFuture: ...
    @staticmethod
    def get_instrument_id(
        symbol: str,
        instrument_type: str,
        contract_type: str,
        expiry_date: str,
        ccy: str,
        exchange: str,
    ) -> str: ...

class CryptoInvPerpFuture(CryptoInvFuture):
    # The runtime annotation of underl reads CryptoPair, but a pair text is converted
    # as for the other perpetual.
    def __init__(self, underl: CryptoPair | str, exchange: str) -> None: ...
    @staticmethod
    def get_instrument_id(
        symbol: str,
        instrument_type: str,
        contract_type: str,
        expiry_date: str,
        ccy: str,
        exchange: str,
    ) -> str: ...
