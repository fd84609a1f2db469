"""A Kestrel clock-source board, seen from Python."""

from __future__ import annotations

import enum
import logging
import os
import threading
import time
from ctypes import byref, c_double, c_int32, c_uint16, c_uint64
from typing import Any, Dict, NamedTuple, NoReturn, Optional, Sequence, Tuple, Union

from . import limits, link, native, sweep
from .config import BoardConfig
from .planning import produced_frequency_mhz
from .errors import KestrelError, Status, error_for_status

__all__ = ["Board", "CalibrationSource", "CalibrationRow", "FM_RATES_MHZ", "MEMORY_SIZE"]

#: The twelve FM rates of the board's table, in MHz; ``fm.set_frequency(i)``
#: selects ``FM_RATES_MHZ[i]``.
FM_RATES_MHZ: Tuple[float, ...] = (0.04, 0.1, 0.5, 1.0, 1.3, 2.0, 2.5, 3.0, 3.5, 4.0, 10.0, 50.0)

#: Size of the board's non-volatile memory in bytes; a double takes 8 of them.
MEMORY_SIZE = 65536

_logger = logging.getLogger("kestrel")

_INT32 = (-(2**31), 2**31 - 1)
_UINT16 = (0, 0xFFFF)
_UINT32 = (0, 0xFFFFFFFF)


def _ranged(name: str, value: int, bounds: Tuple[int, int]) -> int:
    """Refuses integers that would wrap around in the C argument."""
    value = int(value) if isinstance(value, enum.IntEnum) else value
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    low, high = bounds
    if not low <= value <= high:
        raise ValueError(f"{name} = {value} is outside {low}..{high}")
    return value


def _int32(name: str, value: int) -> int:
    return _ranged(name, value, _INT32)


def _c_string(name: str, value: bytes) -> bytes:
    """Refuses a NUL inside a string argument: C would end the string there,
    and the library would silently use only the part before it."""
    if b"\0" in value:
        raise ValueError(f"{name} contains a NUL character: {value!r}")
    return value


#: The Board method behind each C function, for messages; "a|b" picks by the
#: first argument (0: a, else b).
_OPERATIONS: Dict[str, str] = {
    "vxclk_connect": "connect",
    "vxclk_disconnect": "disconnect",
    "vxclk_getBoardID": "board_id",
    "vxclk_getSerialNumber": "serial_number",
    "vxclk_checkVCOLock": "vco_lock_value",
    "vxclk_checkVCOVoltage": "vco_voltage",
    "vxclk_setClock": "read_register|write_register",
    "vxclk_getTemperature": "temperature",
    "vxclk_getEEPROMAddress": "memory.read",
    "vxclk_writeEEPROMAddress": "memory.write",
    "vxclk_saveFMCalibrationValues": "save_calibration",
    "vxclk_enableFM": "fm.disable|fm.enable",
    "vxclk_setFMFrequency": "fm.set_frequency",
    "vxclk_setCustomFMFrequency": "fm.set_custom_frequency",
    "vxclk_setFMAmplitude": "fm.set_amplitude",
    "vxclk_setFMPhaseSkew": "fm.set_phase_skew",
    "vxclk_setFMRJAmplitude": "fm.set_rj_amplitude",
    "vxclk_enableTx2PM": "tx2.pm.disable|tx2.pm.enable",
    "vxclk_setTx2PMFrequency": "tx2.pm.set_frequency",
    "vxclk_setTx2PMAmplitude": "tx2.pm.set_amplitude",
    "vxclk_setTx2PMPhaseShiftAmplitude": "tx2.pm.set_phase_shift_amplitude",
    "vxclk_enableTx2PMRJ": "tx2.pm.rj.disable|tx2.pm.rj.enable",
    "vxclk_setTx2PMRJAmplitude": "tx2.pm.rj.set_amplitude",
    "vxclk_enableTx2PMBUJ": "tx2.pm.buj.disable|tx2.pm.buj.enable",
    "vxclk_setTx2PMBUJAmplitude": "tx2.pm.buj.set_amplitude",
    "vxclk_setTx2PMBUJLineRate": "tx2.pm.buj.set_line_rate",
    "vxclk_setTx2BUJAmplitude": "tx2.buj.set_amplitude",
    "vxclk_setTx2BUJPRBS": "tx2.buj.set_prbs",
    "vxclk_setTx2BUJUserDefinedPattern": "tx2.buj.set_user_pattern",
    "vxclk_enableTx2AM": "tx2.am.disable|tx2.am.enable",
    "vxclk_setTx2AMAmplitude": "tx2.am.set_amplitude",
    "vxclk_setTx2AMRJAmplitude": "tx2.am.rj.set_amplitude",
    "vxclk_setClockSource": "set_clock_source",
    "vxclk_generateClock": "generate_clock",
    "vxclk_setTx1Power": "set_tx1_power",
    "vxclk_setTx2Power": "set_tx2_power",
    "vxclk_setTx2Divider": "set_tx2_divider",
    "vxclk_getActiveConfig": "active_config",
    "vxclk_initializeInstance": "use_calibration",
    "vxclk_getMinMaxCalibration": "calibration_limits",
}


