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
    """A future on an underlying instrument, with an expiry date and a settlement type.

    Only the crypto subclasses can be built; a bare ``Future``'s ``build()`` raises
    ``NotImplementedError``.
    """

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
    ) -> None:
        """Records the identity only; nothing is fetched.

        Raises ``TypeError`` when ``symbol`` is not exactly a ``str``.
        """
    @property
    def quote_ccy(self) -> str:
        """The underlying's quote currency, read afresh on every access."""
    def _build(self) -> None: ...
    def build(self) -> None:
        """Loads the reference data (through the subclass's build hook); may be repeated.

        Raises ``RuntimeError`` ("underl:... must be built ") when the underlying is still
        unbuilt afterwards, and whatever the hook raises.
        """

class CryptoFuture(Future):
    """A linear, dated crypto future on a ``CryptoPair``, settled in the pair's quote currency.

    Identifier: ``EXCHANGE.BASE-QUOTE.FUTURE.LINEAR.CCY.EXPIRY`` (``str()`` of the instrument).
    Construction fetches nothing; ``build()`` looks up the reference data through
    ``get_instrument_info`` and its file cache. Economics are per unit of the base currency,
    in the settlement (quote) currency.
    """

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
    ) -> None:
        """An unbuilt future; a pair text such as "BTC-USDT" is read with ``CryptoPair.create``.

        ``expiry_date`` is a text such as "20261225". No service is contacted: call
        ``build()`` (or use ``create``) for the reference data. Raises ``TypeError`` when
        ``expiry_date`` is not exactly a ``str``, and what ``CryptoPair.create`` raises for
        an unreadable pair text.
        """
    @staticmethod
    def get_instrument_id(
        symbol: str,
        instrument_type: str,
        contract_type: str,
        expiry_date: str,
        ccy: str,
        exchange: str,
    ) -> str:
        """The identifier ``exchange.symbol.instrument_type.contract_type.ccy.expiry_date``.

        Note that the fields are not in argument order. Raises ``TypeError`` when ``symbol``
        or ``expiry_date`` is not exactly a ``str``.
        """
    @property
    def settlement_ccy(self) -> str:
        """The currency the economics are in: the underlying's quote currency."""
    @property
    def contract_type(self) -> str:
        """The contract type: "LINEAR", or "INVERSE" for the inverse classes."""
    def calculate_unit_margin(self, price: float) -> float:
        """Margin of one unit at ``price``: the price itself, in the settlement currency."""
    def calc_unit_commission(self, price: float, is_maker: bool) -> float:
        """Commission of one unit at ``price``: price × ``UM_MAKER_FEE`` (maker) or
        ``UM_TAKER_FEE``, in the settlement currency. ``is_maker`` is required here.
        """
    def calc_cash_change(self, trade_price: float, qty: float) -> float:
        """``trade_price`` × ``qty`` in the settlement currency; the sign follows ``qty``.

        The value traded, positive for a buy (``qty`` > 0) and negative for a sale, nothing
        negated: the trader's cash moves the other way (``cash -= calc_cash_change(price, qty)``).
        """
    @staticmethod
    def create(instrumentId: str, **kwargs: Any) -> CryptoFuture:
        """The built instrument named by an identifier, e.g.
        "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225".

        Layout ``EXCHANGE.BASE-QUOTE.FUTURE|PERP.LINEAR|INVERSE.CCY.EXPIRY`` (expiry
        "UNSPECIFIED" for perpetuals); the class follows the type fields. Built instruments
        are kept for the life of the process in ``CryptoFuture.inst_cache`` under their own
        identifier, so asking again returns the same object without any lookup; threads
        asking for a new identifier at once all get the instrument stored first.

        Raises ``ValueError`` for an identifier without six "."-separated fields (or a symbol
        without one "-") or with an empty field, ``NotImplementedError`` for a type other than
        FUTURE or PERP, ``AssertionError`` (``KeyError`` under ``python -O``) when the
        identifier is not spelled as the instrument writes its own, and ``IndexError`` when no
        reference record was found (see ``get_instrument_info``); notes on these exceptions
        give the layout, both spellings, or what the lookup asked and met.
        """
    @staticmethod
    def get_instrument_info(
        symbol: str | None = None,
        exchange: str | None = None,
        security_type: str | None = None,
        contract_type: str | None = None,
        expiry_date: str | None = None,
        externalSymbol: str | None = None,
        cache: bool = True,
    ) -> list[_InstrumentInfo]:
        """Reference-data records from the service at ``InstrumentInfoUrl`` (``norvane.ini``).

        The given arguments form the query address (verbatim, in a fixed order; empty texts
        and "UNSPECIFIED" contract type or expiry date are left out). With ``cache`` the
        answer is read from, or stored in, ``LOCAL_DATA_CACHE_DIR/<sha256 of the address>.json``,
        which is never refreshed unless ``InstrumentInfoMaxAge`` is set (a file older than that is
        fetched again, and still answers, with a WARNING, when every attempt fails): remove it
        (``python -m norvane.devtools.cache forget``) or fetch it again (``... cache refresh``).
        An expiry date keeps only the first record with that ``expiry_date``.

        Failed requests (each bounded by ``InstrumentInfoTimeout`` seconds when configured)
        are logged at ERROR (a non-200 success status is printed) and retried up to
        ``CryptoFuture.RETRY_TIMES`` times; then the result is an empty list. A failed cache
        write is logged and the records are still returned.
        Raises ``TypeError`` for an argument that is not exactly a ``str`` or ``None``,
        ``ValueError`` (before any request) for a value holding "#", white space or a control
        character, which the address cannot carry verbatim, or an ``InstrumentInfoTimeout`` or
        ``InstrumentInfoMaxAge`` it cannot use; the
        configuration's errors (``Exception`` "config file not exist, ..." without a
        ``norvane.ini``, ``KeyError`` without ``data_related``/``InstrumentInfoUrl``,
        ``UnboundLocalError`` when ``LOCAL_DATA_CACHE_DIR`` cannot be read); and the parse
        error of an unreadable cache file, or ``OSError`` for one that is no regular file (left
        in place; the note names the file).
        """
    def _build(self) -> None: ...

