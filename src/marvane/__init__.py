"""marvane: a local Parquet store of market data, filled from a Redis-protocol data service.

The work is done by two extension modules, ``marvane.FrameStore`` (the store) and
``marvane.TSClient`` (the client of the data service).
"""

__version__ = "0.1.0"
