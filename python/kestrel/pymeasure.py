"""A PyMeasure instrument for a Kestrel board served by kestreld.

:class:`ClockSource` speaks kestreld's SCPI (see docs/scpi.md) over any VISA
resource PyVISA opens: the raw socket (``TCPIP0::host::5025::SOCKET``) or
VXI-11 (``TCPIP0::host::inst0::INSTR``, or the board's name instead of
``inst0``)::

    from kestrel.pymeasure import ClockSource

    source = ClockSource("TCPIP0::127.0.0.1::5025::SOCKET")
    print(source.id)
    source.frequency = 4321.3e6       # Hz
    print(source.actual_frequency)    # 4321.0e6: what the board makes of it
    source.tx1_power = 10
    print(source.vco_locked, source.temperature_1)

    source.frequency_mode = "LIST"    # a frequency list, run by kestreld
    source.list_frequencies = [100e6, 200e6, 300e6]
    source.list_dwell = [0.01]
    source.start_sweep()
    source.wait_for_sweep()

Settings are checked against the board's ranges before anything is sent (a
value outside raises :class:`ValueError`), the same ranges kestreld checks:
those of :mod:`kestrel.limits` (the clock, powers and divider, the FM rates,
the PM frequency, and every modulation and jitter amplitude, which the board
keeps in one register word each).

This module needs PyMeasure (Debian's ``python3-pymeasure``, or ``pip
install pymeasure``); ``import kestrel`` does not.
"""

from __future__ import annotations

from typing import Any, Callable, List, Tuple

try:
    from pymeasure.instruments import Instrument
    from pymeasure.instruments.validators import strict_discrete_set, strict_range
except ImportError as missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        "kestrel.pymeasure needs PyMeasure: install Debian's python3-pymeasure or 'pip install pymeasure'"
    ) from missing

from . import limits

__all__ = ["ClockSource"]

_MHZ = 1e6

#: Clock frequency in Hz; both ends excluded (:data:`kestrel.limits.CLOCK_MHZ`).
CLOCK_HZ = (limits.CLOCK_MHZ.low * _MHZ, limits.CLOCK_MHZ.high * _MHZ)
#: FM rate in Hz (:data:`kestrel.limits.FM_RATE_MHZ`): a rate of the table
#: goes as its index, any other in between as a custom rate.
FM_RATE_HZ = (limits.FM_RATE_MHZ.low * _MHZ, limits.FM_RATE_MHZ.high * _MHZ)
#: PM frequency in Hz (:data:`kestrel.limits.PM_FREQUENCY_MHZ`).
PM_FREQUENCY_HZ = (limits.PM_FREQUENCY_MHZ.low * _MHZ, limits.PM_FREQUENCY_MHZ.high * _MHZ)
#: The user-defined bounded-jitter pattern: the 32 bits of the library's argument.
PATTERN = (0, 2**32 - 1)

_SWITCH = {True: 1, False: 0}
#: STATus:OPERation:CONDition? while a run goes on.
_SWEEPING_BIT = 1 << 3


def _bounds(allowed: limits.Range) -> Tuple[int, int]:
    return (int(allowed.low), int(allowed.high))


#: Every modulation and jitter amplitude, skew and line rate: one register word.
WORD = _bounds(limits.REGISTER_WORD)


def _open_range(value: float, bounds: Tuple[float, float]) -> float:
    """Like PyMeasure's strict_range, with both ends excluded."""
    low, high = bounds
    if low < value < high:
        return value
    raise ValueError(f"{value!r} is not above {low:g} and below {high:g}")


def _integer_in(value: Any, bounds: Tuple[int, int]) -> int:
    """An integer within the bounds (both included); 5.0 is 5, 5.5 is refused."""
    if isinstance(value, bool) or not float(value).is_integer():
        raise ValueError(f"{value!r} is not an integer")
    return int(strict_range(int(value), bounds))


