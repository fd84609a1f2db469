"""Exceptions raised by the kestrel package.

Every ``vxclk_`` function of the library returns a status code; the package
turns any code other than 0 into an exception. All of them derive from
:class:`KestrelError`, which carries the code (``.status``), the name of the
C function (``.function``), the board's address (``.address``) and, for a
failure of the link to the board, its cause (``.cause``), so one
``except KestrelError`` catches every failure reported by the library, and the
subclasses let a caller pick out the ones it can handle::

    try:
        board.fm.set_custom_frequency(1.2)
    except kestrel.CalibrationSourceSelected:
        board.fm.set_frequency(4)        # fall back to the 1.3 MHz table rate

The message holds all of it, for example::

    generate_clock on 127.0.0.5: The operation failed: the board did not answer,
    did not take a write, or refused the request. (vxclk_generateClock returned 1;
    cause: timed out)

==========  ============================  ===========================================
status      exception                     meaning
==========  ============================  ===========================================
1           :class:`OperationFailed`      the board did not answer, a write failed, or
                                          a control needs its enable first
2           :class:`NotConnected`         the board is not connected (never opened,
                                          disconnected, or could not be reached)
3           :class:`OutOfRange`           an argument is out of range
4           :class:`InvalidInstance`      no library instance (the board was closed)
5           :class:`CalibrationSourceSelected`  a custom FM rate was refused because a
                                          calibration source is selected
==========  ============================  ===========================================

:func:`status_text` gives the library's sentence for a status, the same
sentences as ``vxclk_statusText`` in ``KestrelLib.h`` and kestrelctl's messages.

:class:`LibraryNotFoundError` is different: it means the shared library itself
could not be found or loaded, and says where the package looked.
"""

from __future__ import annotations

import enum
from typing import Any, ClassVar, Dict, Optional, Tuple, Type

__all__ = [
    "Status",
    "STATUS_TEXT",
    "UNKNOWN_STATUS_TEXT",
    "status_text",
    "KestrelError",
    "OperationFailed",
    "NotConnected",
    "OutOfRange",
    "InvalidInstance",
    "CalibrationSourceSelected",
    "LibraryNotFoundError",
    "error_for_status",
]


class Status(enum.IntEnum):
    """The status codes that the library's functions return."""

    OK = 0
    FAILED = 1
    NOT_CONNECTED = 2
    OUT_OF_RANGE = 3
    INVALID_INSTANCE = 4
    CALIBRATION_SELECTED = 5


#: One sentence per status, word for word those of ``vxclk_statusText``.
STATUS_TEXT: Dict[int, str] = {
    Status.OK: "Success.",
    Status.FAILED: "The operation failed: the board did not answer, did not take a write, or refused the request.",
    Status.NOT_CONNECTED: "The board is not connected.",
    Status.OUT_OF_RANGE: "An argument is out of range or a required pointer is null.",
    Status.INVALID_INSTANCE: "The instance pointer is null.",
    Status.CALIBRATION_SELECTED: "A custom FM rate is refused while a calibration source is selected.",
}

#: The sentence for a status code the library does not define.
UNKNOWN_STATUS_TEXT = "Unknown status code."


def status_text(status: int) -> str:
    """The library's sentence for a status code, as ``vxclk_statusText`` gives it."""
    return STATUS_TEXT.get(int(status), UNKNOWN_STATUS_TEXT)


