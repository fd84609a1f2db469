"""kestrel: drive a Kestrel clock-source board from Python.

A thin, typed layer over the KestrelLib shared library (through ctypes; no
compiled extension and no dependency beyond the standard library)::

    import kestrel

    with kestrel.Board("192.168.1.20") as board:
        board.generate_clock(1800.0)
        board.fm.enable()
        board.fm.set_frequency(3)               # 1 MHz, see kestrel.FM_RATES_MHZ
        print(board.board_id, board.vco_locked())

``Board(address)`` (a host name or a dotted IPv4 address) connects when it is made (``connect=False`` to connect
later with :meth:`Board.open`). Failures raise :class:`KestrelError`
subclasses carrying the board's address and, for a failed link, its cause
(see :mod:`kestrel.errors`); arguments outside kestrelctl's ranges
(:mod:`kestrel.limits`) raise :class:`OutOfRange` before the library is called.

The package logs through :mod:`logging` on the ``"kestrel"`` logger (a debug
line per library call, info on connect and close, a warning per failure);
:func:`enable_trace` switches on the library's own trace of each exchange
with the board. :func:`kestrel.testing.emulator` runs the board emulator so
scripts can be tried without a board. :mod:`kestrel.native` has the library's
functions as they are. Where the library is looked for: see
:mod:`kestrel.native` (the ``KESTREL_LIBRARY`` environment variable first).
"""

from __future__ import annotations

import logging
from typing import Tuple

from . import environment, limits, native
from .board import FM_RATES_MHZ, MEMORY_SIZE, Board, CalibrationRow, CalibrationSource
from .config import BoardConfig
from .errors import (
    CalibrationSourceSelected,
    InvalidInstance,
    KestrelError,
    LibraryNotFoundError,
    NotConnected,
    OperationFailed,
    OutOfRange,
    Status,
    status_text,
)
from .environment import enable_trace
from .planning import VCO_MIN_MHZ, produced_frequency_mhz

# A library logs nothing unless the application configures logging.
logging.getLogger(__name__).addHandler(logging.NullHandler())

__version__ = "2.2.1"

__all__ = [
    "Board",
    "BoardConfig",
    "CalibrationRow",
    "CalibrationSource",
    "CalibrationSourceSelected",
    "FM_RATES_MHZ",
    "InvalidInstance",
    "KestrelError",
    "LibraryNotFoundError",
    "MEMORY_SIZE",
    "NotConnected",
    "OperationFailed",
    "OutOfRange",
    "Status",
    "VCO_MIN_MHZ",
    "api_version",
    "enable_trace",
    "environment",
    "limits",
    "native",
    "produced_frequency_mhz",
    "status_text",
]


def api_version() -> Tuple[int, int, int]:
    """The version of the loaded library, e.g. ``(2, 2, 1)``.

    Raises:
        LibraryNotFoundError: the library could not be loaded.
    """
    return native.api_version()
