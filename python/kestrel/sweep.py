"""Frequency lists and sweeps of a board that kestreld serves.

The daemon runs them on its own timer, so a run outlives the call that
started it; no library function starts one. These functions speak the
daemon's SCPI (docs/scpi.md, "Frequency lists and sweeps") over a socket of
their own to the board's port, and :class:`~kestrel.Board` offers them for a
``kestreld://`` address::

    with kestrel.Board("kestreld://labhost") as board:
        board.sweep_list([100.0, 200.0, 300.0], dwell_s=0.01, wait=True)
        print(board.sweep_status())     # {'state': 'idle', 'mode': 'LIST', 'index': 2}

Arguments are checked against :mod:`kestrel.limits` before anything is sent;
a refusal of the daemon raises :class:`SweepError` with its SCPI error.
"""

from __future__ import annotations

import socket
from typing import Dict, Sequence, Tuple, Union

from . import limits
from .errors import OutOfRange, Status
from .link import REMOTE_SCHEME, is_remote

__all__ = ["SweepError", "remote_address", "sweep_list", "sweep_linear", "abort_sweep", "sweep_status"]

#: kestreld's SCPI port of a board when the address names none.
DEFAULT_PORT = 5025
#: How long a connect or one answer may take, in seconds.
ANSWER_TIMEOUT_S = 10.0
#: How much longer than its planned length a run's end may come, in seconds.
RUN_SLACK_S = 30.0
_LATE = "longer than its dwell"
_OPERATION_RUNNING, _OPERATION_ARMED = 8, 32


class SweepError(Exception):
    """kestreld refused a sweep command (``code``: its SCPI error number), or
    the board is not one kestreld serves (``code`` None)."""

    def __init__(self, message: str, code: Union[int, None] = None) -> None:
        super().__init__(message)
        self.code = code


def remote_address(address: str) -> Tuple[str, int]:
    """The daemon's host and the board's SCPI port of ``kestreld://HOST[:PORT]``,
    read as the library reads it; SweepError for any other address."""
    if not is_remote(address):
        raise SweepError(f"{address!r} is a board on its own: sweeps run in kestreld, "
                         f"open the board as {REMOTE_SCHEME}HOST[:PORT]")
    rest = address[len(REMOTE_SCHEME):]
    if rest.endswith("/"):
        rest = rest[:-1]
    host, colon, port = rest.rpartition(":")
    if not colon:
        host, port = rest, str(DEFAULT_PORT)
    if not host or any(c in host for c in "/@ ") or not port.isdigit() or not 0 < int(port) <= 65535:
        raise SweepError(f"{address!r} is not {REMOTE_SCHEME}HOST[:PORT]")
    return host, int(port)


class _Daemon:
    """One connection to the board's SCPI port: lines out, answers back."""

    def __init__(self, address: str) -> None:
        self._socket = socket.create_connection(remote_address(address), timeout=ANSWER_TIMEOUT_S)
        self._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._file = self._socket.makefile("rb")

    def __enter__(self) -> "_Daemon":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._file.close()
        self._socket.close()

    def write(self, line: str) -> None:
        self._socket.sendall((line + "\n").encode())

    def query(self, line: str, timeout: float = ANSWER_TIMEOUT_S) -> str:
        self.write(line)
        self._socket.settimeout(timeout)
        answer = self._file.readline()
        if not answer.endswith(b"\n"):
            raise ConnectionError("kestreld closed the connection")
        return answer.decode().strip()

    def errors(self) -> int:
        """Empties the error queue: raises the first refusal, counts the
        points that were later than their dwell."""
        late = 0
        while True:
            error = self.query("SYST:ERR?")
            code = int(error.split(",", 1)[0])
            if code == 0:
                return late
            if _LATE not in error:
                raise SweepError(f"kestreld: {error}", code)
            late += 1


def _checked(what: str, value: float, allowed: limits.Range) -> float:
    if value not in allowed:
        raise OutOfRange(Status.OUT_OF_RANGE, "kestreld", called=False,
                         detail=f"{what} must be {allowed}, not {value!r}")
    return float(value)


def _run(address: str, settings: str, points: int, dwell_s: float, wait: bool) -> Dict[str, object]:
    with _Daemon(address) as daemon:
        daemon.write(settings + ";:LIST:COUN 1;:TRIG:SOUR IMM")
        daemon.errors()
        daemon.write("INIT")
        daemon.errors()
        result: Dict[str, object] = {"points": points, "dwell_s": dwell_s}
        if wait:
            daemon.query("*OPC?", timeout=points * dwell_s + RUN_SLACK_S)
            result["late_points"] = daemon.errors()
        return result


def sweep_list(address: str, freqs_mhz: Sequence[float], dwell_s: float, wait: bool = False) -> Dict[str, object]:
    """Runs the frequencies (MHz) in order, each for ``dwell_s`` seconds; with
    ``wait``, returns at the run's end and counts its late points."""
    freqs = [_checked("a list frequency (MHz)", f, limits.CLOCK_MHZ) for f in freqs_mhz]
    _checked("the number of list frequencies", len(freqs), limits.LIST_POINTS)
    dwell = _checked("the dwell (s)", dwell_s, limits.DWELL_SECONDS)
    values = ",".join(f"{f!r}MHZ" for f in freqs)
    return _run(address, f"FREQ:MODE LIST;:LIST:FREQ {values};DWEL {dwell!r}", len(freqs), dwell, wait)


def sweep_linear(address: str, start_mhz: float, stop_mhz: float, points: int, dwell_s: float,
                 wait: bool = False) -> Dict[str, object]:
    """Sweeps from ``start_mhz`` to ``stop_mhz`` in ``points`` even steps, ends included."""
    start = _checked("the start (MHz)", start_mhz, limits.CLOCK_MHZ)
    stop = _checked("the stop (MHz)", stop_mhz, limits.CLOCK_MHZ)
    if isinstance(points, bool) or not float(points).is_integer():
        raise OutOfRange(Status.OUT_OF_RANGE, "kestreld", called=False, detail=f"points must be whole, not {points!r}")
    n = int(_checked("the points", points, limits.SWEEP_POINTS))
    dwell = _checked("the dwell (s)", dwell_s, limits.DWELL_SECONDS)
    settings = f"FREQ:MODE SWE;:FREQ:STAR {start!r}MHZ;STOP {stop!r}MHZ;:SWE:POIN {n};DWEL {dwell!r};SPAC LIN;DIR UP"
    return _run(address, settings, n, dwell, wait)


def abort_sweep(address: str) -> None:
    """Stops the run going, whoever started it; the board stays at its point."""
    with _Daemon(address) as daemon:
        daemon.write("ABOR")
        daemon.errors()


def sweep_status(address: str) -> Dict[str, object]:
    """``state`` (``"running"``, ``"armed"`` or ``"idle"``), ``mode`` (``"CW"``,
    ``"LIST"``, ``"SWE"``) and ``index``, the point the board is at."""
    with _Daemon(address) as daemon:
        mode = daemon.query("FREQ:MODE?")
        condition = int(daemon.query("STAT:OPER:COND?"))
        index = int(daemon.query("LIST:IND?"))
        daemon.errors()
    state = "running" if condition & _OPERATION_RUNNING else "armed" if condition & _OPERATION_ARMED else "idle"
    return {"state": state, "mode": mode, "index": index}
