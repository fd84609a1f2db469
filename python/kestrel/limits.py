"""The argument ranges the package checks before calling the library.

They are the board's ranges, as kestrelctl and kestreld check them (a test
holds them to the library's own, in src/protocol/board_protocol.h, and the
sweep's to kestreld's, in tools/kestreld/sweep_plan.h): an
argument outside them raises :class:`~kestrel.OutOfRange` (also a
:class:`ValueError`) and the library is not called. Each is a :class:`Range`, usable on its own::

    from kestrel import limits

    if power not in limits.TX1_POWER:
        print(f"Tx1 power must be {limits.TX1_POWER}")     # "0..31"
"""

from __future__ import annotations

import math
from typing import Dict, NamedTuple, Tuple, Union

__all__ = ["Range", "TX1_POWER", "TX2_POWER", "TX2_DIVIDER", "CLOCK_MHZ", "CALIBRATION_SOURCE", "REGISTER_PAGE",
           "REGISTER", "REGISTER_WORD", "FLAG", "FM_RATE_INDEX", "FM_RATE_MHZ", "PM_FREQUENCY_MHZ", "SWEEP_POINTS", "LIST_POINTS", "DWELL_SECONDS",
           "SWEEP_COUNT", "CHECKED_ARGUMENTS"]

Number = Union[int, float]


class Range(NamedTuple):
    """Numbers from ``low`` to ``high``; with ``open`` both ends are excluded.
    NaN is in no range."""

    low: Number
    high: Number
    open: bool = False

    def __contains__(self, value: object) -> bool:
        if not isinstance(value, (int, float)) or math.isnan(value):
            return False
        if self.open:
            return self.low < value < self.high
        return self.low <= value <= self.high

    def __str__(self) -> str:
        if self.open:
            return f"above {self.low:g} and below {self.high:g}"
        return f"{self.low}..{self.high}"


#: Tx1 output power (the synthesizer takes five bits).
TX1_POWER = Range(0, 31)
#: Tx2 output power (the board's register holds 4096 minus it).
TX2_POWER = Range(0, 4096)
#: Tx2 divider selection n (the board divides by 2**n).
TX2_DIVIDER = Range(0, 15)
#: Generated clock in MHz, both ends excluded.
CLOCK_MHZ = Range(20.0, 5500.0, open=True)
#: Calibration source: 0 none, 1 the board's rows, 2 a file.
CALIBRATION_SOURCE = Range(0, 2)
#: Page of a raw register access (four bits of the address word).
REGISTER_PAGE = Range(0, 15)
#: Register number of a raw register access (eleven bits of the address word).
REGISTER = Range(0, 2047)
#: What one board register holds: every setting the library writes as one
#: word (FM deviation, skew and jitter, the Tx2 amplitudes, the clock source,
#: the PRBS code, ...) and a raw register value.
REGISTER_WORD = Range(0, 0xFFFF)
#: A flag the board takes as 0 or 1 (the PRBS flag).
FLAG = Range(0, 1)
#: Index into the FM rate table (:data:`kestrel.FM_RATES_MHZ`).
FM_RATE_INDEX = Range(0, 11)
#: A custom FM rate in MHz.
FM_RATE_MHZ = Range(0.04, 50.0)
#: The Tx2 PM frequency in MHz.
PM_FREQUENCY_MHZ = Range(0.0, 80.0)

#: Points of a sweep (start to stop) in kestreld.
SWEEP_POINTS = Range(2, 10000)
#: Frequencies of a list in kestreld.
LIST_POINTS = Range(1, 10000)
#: A point's dwell in seconds, in a list or a sweep of kestreld.
DWELL_SECONDS = Range(0.001, 3600)
#: Passes of a list or sweep per run in kestreld (or until stopped).
SWEEP_COUNT = Range(1, 1000000)

#: The arguments :class:`~kestrel.Board` checks before a call: C function ->
#: (position of the argument after the instance, what it is, its range).
#: Outside the range, OutOfRange is raised and the library is not called.
CHECKED_ARGUMENTS: Dict[str, Tuple[Tuple[int, str, Range], ...]] = {
    "vxclk_setTx1Power": ((0, "Tx1 power", TX1_POWER),),
    "vxclk_setTx2Power": ((0, "Tx2 power", TX2_POWER),),
    "vxclk_setTx2Divider": ((0, "Tx2 divider selection", TX2_DIVIDER),),
    "vxclk_generateClock": ((0, "clock frequency (MHz)", CLOCK_MHZ),),
    "vxclk_initializeInstance": ((0, "calibration source", CALIBRATION_SOURCE),),
    "vxclk_setClock": ((1, "register page", REGISTER_PAGE), (2, "register number", REGISTER)),
    "vxclk_setFMFrequency": ((0, "FM rate index", FM_RATE_INDEX),),
    "vxclk_setCustomFMFrequency": ((0, "FM rate (MHz)", FM_RATE_MHZ),),
    "vxclk_setTx2PMFrequency": ((0, "PM frequency (MHz)", PM_FREQUENCY_MHZ),),
    "vxclk_setTx2BUJPRBS": ((0, "PRBS code", REGISTER_WORD), (1, "PRBS flag", FLAG)),
}
# The settings the library writes into one register each, as one word.
CHECKED_ARGUMENTS.update({
    function: ((0, what, REGISTER_WORD),)
    for function, what in (
        ("vxclk_setFMAmplitude", "FM amplitude"),
        ("vxclk_setFMPhaseSkew", "FM phase skew"),
        ("vxclk_setFMRJAmplitude", "FM random-jitter amplitude"),
        ("vxclk_setTx2PMAmplitude", "PM amplitude"),
        ("vxclk_setTx2PMPhaseShiftAmplitude", "PM phase-shift amplitude"),
        ("vxclk_setTx2PMRJAmplitude", "PM random-jitter amplitude"),
        ("vxclk_setTx2PMBUJAmplitude", "PM BUJ amplitude"),
        ("vxclk_setTx2PMBUJLineRate", "PM BUJ line rate"),
        ("vxclk_setTx2BUJAmplitude", "BUJ amplitude"),
        ("vxclk_setTx2AMAmplitude", "AM amplitude"),
        ("vxclk_setTx2AMRJAmplitude", "AM random-jitter amplitude"),
        ("vxclk_setClockSource", "clock source"),
    )
})
