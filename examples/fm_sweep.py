#!/usr/bin/env python3
"""Sweep the frequency modulation over the twelve rates of the board's table.

    python3 fm_sweep.py [ADDRESS] [--amplitude N]

With an ADDRESS the script drives the board there; without one it starts the
board emulator (kestrel.testing.emulator) and drives that. For each rate it
selects the table entry, then reads the rate back from the board's FM
frequency registers (1038 high half, 1039 low half, in Hz) and the VCO lock.
"""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

import kestrel
import kestrel.testing

FM_FREQUENCY_HIGH = 1038  # board registers holding the FM rate in Hz
FM_FREQUENCY_LOW = 1039



def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("address", nargs="?", help="the board's IPv4 address (default: run the emulator)")
    parser.add_argument("--amplitude", type=int, default=300, help="FM amplitude (default 300)")
    parser.add_argument("--clock", type=float, default=1800.0, help="clock in MHz (default 1800)")
    args = parser.parse_args(argv)

    mismatches = 0
    with kestrel.testing.board_or_emulator(args.address) as address, kestrel.Board(address) as board:
        board.generate_clock(args.clock)
        # No calibration: the amplitude reaches the board as given.
        board.use_calibration(kestrel.CalibrationSource.NONE)
        board.fm.enable()
        board.fm.set_amplitude(args.amplitude)

        print(" # rate (MHz)   board (Hz)  VCO")
        for index, rate in enumerate(kestrel.FM_RATES_MHZ):
            board.fm.set_frequency(index)
            on_board = board.read_register(0, FM_FREQUENCY_HIGH) << 16 | board.read_register(0, FM_FREQUENCY_LOW)
            lock = "locked" if board.vco_locked() else "NOT locked"
            print(f"{index:2} {rate:10.2f} {on_board:12} {lock}")
            if on_board != round(rate * 1e6):
                mismatches += 1

        # A rate between the table's entries: the nearest entry provides the
        # synthesizer settings, the board gets the rate itself.
        board.fm.set_custom_frequency(1.2)
        on_board = board.read_register(0, FM_FREQUENCY_HIGH) << 16 | board.read_register(0, FM_FREQUENCY_LOW)
        print(f"custom {1.2:6.2f} {on_board:12}")
        board.fm.disable()

    if mismatches:
        print(f"{mismatches} rates did not reach the board", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
