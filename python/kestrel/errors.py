"""Exceptions raised by the kestrel package.

Every ``vxclk_`` function of the library returns a status code; the package
turns any code other than 0 into an exception. All of them derive from
:class:`KestrelError`, which carries the code (``.status``) and the name of the
C function that returned it (``.function``), so one ``except KestrelError``
catches every failure reported by the library, and the subclasses let a
caller pick out the ones it can handle::

    try:
        board.fm.set_custom_frequency(1.2)
    except kestrel.CalibrationSourceSelected:
        board.fm.set_frequency(4)        # fall back to the 1.3 MHz table rate

==========  ============================  ===========================================
status      exception                     meaning
==========  ============================  ===========================================
1           :class:`OperationFailed`      the board did not answer, a write failed, or
                                          a control needs its enable first
2           :class:`NotConnected`         the board is not connected (or could not be
                                          reached when connecting)
3           :class:`OutOfRange`           an argument is out of range
4           :class:`InvalidInstance`      no library instance (the board was closed)
5           :class:`CalibrationSourceSelected`  a custom FM rate was refused because a
                                          calibration source is selected
==========  ============================  ===========================================

:class:`LibraryNotFoundError` is different: it means the shared library itself
could not be found or loaded, and says where the package looked.
"""

from __future__ import annotations

import enum
from typing import ClassVar, Dict, Optional, Type

__all__ = [
    "Status",
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


_MEANINGS = {
    Status.FAILED: "the operation failed (the board did not answer, a write failed, "
    "or the control needs its enable first)",
    Status.NOT_CONNECTED: "the board is not connected",
    Status.OUT_OF_RANGE: "an argument is out of range",
    Status.INVALID_INSTANCE: "there is no library instance (the board is closed)",
    Status.CALIBRATION_SELECTED: "refused because a calibration source is selected",
}


class KestrelError(Exception):
    """A library function returned a status other than 0.

    Attributes:
        status: the status code (a :class:`Status` member when the code is known).
        function: the name of the C function that returned it, e.g.
            ``"vxclk_setCustomFMFrequency"``.
    """

    #: The status code this class stands for (None for the base class).
    STATUS: ClassVar[Optional[int]] = None

    def __init__(self, status: int, function: str) -> None:
        super().__init__(status, function)
        try:
            self.status: int = Status(status)
        except ValueError:
            self.status = int(status)
        self.function: str = function

    def __str__(self) -> str:
        meaning = _MEANINGS.get(self.status, "unknown status")  # type: ignore[call-overload]
        return f"{self.function} returned status {int(self.status)}: {meaning}"


class OperationFailed(KestrelError):
    """Status 1: the board did not answer, a register or memory write failed, the
    board did not take a synthesizer upload, a calibration file could not be
    read, or a modulation control was set before its enable (for example
    ``tx2.pm.set_amplitude`` before ``tx2.pm.enable()``)."""

    STATUS = Status.FAILED


class NotConnected(KestrelError):
    """Status 2: the board is not connected, or connecting failed (no board
    answers at the address, or the address is not dotted IPv4)."""

    STATUS = Status.NOT_CONNECTED


class OutOfRange(KestrelError, ValueError):
    """Status 3: the library refused an argument as out of range (for example a
    clock outside 20..5500 MHz, a custom FM rate outside 0.04..50 MHz, a
    calibration row above 13). Also a :class:`ValueError`."""

    STATUS = Status.OUT_OF_RANGE


class InvalidInstance(KestrelError):
    """Status 4: the call had no library instance, which happens when a
    :class:`~kestrel.Board` is used after it was closed."""

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


def error_for_status(status: int, function: str) -> KestrelError:
    """The exception for a status code returned by ``function`` (the base class
    :class:`KestrelError` for a code the package does not know)."""
    return _BY_STATUS.get(int(status), KestrelError)(status, function)


class LibraryNotFoundError(OSError):
    """The KestrelLib shared library could not be found or loaded. The message
    lists every place that was tried; set the ``KESTREL_LIBRARY`` environment
    variable to the library file to choose it explicitly."""
