"""Tools for developing, testing and trying out norvane; not used by the package at run time.

``synthetic_ticks()`` makes a realistic day of trades to sample; the development reference-data service
lives in ``norvane.devtools.refdata_service``. Commands: ``python -m norvane.devtools.showcase`` (the main
job), ``.init`` (a norvane.ini to start from), ``.cache`` (the instrument cache), ``.sampler_methods``
(which group-by methods the sampler can use on the installed pandas).
"""

from norvane.devtools.ticks import synthetic_ticks

__all__ = ["synthetic_ticks"]
