"""Tools for developing, testing and trying out norvane; not used by the package at run time.

``synthetic_ticks()`` makes a realistic day of trades to sample; the development reference-data service
lives in ``norvane.devtools.refdata_service``.
"""

from norvane.devtools.ticks import synthetic_ticks

__all__ = ["synthetic_ticks"]
