#!/usr/bin/env python3
"""Generate a clock, set the output powers and the Tx2 divider, and read the
board back.

    python3 clock_and_power.py [ADDRESS] [--frequency MHZ] [--verbose] [--trace]

With an ADDRESS the script drives the board there; without one it starts the
board emulator (kestrel.testing.emulator) and drives that. The kestrel package
must be importable (installed, or PYTHONPATH=python) and find KestrelLib (for
example KESTREL_LIBRARY=build/src/libKestrelLib.so.2). --verbose shows each
library call (the "kestrel" logger), --trace each exchange with the board (the
library's trace); both on stderr. A failure is printed with the board's
address and its cause, and the script exits with 1.
"""

from __future__ import annotations

import argparse
import logging
import sys
from typing import List, Optional

import kestrel
import kestrel.testing



def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("address", nargs="?", help="the board's IPv4 address (default: run the emulator)")
    parser.add_argument("--frequency", type=float, default=1800.0, help="clock in MHz (default 1800)")
    parser.add_argument("--tx1-power", type=int, default=20)
    parser.add_argument("--tx2-power", type=int, default=300)
    parser.add_argument("--tx2-divider", type=int, default=1, help="Tx2 divides by 2**n")
    parser.add_argument("-v", "--verbose", action="store_true", help="log each library call on stderr")
    parser.add_argument("--trace", action="store_true", help="have the library log each exchange on stderr")
    args = parser.parse_args(argv)
    if args.verbose:
        logging.basicConfig(level=logging.DEBUG, format="%(name)s %(levelname)s: %(message)s")
    if args.trace:
        kestrel.enable_trace()  # before the board is made: the library reads it then

    try:
        return run(args)
    except kestrel.KestrelError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


def run(args: argparse.Namespace) -> int:
    with kestrel.testing.board_or_emulator(args.address) as address, kestrel.Board(address) as board:
        print(f"board {board.board_id} serial {board.serial_number:#x}, library {kestrel.api_version()}")

        board.generate_clock(args.frequency)
        state = "locked" if board.vco_locked() else "NOT locked"
        print(f"clock {args.frequency} MHz: VCO {state} at {board.vco_voltage():.3f} V")

        board.set_tx1_power(args.tx1_power)
        board.set_tx2_power(args.tx2_power)
        board.set_tx2_divider(args.tx2_divider)
        print(f"Tx1 power {args.tx1_power}, Tx2 power {args.tx2_power}, Tx2 divider {args.tx2_divider}")

        config = board.active_config()  # about 3 s: every setting is read from board memory
        print("stored on the board:")
        for name in ("generate_frequency", "tx1_power", "tx2_power", "tx2_divider"):
            print(f"  {name:20} {getattr(config, name)}")
        if (config.generate_frequency, config.tx1_power, config.tx2_power, config.tx2_divider) != (
            args.frequency, args.tx1_power, args.tx2_power, args.tx2_divider
        ):
            print("the board stored other values than those set", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