def _operation(function: str, arguments: Sequence[Any]) -> str:
    """The Board method that calls ``function`` with ``arguments``."""
    names = _OPERATIONS.get(function, function).split("|")
    return names[-1] if len(names) == 1 or (arguments and arguments[0]) else names[0]


def _brief(value: Any) -> str:
    """One argument for the log: numbers and strings as they are, C pointers
    and arrays by their type."""
    if isinstance(value, bytes):
        return repr(value.decode("utf-8", "replace"))
    if value is None or isinstance(value, (int, float)):
        return repr(value)
    target = getattr(value, "_obj", None)  # byref(x)
    if target is not None:
        return "&" + type(target).__name__
    return type(value).__name__


def _elapsed_ms(started: float) -> float:
    return (time.perf_counter() - started) * 1000.0


class CalibrationSource(enum.IntEnum):
    """Where the FM amplitude calibration comes from (see :meth:`Board.use_calibration`)."""

    #: No calibration: FM amplitudes reach the board unchanged.
    NONE = 0
    #: The calibration rows stored in the board's memory (read at connect).
    BOARD = 1
    #: A text file on the host: one number per line, up to 98 lines, 14 rows of 7.
    FILE = 2


class CalibrationRow(NamedTuple):
    """One row of the calibration table: the quartic
    ``c4*x**4 + c3*x**3 + c2*x**2 + c1*x + c0`` that turns a requested FM
    amplitude into the board's setting, and the row's limits."""

    c4: float
    c3: float
    c2: float
    c1: float
    c0: float
    minimum: float
    maximum: float

    @classmethod
    def identity(cls) -> "CalibrationRow":
        """The row that passes amplitudes through unchanged (0..4095)."""
        return cls(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 4095.0)


class _Group:
    """A group of related controls of one board (``board.fm``, ``board.tx2.pm``, ...)."""

    def __init__(self, board: "Board") -> None:
        self._board = board

    def _call(self, function: str, *arguments: Any) -> Any:
        return self._board._call(function, *arguments)


class _Switchable(_Group):
    _enable_function: str

    def enable(self) -> None:
        """Switches this control on (the board's enable value 1)."""
        self._call(self._enable_function, 1)

    def disable(self) -> None:
        """Switches this control off."""
        self._call(self._enable_function, 0)

    def set_enabled(self, on: bool) -> None:
        """Switches this control on or off."""
        self._call(self._enable_function, 1 if on else 0)


