"""Telling why the link to a board failed, from what Python can see.

The library reports a failed connect as status 2 and a board that stopped
answering as status 1, without the cause. The package tells the cause where it
can without asking the library more:

* ``"bad address"``: the address is neither a dotted IPv4 address nor a host
  name with an IPv4 address (checked before connecting);
* ``"timed out"``: the call lasted about as long as the library's time limit;
* ``"refused"`` / ``"unreachable"``: a connect failed quickly, and a probe
  connection to the board's port, made right after, was refused or found no
  route.

When none of these applies, no cause is claimed.
"""

from __future__ import annotations

import errno
import ipaddress
import socket
from typing import Optional

from . import environment
from .errors import Status

__all__ = [
    "BAD_ADDRESS",
    "REFUSED",
    "UNREACHABLE",
    "TIMED_OUT",
    "PROBE_TIMEOUT_S",
    "TIMEOUT_SHARE",
    "is_dotted_ipv4",
    "board_ipv4",
    "connect_failure_cause",
    "call_failure_cause",
    "probe",
    "probe_cause",
]

BAD_ADDRESS = "bad address"
REFUSED = "refused"
UNREACHABLE = "unreachable"
TIMED_OUT = "timed out"

#: How long the probe connection may take, in seconds.
PROBE_TIMEOUT_S = 0.5

#: A call that lasted at least this share of a time limit ran into it (the
#: library's clock and Python's may differ by a few milliseconds).
TIMEOUT_SHARE = 0.95

_UNREACHABLE_ERRORS = {
    getattr(errno, name)
    for name in ("ENETUNREACH", "EHOSTUNREACH", "EHOSTDOWN", "ENETDOWN", "EADDRNOTAVAIL")
    if hasattr(errno, name)
}


def is_dotted_ipv4(address: str) -> bool:
    """True for a dotted IPv4 address such as ``"192.168.1.20"`` (four decimal
    numbers 0..255 without leading zeros), the only form the library takes."""
    try:
        ipaddress.IPv4Address(address)
    except ValueError:
        return False
    return True


def board_ipv4(address: str) -> Optional[str]:
    """The dotted IPv4 address the library dials for ``address``: the address
    itself, or the first IPv4 address of a host name (through the system's
    resolver, which may wait on the network); None when there is none. Text of
    digits and dots must be a dotted address: the resolver would read
    ``"1.2.3"`` as 1.2.0.3."""
    if not address or address.strip(".0123456789") == "":
        return address if is_dotted_ipv4(address) else None
    try:
        found = socket.getaddrinfo(address, None, socket.AF_INET, socket.SOCK_STREAM)
    except (OSError, UnicodeError):
        return None
    return str(found[0][4][0]) if found else None


def connect_failure_cause(address: str, elapsed_ms: float) -> Optional[str]:
    """The cause of a failed connect to ``address`` that took ``elapsed_ms``.

    A connect that lasted about as long as the connect limit, or as the
    exchange limit (the calibration read at connect), timed out. A quick
    failure is probed: see :func:`probe`.
    """
    limit = min(environment.connect_timeout_ms(), environment.exchange_timeout_ms())
    if elapsed_ms >= TIMEOUT_SHARE * limit:
        return TIMED_OUT
    return probe_cause(probe(address, environment.board_port()))


def call_failure_cause(status: int, elapsed_ms: float) -> Optional[str]:
    """The cause of a board call that returned ``status`` after ``elapsed_ms``:
    ``"timed out"`` for a failure (status 1) that lasted the exchange limit."""
    if status == Status.FAILED and elapsed_ms >= TIMEOUT_SHARE * environment.exchange_timeout_ms():
        return TIMED_OUT
    return None


def probe(address: str, port: int, timeout: float = PROBE_TIMEOUT_S) -> Optional[OSError]:
    """Opens and closes one TCP connection to ``address:port``; the error it
    met, or None when it connected."""
    try:
        with socket.create_connection((address, port), timeout=timeout):
            return None
    except OSError as error:
        return error


def probe_cause(error: Optional[OSError]) -> Optional[str]:
    """The cause a probe's outcome shows: ``"refused"``, ``"unreachable"``, or
    None (it connected, so the board's side failed later; or it timed out
    although the library had failed quickly, which tells nothing sure)."""
    if isinstance(error, ConnectionRefusedError):
        return REFUSED
    if isinstance(error, OSError) and not isinstance(error, socket.timeout) and error.errno in _UNREACHABLE_ERRORS:
        return UNREACHABLE
    return None
