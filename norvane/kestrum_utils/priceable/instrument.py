"""Base class of every priceable instrument."""

from norvane.kestrum_utils.priceable.enums import CONTRACT_TYPE as _CONTRACT_TYPE
from norvane.kestrum_utils.priceable.enums import INSTRUMENT_TYPE as _INSTRUMENT_TYPE


class Instrument:
    """An instrument known by its identity; reference data is loaded by ``build()``.

    Subclasses put their loading work in ``_build`` and set ``_instrument_id``,
    the text that ``str()`` returns.
    """

    UNSPECIFIED = "UNSPECIFIED"

    INSTRUMENT_TYPE = _INSTRUMENT_TYPE
    CONTRACT_TYPE = _CONTRACT_TYPE
    # Type names for annotations; exchanges and currencies are plain texts.
    EXCHANGE = str
    CURRENCY = str

    # Default fee rates: USD-margined (linear) and coin-margined (inverse) contracts.
    UM_MAKER_FEE = 0.0002
    UM_TAKER_FEE = 0.0005
    CM_MAKER_FEE = 0.0001
    CM_TAKER_FEE = 0.0005

    def __init__(self, *, symbol, asset, exchange, ccy, instrument_type):
        self._symbol = symbol
        self._asset = asset
        self._exchange = exchange
        self._ccy = ccy
        self._instrument_type = instrument_type
        self._is_built = False

    def build(self):
        # The flag is set only after the hook succeeded, so a failed build can be retried.
        self._build()
        self._is_built = True

    def _build(self):
        pass

    def __str__(self):
        return self._instrument_id

    @property
    def symbol(self):
        return self._symbol

    @property
    def asset(self):
        return self._asset

    @property
    def exchange(self):
        return self._exchange

    @property
    def ccy(self):
        return self._ccy

    @property
    def instrument_type(self):
        return self._instrument_type

    @property
    def contract_multipl(self):
        # Set by the subclass's build step; reading it earlier raises AttributeError.
        return self._contract_multipl