class FM(_Switchable):
    """Frequency modulation of the clock (``board.fm``)."""

    _enable_function = "vxclk_enableFM"

    def set_frequency(self, index: int) -> None:
        """Selects the FM rate ``FM_RATES_MHZ[index]``, index 0..11.

        Raises:
            OutOfRange: index above 11.
        """
        self._call("vxclk_setFMFrequency", _int32("index", index))

    def set_custom_frequency(self, frequency_mhz: float) -> None:
        """Sets an FM rate of 0.04..50 MHz; the nearest table entry provides the
        synthesizer settings and calibration.

        Raises:
            OutOfRange: outside 0.04..50 MHz, or NaN.
            CalibrationSourceSelected: a calibration source other than
                :attr:`CalibrationSource.NONE` is selected.
        """
        self._call("vxclk_setCustomFMFrequency", float(frequency_mhz))

    def set_amplitude(self, amplitude: int) -> None:
        """Sets the FM amplitude; with a calibration source selected it passes
        through the selected rate's calibration row first."""
        self._call("vxclk_setFMAmplitude", _int32("amplitude", amplitude))

    def set_phase_skew(self, skew: int) -> None:
        """Sets the FM phase skew (no board traffic when it is unchanged)."""
        self._call("vxclk_setFMPhaseSkew", _int32("skew", skew))

    def set_rj_amplitude(self, amplitude: int) -> None:
        """Sets the amplitude of the random jitter added to the FM (no board
        traffic when it is unchanged)."""
        self._call("vxclk_setFMRJAmplitude", _int32("amplitude", amplitude))


class _PMRandomJitter(_Switchable):
    """Random jitter on the Tx2 phase modulation (``board.tx2.pm.rj``)."""

    _enable_function = "vxclk_enableTx2PMRJ"

    def set_amplitude(self, amplitude: int) -> None:
        """Sets the random-jitter amplitude.

        Raises:
            OperationFailed: the jitter is not enabled.
        """
        self._call("vxclk_setTx2PMRJAmplitude", _int32("amplitude", amplitude))


class _PMBoundedJitter(_Switchable):
    """Bounded uncorrelated jitter on the Tx2 phase modulation (``board.tx2.pm.buj``)."""

    _enable_function = "vxclk_enableTx2PMBUJ"

    def set_amplitude(self, amplitude: int) -> None:
        """Sets the bounded-jitter amplitude.

        Raises:
            OperationFailed: the jitter is not enabled.
        """
        self._call("vxclk_setTx2PMBUJAmplitude", _int32("amplitude", amplitude))

    def set_line_rate(self, rate: int) -> None:
        """Sets the line rate of the bounded-jitter generator (the board's units)."""
        self._call("vxclk_setTx2PMBUJLineRate", _int32("rate", rate))


class PhaseModulation(_Switchable):
    """Phase modulation of Tx2 (``board.tx2.pm``), with its random jitter
    (``.rj``) and bounded uncorrelated jitter (``.buj``)."""

    _enable_function = "vxclk_enableTx2PM"

    def __init__(self, board: "Board") -> None:
        super().__init__(board)
        self.rj = _PMRandomJitter(board)
        self.buj = _PMBoundedJitter(board)

    def set_frequency(self, frequency_mhz: float) -> None:
        """Sets the PM frequency, 0..80 MHz.

        Raises:
            OutOfRange: outside 0..80 MHz, or NaN.
        """
        self._call("vxclk_setTx2PMFrequency", float(frequency_mhz))

    def set_amplitude(self, amplitude: int) -> None:
        """Sets the PM amplitude.

        Raises:
            OperationFailed: PM is not enabled.
        """
        self._call("vxclk_setTx2PMAmplitude", _int32("amplitude", amplitude))

    def set_phase_shift_amplitude(self, amplitude: int) -> None:
        """Sets the PM phase-shift amplitude.

        Raises:
            OperationFailed: PM is not enabled.
        """
        self._call("vxclk_setTx2PMPhaseShiftAmplitude", _int32("amplitude", amplitude))