class KestrelError(Exception):
    """A library function returned a status other than 0, or the package
    refused a call before it reached the library (then :attr:`called` is False).

    Attributes:
        status: the status code (a :class:`Status` member when the code is known).
        function: the name of the C function, e.g. ``"vxclk_setCustomFMFrequency"``.
        address: the board's address, None when no board was involved (a call
            through :mod:`kestrel.native` with its own handle).
        cause: for a failure of the link, what the package could tell about it:
            ``"bad address"``, ``"refused"``, ``"unreachable"`` or
            ``"timed out"``; None when it claims nothing beyond the status.
        operation: the :class:`~kestrel.Board` method that made the call, e.g.
            ``"generate_clock"`` or ``"fm.set_amplitude"``.
        detail: a further sentence, e.g. which argument is out of range.
        called: False when the package refused the call without calling the
            library (a range check, a board never opened or closed).
    """

    #: The status code this class stands for (None for the base class).
    STATUS: ClassVar[Optional[int]] = None

    def __init__(
        self,
        status: int,
        function: str,
        address: Optional[str] = None,
        cause: Optional[str] = None,
        *,
        operation: Optional[str] = None,
        detail: Optional[str] = None,
        called: bool = True,
    ) -> None:
        super().__init__(status, function)
        try:
            self.status: int = Status(status)
        except ValueError:
            self.status = int(status)
        self.function: str = function
        self.address: Optional[str] = address
        self.cause: Optional[str] = cause
        self.operation: Optional[str] = operation
        self.detail: Optional[str] = detail
        self.called: bool = called

    def __reduce__(self) -> Tuple[Any, ...]:
        # Keeps every attribute through pickling (multiprocessing, for one).
        return (_rebuild, (type(self), int(self.status), self.function, self.__dict__.copy()))

    def __str__(self) -> str:
        where = " on ".join(part for part in (self.operation, self.address) if part)
        text = status_text(self.status)
        if self.detail:
            text += " " + self.detail.rstrip(".") + "."
        outcome = f"returned {int(self.status)}" if self.called else "was not called"
        if self.cause:
            outcome += f"; cause: {self.cause}"
        return f"{where + ': ' if where else ''}{text} ({self.function} {outcome})"


def _rebuild(cls: Type[KestrelError], status: int, function: str, state: Dict[str, Any]) -> KestrelError:
    error = cls(status, function)
    error.__dict__.update(state)
    return error


class OperationFailed(KestrelError):
    """Status 1: the board did not answer, a register or memory write failed, the
    board did not take a synthesizer upload, a calibration file could not be
    read, or a modulation control was set before its enable (for example
    ``tx2.pm.set_amplitude`` before ``tx2.pm.enable()``)."""

    STATUS = Status.FAILED


class NotConnected(KestrelError):
    """Status 2: the board is not connected: it was never opened, it was
    disconnected, or connecting failed (no board answers at the address, or the
    address is not dotted IPv4; :attr:`cause` tells which when the package can)."""

    STATUS = Status.NOT_CONNECTED


class OutOfRange(KestrelError, ValueError):
    """Status 3: an argument is out of range (for example a clock outside
    20..5500 MHz, a Tx1 power above 31, a custom FM rate outside 0.04..50 MHz,
    a calibration row above 13), refused by the package before the call (see
    :mod:`kestrel.limits`) or by the library. Also a :class:`ValueError`."""

    STATUS = Status.OUT_OF_RANGE


class InvalidInstance(KestrelError):
    """Status 4: the call had no library instance, which happens when a
    :class:`~kestrel.Board` is used after it was closed (:meth:`~kestrel.Board.open`
    makes it usable again)."""

    STATUS = Status.INVALID_INSTANCE


class CalibrationSourceSelected(KestrelError):
    """Status 5: a custom FM rate is refused while a calibration source (board
    or file) is selected; select :attr:`CalibrationSource.NONE
    <kestrel.CalibrationSource.NONE>` first or use a table rate."""

    STATUS = Status.CALIBRATION_SELECTED


_BY_STATUS: Dict[int, Type[KestrelError]] = {
    cls.STATUS: cls  # type: ignore[misc]
    for cls in (OperationFailed, NotConnected, OutOfRange, InvalidInstance, CalibrationSourceSelected)
}


def error_for_status(status: int, function: str, address: Optional[str] = None, **details: Any) -> KestrelError:
    """The exception for a status code returned by ``function`` (the base class
    :class:`KestrelError` for a code the package does not know); ``details``
    are the keyword arguments of :class:`KestrelError`."""
    return _BY_STATUS.get(int(status), KestrelError)(status, function, address, **details)


class LibraryNotFoundError(OSError):
    """The KestrelLib shared library could not be found or loaded. The message
    lists every place that was tried; set the ``KESTREL_LIBRARY`` environment
    variable to the library file to choose it explicitly."""
