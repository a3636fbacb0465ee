"""Enumerations shared by the priceable instruments.

``INSTRUMENT_TYPE`` and ``CONTRACT_TYPE`` are plain namespaces whose members are
ordinary ``str`` objects, not ``enum`` members or ``str`` subclasses: they are
written verbatim into instrument identifiers and query addresses, compared with
parts of parsed identifiers by ``==``, and passed to code that accepts only an
exact ``str``.
"""

import enum


class INSTRUMENT_TYPE:
    """Security types, spelled as the reference-data service spells them."""

    FUTURE = "FUTURE"
    PERP = "PERP"
    SPOT = "SPOT"


class CONTRACT_TYPE:
    """How a derivative's contract value is expressed and settled."""

    LINEAR = "LINEAR"
    INVERSE = "INVERSE"


class SettlementType(enum.Enum):
    cash = "cash"
    physical = "physical"