class BoundedJitter(_Group):
    """The bounded uncorrelated jitter generator of Tx2 (``board.tx2.buj``)."""

    def set_amplitude(self, amplitude: int) -> None:
        """Sets the jitter amplitude (no board traffic when it is unchanged)."""
        self._call("vxclk_setTx2BUJAmplitude", _int32("amplitude", amplitude))

    def set_prbs(self, code: int, flag: int) -> None:
        """Runs the generator from a PRBS: ``code`` and ``flag`` are passed to the
        board unchanged (their meaning is the board's)."""
        self._call("vxclk_setTx2BUJPRBS", _int32("code", code), _int32("flag", int(flag)))

    def set_user_pattern(self, pattern: int) -> None:
        """Runs the generator from a 32-bit user pattern."""
        self._call("vxclk_setTx2BUJUserDefinedPattern", _ranged("pattern", pattern, _UINT32))


class _AMRandomJitter(_Group):
    """Random jitter on the Tx2 amplitude modulation (``board.tx2.am.rj``)."""

    def set_amplitude(self, amplitude: int) -> None:
        """Sets the random-jitter amplitude (works with AM off too)."""
        self._call("vxclk_setTx2AMRJAmplitude", _int32("amplitude", amplitude))


class AmplitudeModulation(_Switchable):
    """Amplitude modulation of Tx2 (``board.tx2.am``), with its random jitter (``.rj``)."""

    _enable_function = "vxclk_enableTx2AM"

    def __init__(self, board: "Board") -> None:
        super().__init__(board)
        self.rj = _AMRandomJitter(board)

    def set_amplitude(self, amplitude: int) -> None:
        """Sets the AM amplitude and applies the Tx2 power again.

        Raises:
            OperationFailed: AM is not enabled.
        """
        self._call("vxclk_setTx2AMAmplitude", _int32("amplitude", amplitude))


class Tx2(_Group):
    """The modulations and jitter of the second output (``board.tx2``)."""

    def __init__(self, board: "Board") -> None:
        super().__init__(board)
        self.pm = PhaseModulation(board)
        self.am = AmplitudeModulation(board)
        self.buj = BoundedJitter(board)


class Memory(_Group):
    """The board's non-volatile memory, one double (8 bytes) at a time
    (``board.memory``). Addresses 0..65528. The library keeps its settings
    mirror at 8192..8463 and the calibration table at 20430..21263."""

    def read(self, address: int) -> float:
        """The double stored at ``address`` (takes about 80 ms).

        Raises:
            OutOfRange: address above 65528.
        """
        value = c_double()
        self._call("vxclk_getEEPROMAddress", _ranged("address", address, _UINT32), byref(value))
        return value.value

    def write(self, address: int, value: float) -> None:
        """Stores the double ``value`` at ``address``.

        Raises:
            OutOfRange: address above 65528.
        """
        stored = c_double(float(value))
        self._call("vxclk_writeEEPROMAddress", _ranged("address", address, _UINT32), byref(stored))


