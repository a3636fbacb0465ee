"""Spot currency pairs."""

from norvane.kestrum_utils.priceable.enums import INSTRUMENT_TYPE
from norvane.kestrum_utils.priceable.instrument import Instrument


class CryptoPair(Instrument):
    """A spot pair BASE-QUOTE: the price of one unit of ``base_ccy`` in ``quote_ccy``.

    Its symbol is "BASE-QUOTE", its asset the base and its currency the quote
    currency. A pair whose two currencies are equal stands for a single currency
    (the underlying of inverse contracts).
    """

    def __init__(self, quote_ccy, base_ccy, exchange=None):
        super().__init__(
            symbol=f"{base_ccy}-{quote_ccy}",
            asset=base_ccy,
            exchange=exchange,
            ccy=quote_ccy,
            instrument_type=INSTRUMENT_TYPE.SPOT,
        )
        self._base_ccy = base_ccy
        self._quote_ccy = quote_ccy
        parts = (self._symbol, INSTRUMENT_TYPE.SPOT)
        if exchange is not None:
            parts = (f"{exchange}",) + parts
        self._instrument_id = ".".join(parts)

    @staticmethod
    def create(text, exchange=None):
        """Read a pair from its text "BASE-QUOTE".

        Both currencies are taken verbatim (no case change), so a text and the
        pair made from it always spell the same symbol. Refused with ValueError:
        anything but a ``str``, a text without exactly one "-", an empty
        currency, and currencies holding whitespace or "." (a "." would break
        the "."-separated instrument identifiers built on the pair).
        """
        if not isinstance(text, str):
            raise ValueError(f"cannot read a currency pair from {type(text).__name__} {text!r}")
        parts = text.split("-")
        if len(parts) != 2 or not all(parts) or any(ch.isspace() or ch == "." for ch in text):
            raise ValueError(f"cannot read a currency pair from {text!r}; expected BASE-QUOTE")
        base_ccy, quote_ccy = parts
        return CryptoPair(quote_ccy=quote_ccy, base_ccy=base_ccy, exchange=exchange)

    @property
    def base_ccy(self):
        return self._base_ccy

    @property
    def quote_ccy(self):
        return self._quote_ccy

    def __str__(self):
        if self._exchange is None:
            return f"CryptoPair({self._symbol})"
        return f"CryptoPair({self._symbol}, {self._exchange})"

    def __format__(self, spec):
        return format(str(self), spec)

    def __repr__(self):
        return f"CryptoPair(quote_ccy={self._quote_ccy!r}, base_ccy={self._base_ccy!r}, exchange={self._exchange!r})"
