"""What the board makes of a clock request, as the library's planner plans
it: the same answer as ``kestrelctl plan`` and kestreld's ``FREQ:ACT?``
(a test holds it to the planner)."""

from __future__ import annotations

import math

from . import limits

__all__ = ["VCO_MIN_MHZ", "produced_frequency_mhz"]

#: The VCO's lowest frequency in MHz. A clock from here up comes straight
#: from the VCO, which the plan sets in whole MHz.
VCO_MIN_MHZ = 3550.0


def produced_frequency_mhz(requested_mhz: float) -> float:
    """The clock the board makes for a request of ``requested_mhz``, as the
    library's planner plans it: the request itself (to a few µHz) below
    :data:`VCO_MIN_MHZ`, else the request rounded to whole MHz (4321.3 gives
    4321.0); requests from 3549.5 MHz round up into that range.

    Raises:
        ValueError: a request outside :data:`kestrel.limits.CLOCK_MHZ`.
    """
    if requested_mhz not in limits.CLOCK_MHZ:
        raise ValueError(f"a clock request must be {limits.CLOCK_MHZ} MHz, not {requested_mhz!r}")
    whole = math.floor(requested_mhz + 0.5)
    return float(whole) if whole >= VCO_MIN_MHZ else float(requested_mhz)