class Board:
    """One Kestrel board, reached over TCP (port 6653) at its host name or
    dotted IPv4 address (a name is resolved to IPv4 at each connect), or
    through the kestreld that owns it: ``Board("kestreld://labhost:5025")``
    gives the same results while the daemon stays the board's one owner.

    Making a board connects to it, as a serial port opens when it is made; use
    it as a context manager so that leaving the block disconnects and frees the
    library instance, also when the block raised::

        with kestrel.Board("192.168.1.20") as board:
            board.generate_clock(1800.0)
            board.set_tx1_power(20)
            print(board.active_config().generate_frequency)

    ``Board(address, connect=False)`` connects later, at :meth:`open` or when
    the ``with`` block starts. :meth:`open` does nothing on a board that is
    open; :meth:`close` disconnects and frees the instance, and :meth:`open`
    may follow.

    Every method raises a :class:`~kestrel.KestrelError` subclass when the
    library reports a failure, carrying the address and, for a failure of the
    link, its cause; arguments outside kestrelctl's ranges
    (:mod:`kestrel.limits`) raise :class:`~kestrel.OutOfRange` before any call.
    A call on a board never opened raises :class:`~kestrel.NotConnected`, and
    after :meth:`close` :class:`~kestrel.InvalidInstance`, both saying so.

    Each library call is logged on the ``kestrel`` logger: a debug line (the
    function, its arguments, status and time), info on connect and close, and
    a warning for each failure.

    A board serves one thread at a time; the methods take a lock, so threads
    sharing one board wait for each other. Separate boards are independent.

    Attributes:
        address: the board's address.
        fm: FM controls (:class:`FM`).
        tx2: Tx2 modulation and jitter controls (``tx2.pm``, ``tx2.am``,
            ``tx2.buj``).
        memory: the board's non-volatile memory (:class:`Memory`).
    """

    def __init__(self, address: str, connect: bool = True) -> None:
        """Makes a board and, unless ``connect`` is False, opens it (see :meth:`open`).

        Raises:
            LibraryNotFoundError: the library could not be loaded.
            NotConnected: connecting failed (see :meth:`open`).
        """
        self.address = address
        self._lib = native.library()
        self._lock = threading.RLock()
        self._handle: Optional[int] = None
        self._connected = False
        self._was_opened = False
        self.fm = FM(self)
        self.tx2 = Tx2(self)
        self.memory = Memory(self)
        if connect:
            self.open()

    # ---- lifetime -------------------------------------------------------------

    def open(self) -> "Board":
        """Creates the library instance and connects to the board; nothing
        happens when the board is open and connected already.

        Returns:
            the board itself.

        Raises:
            NotConnected: the board could not be reached, or the address has no
                IPv4 address (the instance is freed again); :attr:`~kestrel.KestrelError.cause`
                says why when the package can tell.
            MemoryError: the library could not create an instance.
        """
        with self._lock:
            if self._handle is None:
                handle = self._lib.vxclk_createInstance()
                if handle is None:
                    raise MemoryError("vxclk_createInstance returned null")
                self._handle = handle
            if not self._connected:
                try:
                    self.connect()
                except BaseException:
                    self._destroy()
                    raise
                self._was_opened = True
        return self

    def close(self) -> None:
        """Disconnects (when connected) and frees the library instance. Safe to
        call more than once; a failure to disconnect is not raised, the
        instance is freed all the same."""
        with self._lock:
            if self._handle is None:
                return
            try:
                if self._connected:
                    try:
                        self.disconnect()
                    except KestrelError:
                        pass
            finally:
                self._destroy()
                _logger.info("closed the board at %s", self.address)

    def _destroy(self) -> None:
        handle, self._handle = self._handle, None
        self._connected = False
        if handle is not None:
            self._lib.vxclk_destroyInstance(handle)

    def __enter__(self) -> "Board":
        return self.open()

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        # A board that was never closed still frees its instance and socket.
        try:
            if getattr(self, "_handle", None) is not None:
                self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        if self._handle is None:
            state = "closed" if self._was_opened else "not opened"
        else:
            state = "connected" if self._connected else "open"
        return f"<kestrel.Board {self.address!r} {state}>"

    def connect(self, address: Optional[str] = None) -> None:
        """Connects (again), to ``address`` when given, else to :attr:`address`.
        Connecting reads the calibration rows stored on the board.

        Raises:
            ValueError: an address with a NUL character.
            NotConnected: the board could not be reached (``cause`` ``"refused"``,
                ``"unreachable"`` or ``"timed out"`` when the package can tell),
                the address is neither a dotted IPv4 address nor a host name
                with one (``cause`` ``"bad address"``; the library is not
                called), or the board was never opened.
            InvalidInstance: the board is closed.
        """
        with self._lock:
            target = self.address if address is None else address
            _c_string("address", target.encode("utf-8"))
            # kestreld's address goes to the library as it is: the library resolves its host.
            resolved = target if link.is_remote(target) else link.board_ipv4(target)
            if resolved is None:
                self._refuse(
                    Status.NOT_CONNECTED, "vxclk_connect", "connect", address=target, cause=link.BAD_ADDRESS,
                    detail=f"{target!r} has no IPv4 address: give a host name or an address such as 192.168.1.20",
                )
            self.address = target
            started = time.perf_counter()
            self._call("vxclk_connect", resolved.encode("utf-8"))
            self._connected = True
            _logger.info("connected to the board at %s in %.0f ms", target, _elapsed_ms(started))

    def disconnect(self) -> None:
        """Closes the connection but keeps the instance: :meth:`connect` may
        follow. Board calls in between raise :class:`~kestrel.NotConnected`.

        Raises:
            NotConnected: there was no connection to close.
        """
        with self._lock:
            try:
                self._call("vxclk_disconnect")
            finally:
                self._connected = False

    @property
    def connected(self) -> bool:
        """True between a successful connect and disconnect or close."""
        return self._connected

    @property
    def closed(self) -> bool:
        """True when there is no library instance (before open, after close)."""
        return self._handle is None

    @property
    def handle(self) -> Optional[int]:
        """The library instance (the C pointer as an int), None when closed;
        for calling :mod:`kestrel.native` functions directly."""
        return self._handle

    def _call(self, function: str, *arguments: Any) -> Any:
        """Calls a library function on this board's instance: checks the
        argument's range first, logs the call, and gives a failure the board's
        address, the calling method and, where it can be told, the cause."""
        with self._lock:
            operation = _operation(function, arguments)
            self._check_range(function, operation, arguments)
            if self._handle is None:
                self._refuse_unopened(function, operation)
            started = time.perf_counter()
            try:
                result = getattr(self._lib, function)(self._handle, *arguments)
            except KestrelError as error:
                elapsed_ms = _elapsed_ms(started)
                self._log_call(function, arguments, error.status, elapsed_ms)
                self._explain(error, operation, elapsed_ms)
                _logger.warning("%s", error)
                raise
            self._log_call(function, arguments, Status.OK, _elapsed_ms(started))
            return result

    def _log_call(self, function: str, arguments: Sequence[Any], status: int, elapsed_ms: float) -> None:
        if _logger.isEnabledFor(logging.DEBUG):
            _logger.debug("%s(%s) on %s: status %d in %.1f ms", function, ", ".join(map(_brief, arguments)),
                          self.address, status, elapsed_ms)

    def _explain(self, error: KestrelError, operation: str, elapsed_ms: float) -> None:
        """Adds the address, the method and the cause to a library failure."""
        error.address = self.address
        error.operation = operation
        if error.function == "vxclk_connect" and error.status == Status.NOT_CONNECTED:
            error.cause = link.connect_failure_cause(self.address, elapsed_ms)
        else:
            error.cause = link.call_failure_cause(error.status, elapsed_ms)

    def _check_range(self, function: str, operation: str, arguments: Sequence[Any]) -> None:
        """Raises OutOfRange when a checked argument is outside its range (see
        :mod:`kestrel.limits`)."""
        for position, what, allowed in limits.CHECKED_ARGUMENTS.get(function, ()):
            if arguments[position] not in allowed:
                self._refuse(Status.OUT_OF_RANGE, function, operation,
                             detail=f"{what} {arguments[position]!r} is outside {allowed}")

    def _refuse_unopened(self, function: str, operation: str) -> NoReturn:
        if self._was_opened:
            self._refuse(Status.INVALID_INSTANCE, function, operation,
                         detail="The board is closed: open() it again to use it")
        self._refuse(Status.NOT_CONNECTED, function, operation,
                     detail="The board was never opened: call open() or use it in a with block")

    def _refuse(self, status: int, function: str, operation: str, *, address: Optional[str] = None,
                cause: Optional[str] = None, detail: str) -> NoReturn:
        """Raises the exception for ``status`` without calling the library."""
        error = error_for_status(status, function, address or self.address, cause=cause,
                                 operation=operation, detail=detail, called=False)
        _logger.warning("%s", error)
        raise error

    # ---- frequency lists and sweeps (kestreld) --------------------------------
    # kestreld runs them on its own timer; they go to the daemon over a socket
    # of their own (kestrel.sweep). A board on its own raises sweep.SweepError.

    def sweep_list(self, freqs_mhz: Sequence[float], dwell_s: float, wait: bool = False) -> Dict[str, object]:
        """Runs the frequencies (MHz) in order, ``dwell_s`` seconds each; with
        ``wait``, returns at the run's end (see :func:`kestrel.sweep.sweep_list`)."""
        return sweep.sweep_list(self.address, freqs_mhz, dwell_s, wait)

    def sweep_linear(self, start_mhz: float, stop_mhz: float, points: int, dwell_s: float,
                     wait: bool = False) -> Dict[str, object]:
        """Sweeps from ``start_mhz`` to ``stop_mhz`` in ``points`` even steps."""
        return sweep.sweep_linear(self.address, start_mhz, stop_mhz, points, dwell_s, wait)

    def abort_sweep(self) -> None:
        """Stops the run going, whoever started it."""
        sweep.abort_sweep(self.address)

    def sweep_status(self) -> Dict[str, object]:
        """The run's ``state``, ``mode`` and ``index`` (see :func:`kestrel.sweep.sweep_status`)."""
        return sweep.sweep_status(self.address)

    # ---- identity and health --------------------------------------------------

    @property
    def board_id(self) -> int:
        """The board ID (register 20)."""
        value = c_int32()
        self._call("vxclk_getBoardID", byref(value))
        return value.value

    @property
    def serial_number(self) -> int:
        """The board's 64-bit serial number (or its 32-bit one, sign-extended,
        on boards without the long form)."""
        value = c_uint64()
        self._call("vxclk_getSerialNumber", byref(value))
        return value.value

    def temperature(self, sensor: int = 0) -> int:
        """The raw reading of temperature sensor 0 or 1.

        Raises:
            OutOfRange: sensor is not 0 or 1.
            OperationFailed: the read failed or the reading is 0.
        """
        value = c_int32()
        self._call("vxclk_getTemperature", _int32("sensor", sensor), byref(value))
        return value.value

    def vco_lock_value(self) -> int:
        """The VCO lock register (1047) as the board reports it."""
        value = c_int32()
        self._call("vxclk_checkVCOLock", byref(value))
        return value.value

    def vco_locked(self) -> bool:
        """True when the board reports its VCO locked (lock register not 0)."""
        return self.vco_lock_value() != 0

    def vco_voltage(self) -> float:
        """The VCO tuning voltage in volts."""
        value = c_double()
        self._call("vxclk_checkVCOVoltage", byref(value))
        return value.value

    # ---- registers ------------------------------------------------------------

    def read_register(self, page: int, register: int) -> int:
        """Reads a 16-bit board register.

        Raises:
            OutOfRange: page outside 0..15 or register outside 0..2047
                (:data:`kestrel.limits.REGISTER_PAGE`, :data:`kestrel.limits.REGISTER`).
            OperationFailed: the exchange with the board failed.
        """
        value = c_uint16()
        self._call(
            "vxclk_setClock", 0, _ranged("page", page, _UINT16), _ranged("register", register, _UINT16), byref(value)
        )
        return value.value

    def write_register(self, page: int, register: int, value: int) -> None:
        """Writes a 16-bit board register.

        Raises:
            OutOfRange: page outside 0..15 or register outside 0..2047
                (:data:`kestrel.limits.REGISTER_PAGE`, :data:`kestrel.limits.REGISTER`).
            OperationFailed: the exchange with the board failed.
        """
        word = c_uint16(_ranged("value", value, _UINT16))
        self._call(
            "vxclk_setClock", 1, _ranged("page", page, _UINT16), _ranged("register", register, _UINT16), byref(word)
        )

    # ---- clock and outputs ----------------------------------------------------

    def generate_clock(self, frequency_mhz: float, option: int = 19) -> float:
        """Plans and uploads a clock of ``frequency_mhz`` (strictly between 20 and
        5500 MHz) on both outputs. ``option`` is accepted for the C interface's
        sake and has no effect.

        Returns:
            the clock the board makes, in MHz (:func:`kestrel.produced_frequency_mhz`):
            the request, or from the VCO's range up the request in whole MHz.

        Raises:
            OutOfRange: the frequency is outside 20..5500 MHz (both excluded) or
                NaN (:data:`kestrel.limits.CLOCK_MHZ`).
            OperationFailed: the board did not take the upload.
        """
        self._call("vxclk_generateClock", float(frequency_mhz), _int32("option", option))
        return produced_frequency_mhz(float(frequency_mhz))

    def set_tx1_power(self, power: int) -> None:
        """Sets the Tx1 output power, 0..31 (five bits reach the synthesizer).

        Raises:
            OutOfRange: outside 0..31 (:data:`kestrel.limits.TX1_POWER`).
        """
        self._call("vxclk_setTx1Power", _int32("power", power))

    def set_tx2_power(self, power: int) -> None:
        """Sets the Tx2 output power, 0..4096.

        Raises:
            OutOfRange: outside 0..4096 (:data:`kestrel.limits.TX2_POWER`).
        """
        self._call("vxclk_setTx2Power", _int32("power", power))

    def set_tx2_divider(self, divider: int) -> None:
        """Selects the Tx2 divider ``n``, 0..15 (the board divides by ``2**n``).

        Raises:
            OutOfRange: outside 0..15 (:data:`kestrel.limits.TX2_DIVIDER`).
        """
        self._call("vxclk_setTx2Divider", _int32("divider", divider))

    def set_clock_source(self, source: int) -> None:
        """Selects the board's clock source (the code is the board's)."""
        self._call("vxclk_setClockSource", _int32("source", source))

    # ---- configuration and calibration ----------------------------------------

    def active_config(self) -> BoardConfig:
        """Reads back the configuration stored on the board (takes about 3 s)."""
        record = native.ActiveConfig()
        self._call("vxclk_getActiveConfig", byref(record))
        return BoardConfig.from_record(record)

    def use_calibration(
        self,
        source: Union[CalibrationSource, int],
        path: Optional[Union[str, "os.PathLike[str]"]] = None,
    ) -> None:
        """Chooses where the FM amplitude calibration comes from.

        Args:
            source: :attr:`CalibrationSource.NONE`, ``BOARD`` (the rows read from
                the board at connect) or ``FILE``, or the same as an int.
            path: the calibration file, for ``FILE``: one number per line,
                row after row (c4, c3, c2, c1, c0, minimum, maximum), up to 14 rows.

        Raises:
            ValueError: ``FILE`` without a path, or a path with a NUL character.
            OutOfRange: a source other than 0..2.
            OperationFailed: the file could not be read or holds a bad line.
        """
        source = _int32("source", source)
        if source == CalibrationSource.FILE and path is None:
            raise ValueError("CalibrationSource.FILE needs the path of a calibration file")
        encoded = None if path is None else _c_string("path", os.fsencode(os.fspath(path)))
        self._call("vxclk_initializeInstance", source, encoded)

    def calibration_limits(self, row: int) -> Tuple[float, float]:
        """The (minimum, maximum) of calibration row 0..13 in force.

        Raises:
            OutOfRange: row outside 0..13.
        """
        minimum, maximum = c_double(), c_double()
        self._call("vxclk_getMinMaxCalibration", _int32("row", row), byref(minimum), byref(maximum))
        return (minimum.value, maximum.value)

    def save_calibration(self, row: int, tag: float, values: Sequence[float]) -> None:
        """Stores one calibration row (seven values: c4, c3, c2, c1, c0, minimum,
        maximum, e.g. a :class:`CalibrationRow`) and the calibration tag in the
        board's memory. It takes effect at the next connect, with
        ``use_calibration(CalibrationSource.BOARD)``.

        Raises:
            ValueError: not exactly seven values.
            OutOfRange: row above 13.
        """
        if len(values) != 7:
            raise ValueError(f"a calibration row has 7 values, not {len(values)}")
        self._call(
            "vxclk_saveFMCalibrationValues",
            float(tag),
            _ranged("row", row, _UINT16),
            native.as_doubles([float(v) for v in values]),
        )