def _integer(command: str, doc: str, bounds: Tuple[int, int]) -> property:
    return Instrument.control(
        f"{command}?", f"{command} %d", doc, validator=_integer_in, values=bounds, get_process=lambda v: int(v)
    )


def _switch(command: str, doc: str) -> property:
    return Instrument.control(
        f"{command}?", f"{command} %d", doc, validator=strict_discrete_set, values=_SWITCH, map_values=True
    )


def _hertz(command: str, doc: str, bounds: Tuple[float, float], validator: Callable = strict_range) -> property:
    return Instrument.control(f"{command}?", f"{command} %.3f", doc, validator=validator, values=bounds)


def _values_in(values: Any, check: Callable[[float], float], count: limits.Range) -> str:
    """A list of numbers, each checked, as kestreld takes it: comma-separated."""
    values = list(values)
    if len(values) not in count:
        raise ValueError(f"a list of {len(values)} values: it must hold {count}")
    return ",".join(repr(float(check(v))) for v in values)


def _as_list(value: Any) -> List[float]:
    """PyMeasure gives one value alone and several as a list: always a list."""
    return value if isinstance(value, list) else [value]


def _list(command: str, doc: str, check: Callable[[float], float]) -> property:
    return Instrument.control(
        f"{command}?",
        f"{command} %s",
        doc,
        validator=lambda values, count: _values_in(values, check, count),
        values=limits.LIST_POINTS,
        get_process=_as_list,
    )


def _dwell(value: float, bounds: Any = limits.DWELL_SECONDS) -> float:
    return strict_range(value, (bounds.low, bounds.high))