class CryptoInvFuture(CryptoFuture):
    """A dated inverse (coin-settled) future: symbol "COIN-USD", settled in the coin.

    The underlying is the coin as a pair against itself, e.g.
    ``CryptoPair(quote_ccy="BTC", base_ccy="BTC")``. Prices are USD per coin; margin,
    commission and cash change are per contract, in the coin (the base currency); all three
    read the contract multiplier, so they need ``build()`` first (``AttributeError`` before).
    """

    # The runtime annotation of expiry_date reads Union[int, str], but the linear
    # constructor it delegates to accepts a str only.
    def __init__(self, underl: CryptoPair, expiry_date: str, exchange: str, **kwargs: Any) -> None:
        """An unbuilt inverse future; extra keywords are ignored.

        Raises ``ValueError`` when the pair's base and quote currencies differ, and
        ``TypeError`` when ``expiry_date`` is not exactly a ``str``.
        """
    @staticmethod
    def get_instrument_id(
        symbol: str,
        instrument_type: str,
        contract_type: str,
        expiry_date: str,
        ccy: str,
        exchange: str,
    ) -> str:
        """Same as ``CryptoFuture.get_instrument_id``."""
    @property
    def settlement_ccy(self) -> str:
        """The coin the contract settles in."""
    def calculate_unit_margin(self, price: float) -> float:
        """Margin of one contract: contract multiplier / ``price``, in the coin.

        Raises ``ZeroDivisionError`` at price 0.
        """
    def calc_unit_commission(self, price: float, is_maker: bool = True) -> float:
        """Commission of one contract: (``CM_MAKER_FEE`` or ``CM_TAKER_FEE``) × contract
        multiplier / ``price``, in the coin; a maker fill unless ``is_maker`` is false.

        Raises ``ZeroDivisionError`` at price 0.
        """
    def calc_cash_change(self, trade_price: float, qty: float) -> float:
        """``qty`` × contract multiplier / ``trade_price``, in the coin; the sign follows ``qty``.

        The value traded, positive for a buy (``qty`` > 0) and negative for a sale, nothing
        negated: the trader's cash moves the other way (``cash -= calc_cash_change(price, qty)``).

        Raises ``ZeroDivisionError`` at price 0.
        """

class CryptoPerpFuture(CryptoFuture):
    """A linear perpetual future (expiry "UNSPECIFIED"), built when constructed.

    Identifier ``EXCHANGE.BASE-QUOTE.PERP.LINEAR.QUOTE.UNSPECIFIED``; economics as
    ``CryptoFuture``, in the quote currency.
    """

    def __init__(self, underl: CryptoPair | str, exchange: str, *, symbol: str = ..., **kwargs: Any) -> None:
        """Constructs and builds: the reference data comes from the cache or the service.

        Raises what ``build()`` raises, e.g. ``IndexError`` when no record was found.
        """
    @staticmethod
    def is_underl_supported(underl: CryptoPair | str) -> bool:
        """Whether ``underl`` is a ``CryptoPair`` or a text ``CryptoPair.create`` accepts; never raises."""
    @staticmethod
    def create_by_underl(underl: CryptoPair | str, exchange: str | None = None) -> CryptoPerpFuture:
        """A built perpetual on ``underl``; ``exchange`` defaults to the pair's own.

        Raises ``ValueError`` ("... not supported!") for an unsupported underlying.
        """
    @staticmethod
    def get_instrument_id(
        symbol: str,
        instrument_type: str,
        contract_type: str,
        expiry_date: str,
        ccy: str,
        exchange: str,
    ) -> str:
        """Same as ``CryptoFuture.get_instrument_id``."""

class CryptoInvPerpFuture(CryptoInvFuture):
    """An inverse perpetual future: symbol "COIN-USD", expiry "UNSPECIFIED", settled in the coin.

    Unlike the linear perpetual it is left unbuilt: call ``build()`` before the margin or
    commission. Economics as ``CryptoInvFuture``, in the coin.
    """

    # The runtime annotation of underl reads CryptoPair, but a pair text is converted
    # as for the other perpetual.
    def __init__(self, underl: CryptoPair | str, exchange: str) -> None:
        """An unbuilt inverse perpetual; takes no other arguments.

        Raises ``ValueError`` when the pair's base and quote currencies differ.
        """
    @staticmethod
    def get_instrument_id(
        symbol: str,
        instrument_type: str,
        contract_type: str,
        expiry_date: str,
        ccy: str,
        exchange: str,
    ) -> str:
        """Same as ``CryptoFuture.get_instrument_id``."""
