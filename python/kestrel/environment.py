"""Settings the library reads from the environment, seen from Python.

The library reads these variables when an instance is created, that is when a
:class:`~kestrel.Board` is opened; a change applies to boards opened afterwards:

==================================  ==========================================
``KESTREL_TRACE``                   ``1``: log each exchange with the board on
                                    stderr; a path: write the lines to that
                                    file (see :func:`enable_trace`)
``KESTREL_PORT``                    the board's TCP port (default 6653)
``KESTREL_CONNECT_TIMEOUT_MS``      connect time limit (default 3000 ms)
``KESTREL_EXCHANGE_TIMEOUT_MS``     limit for one exchange (default 2000 ms)
==================================  ==========================================

The package reads the port and the limits too, to tell the cause of a failure
(see :attr:`kestrel.KestrelError.cause`); like the library, it ignores a value
that is not a positive whole number (the library says so on stderr).
"""

from __future__ import annotations

import os
from typing import Optional, Union

__all__ = [
    "TRACE_ENV",
    "PORT_ENV",
    "CONNECT_TIMEOUT_ENV",
    "EXCHANGE_TIMEOUT_ENV",
    "DEFAULT_PORT",
    "DEFAULT_CONNECT_TIMEOUT_MS",
    "DEFAULT_EXCHANGE_TIMEOUT_MS",
    "enable_trace",
    "board_port",
    "connect_timeout_ms",
    "exchange_timeout_ms",
]

TRACE_ENV = "KESTREL_TRACE"
PORT_ENV = "KESTREL_PORT"
CONNECT_TIMEOUT_ENV = "KESTREL_CONNECT_TIMEOUT_MS"
EXCHANGE_TIMEOUT_ENV = "KESTREL_EXCHANGE_TIMEOUT_MS"

#: The board's TCP port.
DEFAULT_PORT = 6653
#: ``VXCLK_CONNECT_TIMEOUT_MS`` of ``KestrelLib.h``.
DEFAULT_CONNECT_TIMEOUT_MS = 3000
#: ``VXCLK_EXCHANGE_TIMEOUT_MS`` of ``KestrelLib.h``.
DEFAULT_EXCHANGE_TIMEOUT_MS = 2000


def enable_trace(target: Union[bool, str, "os.PathLike[str]", None] = True) -> None:
    """Switches the library's trace of board exchanges on or off.

    Sets ``KESTREL_TRACE``: ``1`` for ``True`` (the lines go to stderr), the
    path for a path (the lines go to that file); ``False`` or None
    removes it. The library reads it when an instance is created, so the
    trace applies to boards opened after this call, not to those already open.
    """
    if target is True:
        os.environ[TRACE_ENV] = "1"
    elif target is False or target is None:
        os.environ.pop(TRACE_ENV, None)
    else:
        os.environ[TRACE_ENV] = os.fspath(target)


def _positive(name: str, default: int, limit: Optional[int] = None) -> int:
    """The whole number in environment variable ``name``, or ``default`` when it
    is unset or not a number from 1 to ``limit``."""
    text = os.environ.get(name, "").strip()
    if not text.isdigit():
        return default
    value = int(text)
    return value if 0 < value and (limit is None or value <= limit) else default


def board_port() -> int:
    """The board's TCP port: ``KESTREL_PORT``, else 6653."""
    return _positive(PORT_ENV, DEFAULT_PORT, 65535)


def connect_timeout_ms() -> int:
    """The connect time limit in ms: ``KESTREL_CONNECT_TIMEOUT_MS``, else 3000."""
    return _positive(CONNECT_TIMEOUT_ENV, DEFAULT_CONNECT_TIMEOUT_MS)


def exchange_timeout_ms() -> int:
    """The time limit of one exchange in ms: ``KESTREL_EXCHANGE_TIMEOUT_MS``, else 2000."""
    return _positive(EXCHANGE_TIMEOUT_ENV, DEFAULT_EXCHANGE_TIMEOUT_MS)