class ClockSource(Instrument):
    """A Kestrel clock-source board behind kestreld.

    Args:
        adapter: a VISA resource name (``"TCPIP0::host::5025::SOCKET"``,
            ``"TCPIP0::host::inst0::INSTR"``) or a PyMeasure adapter.
        name: the instrument's name in PyMeasure's logs.
        **kwargs: for the VISA adapter (``timeout`` in ms, ``visa_library``, ...);
            the terminations default to a newline, as kestreld's.
    """

    def __init__(self, adapter: Any, name: str = "Kestrel clock source", **kwargs: Any) -> None:
        kwargs.setdefault("read_termination", "\n")
        kwargs.setdefault("write_termination", "\n")
        kwargs.setdefault("timeout", 10000)
        super().__init__(adapter, name, includeSCPI=True, **kwargs)

    # ---- the clock and the outputs ---------------------------------------------------

    frequency = _hertz(
        "FREQ",
        """The clock the board generates, in Hz: above 20 MHz and below 5500 MHz.
        Reading gives the frequency asked for (kestreld's ``FREQ?``); see
        :attr:`actual_frequency` for the one the board makes.""",
        CLOCK_HZ,
        _open_range,
    )
    actual_frequency = Instrument.measurement(
        "FREQ:ACT?",
        """The clock the board makes for the frequency asked for, in Hz, as the
        library's planner plans it (kestreld's ``FREQ:ACT?``): the request itself
        below 3549.5 MHz, the request rounded to whole MHz from there up
        (:func:`kestrel.produced_frequency_mhz`).""",
    )
    tx1_power = _integer("OUTP1:POW", "Tx1 output power, 0 to 31.", _bounds(limits.TX1_POWER))
    tx2_power = _integer("OUTP2:POW", "Tx2 output power, 0 to 4096.", _bounds(limits.TX2_POWER))
    tx2_divider = _integer(
        "OUTP2:DIV", "Tx2 divider selection n, 0 to 15: Tx2 is the clock divided by 2**n.", _bounds(limits.TX2_DIVIDER)
    )

    # ---- frequency modulation --------------------------------------------------------

    fm_enabled = _switch("FM:STAT", "Whether frequency modulation is on (True or False).")
    fm_rate = _hertz(
        "FM:RATE",
        """FM rate in Hz, 40 kHz to 50 MHz. A rate of the board's table
        (:data:`kestrel.FM_RATES_MHZ`) is sent as its index; any other is a
        custom rate, which needs the calibration source ``NONE``.""",
        FM_RATE_HZ,
    )
    fm_rate_index = _integer(
        "FM:RATE:IND",
        "FM rate as an index into :data:`kestrel.FM_RATES_MHZ`, 0 to 11; reads -1 for a custom rate.",
        _bounds(limits.FM_RATE_INDEX),
    )
    fm_deviation = _integer(
        "FM:DEV", "FM deviation (amplitude), 0 to 65535, mapped through the calibration in force.", WORD
    )
    fm_skew = _integer("FM:SKEW", "FM phase skew, 0 to 65535.", WORD)
    fm_rj = _integer("FM:RJ", "FM random-jitter amplitude, 0 to 65535.", WORD)

    # ---- Tx2 modulation and jitter ---------------------------------------------------

    pm_enabled = _switch("PM:STAT", "Whether Tx2 phase modulation is on.")
    pm_frequency = _hertz("PM:FREQ", "Tx2 PM frequency in Hz, 0 to 80 MHz.", PM_FREQUENCY_HZ)
    pm_deviation = _integer("PM:DEV", "Tx2 PM amplitude, 0 to 65535; needs ``pm_enabled``.", WORD)
    pm_phase_shift = _integer("PM:PSH", "Tx2 PM phase-shift amplitude, 0 to 65535; needs ``pm_enabled``.", WORD)
    pm_rj_enabled = _switch("PM:RJ:STAT", "Whether Tx2 PM random jitter is on.")
    pm_rj = _integer("PM:RJ", "Tx2 PM random-jitter amplitude, 0 to 65535; needs ``pm_rj_enabled``.", WORD)
    pm_buj_enabled = _switch("PM:BUJ:STAT", "Whether Tx2 PM bounded uncorrelated jitter is on.")
    pm_buj = _integer("PM:BUJ", "Tx2 PM bounded-jitter amplitude, 0 to 65535; needs ``pm_buj_enabled``.", WORD)
    pm_buj_line_rate = _integer("PM:BUJ:LRAT", "Tx2 PM bounded-jitter line rate, 0 to 65535.", WORD)
    am_enabled = _switch("AM:STAT", "Whether Tx2 amplitude modulation is on.")
    am_depth = _integer("AM:DEPT", "Tx2 AM amplitude, 0 to 65535; needs ``am_enabled``.", WORD)
    am_rj = _integer("AM:RJ", "Tx2 AM random-jitter amplitude, 0 to 65535.", WORD)
    buj_amplitude = _integer("BUJ", "Tx2 bounded-jitter amplitude, 0 to 65535.", WORD)
    buj_pattern = _integer("BUJ:PATT", "Tx2 bounded-jitter user pattern, 32 bits.", PATTERN)

    # ---- frequency lists and sweeps (run by kestreld) --------------------------------

    frequency_mode = Instrument.control(
        "FREQ:MODE?",
        "FREQ:MODE %s",
        """What :meth:`start_sweep` runs: ``"CW"`` (the clock of :attr:`frequency`),
        ``"LIST"`` (:attr:`list_frequencies`) or ``"SWE"`` (:attr:`sweep_start` to
        :attr:`sweep_stop`). Back to ``"CW"``, the board returns to :attr:`frequency`.""",
        validator=strict_discrete_set,
        values=("CW", "LIST", "SWE"),
    )
    list_frequencies = _list(
        "LIST:FREQ",
        "The list's frequencies in Hz, in the order they run: 1 to 10000, each in the clock's range.",
        lambda hz: _open_range(hz, CLOCK_HZ),
    )
    list_dwell = _list(
        "LIST:DWEL",
        "The list's dwells in seconds, 0.001 to 3600: one for every point, or one per point.",
        _dwell,
    )
    sweep_count = _integer(
        "LIST:COUN", "Passes of the list or sweep per run, 1 to 1000000.", _bounds(limits.SWEEP_COUNT)
    )
    sweep_start = _hertz("FREQ:STAR", "The first frequency of a sweep, in Hz.", CLOCK_HZ, _open_range)
    sweep_stop = _hertz("FREQ:STOP", "The last frequency of a sweep, in Hz.", CLOCK_HZ, _open_range)
    sweep_points = _integer("SWE:POIN", "Points of a sweep, 2 to 10000.", _bounds(limits.SWEEP_POINTS))
    sweep_dwell = Instrument.control(
        "SWE:DWEL?", "SWE:DWEL %g", "Seconds per point of a sweep, 0.001 to 3600.", validator=lambda v, _: _dwell(v)
    )
    trigger_source = Instrument.control(
        "TRIG:SOUR?",
        "TRIG:SOUR %s",
        """What starts an armed run: ``"IMM"`` (at once) or ``"BUS"`` (:meth:`trigger`).""",
        validator=strict_discrete_set,
        values=("IMM", "BUS"),
    )
    sweep_index = Instrument.measurement(
        "LIST:IND?", "The point the board is at (0-based), of the run going or the last one.", get_process=int
    )
    sweeping = Instrument.measurement(
        "STAT:OPER:COND?",
        "Whether a run goes on (bit 3 of the operation condition).",
        get_process=lambda v: bool(int(v) & _SWEEPING_BIT),
    )

    def start_sweep(self) -> None:
        """Arms a run of :attr:`frequency_mode` (``INIT``); with the trigger
        ``"IMM"`` it starts at once; :meth:`wait_for_sweep` waits for its end."""
        self.write("INIT")

    def wait_for_sweep(self) -> None:
        """Returns once the run this connection started has ended by itself
        (``*OPC?``; not with :attr:`sweep_count` infinite). A run longer than
        the adapter's timeout needs a longer one."""
        self.ask("*OPC?")

    def trigger(self) -> None:
        """Starts a run armed with the trigger ``"BUS"`` (``*TRG``)."""
        self.write("*TRG")

    def abort(self) -> None:
        """Stops the run, any client's, before its next point (``ABOR``)."""
        self.write("ABOR")

    # ---- calibration, health ---------------------------------------------------------

    @property
    def calibration_source(self) -> str:
        """Where amplitude calibration comes from: ``"NONE"``, ``"BOARD"`` or
        ``"FILE"`` (see :meth:`use_calibration_file`). Set ``"NONE"`` or ``"BOARD"``."""
        return self.ask("CAL:SOUR?").strip().split(",")[0]

    @calibration_source.setter
    def calibration_source(self, source: str) -> None:
        self.write("CAL:SOUR " + strict_discrete_set(str(source).upper(), ("NONE", "BOARD")))

    def use_calibration_file(self, path: str) -> None:
        """Takes calibration from a file on the daemon's machine."""
        self.write('CAL:SOUR FILE,"' + path.replace('"', '""') + '"')

    vco_locked = Instrument.measurement(
        "VCO:LOCK?", "Whether the VCO is locked (True or False).", get_process=lambda v: bool(int(v))
    )
    vco_voltage = Instrument.measurement("VCO:VOLT?", "The VCO's tuning voltage in volts.")
    temperature_1 = Instrument.measurement(
        "SYST:TEMP1?", "Raw reading of temperature sensor 1.", get_process=lambda v: int(v)
    )
    temperature_2 = Instrument.measurement(
        "SYST:TEMP2?", "Raw reading of temperature sensor 2.", get_process=lambda v: int(v)
    )

    # ---- errors --------------------------------------------------------------------

    def check_errors(self) -> List[Tuple[int, str]]:
        """Empties the error queue of this connection: its errors as (number, text), oldest first."""
        errors = []
        while True:
            number, _, text = self.ask("SYST:ERR?").strip().partition(",")
            if int(number) == 0:
                return errors
            errors.append((int(number), text.strip('"')))
