#!/usr/bin/env python3
"""Calibrate the FM amplitude from a file, and store a calibration row on the
board and read it back.

    python3 calibration.py [ADDRESS] [--keep]

With an ADDRESS the script drives the board there; without one it starts the
board emulator (kestrel.testing.emulator) and drives that.

1. It writes a calibration file (14 rows of c4, c3, c2, c1, c0, minimum,
   maximum, one number per line), selects it, prints each row's limits and
   shows an FM amplitude going through the calibration.
2. It stores row 13 in the board's memory, reconnects (the board's rows are
   read at connect), selects the board's calibration and reads the limits
   back. Unless --keep is given, the row and tag that were there before are
   put back afterwards.
"""

from __future__ import annotations

import argparse
import math
import sys
import tempfile
from pathlib import Path
from typing import List, Optional

import kestrel
import kestrel.testing
from kestrel import CalibrationRow, CalibrationSource

FM_AMPLITUDE_REGISTER = 1042
# Where the board keeps the calibration tag and rows (7 doubles per row).
TAG_ADDRESS = 20430
ROWS_ADDRESS = 20480
ROW_BYTES = 56



def example_rows() -> List[CalibrationRow]:
    """A made-up table: a gain that grows with the row, limits 100 + row .. 4000 + row."""
    return [CalibrationRow(0.0, 0.0, 0.0, 1.0 + 0.1 * row, 5.0, 100.0 + row, 4000.0 + row) for row in range(14)]


def write_calibration_file(path: Path, rows: List[CalibrationRow]) -> None:
    path.write_text("".join(f"{value!r}\n" for row in rows for value in row))


def same(a: float, b: float) -> bool:
    return a == b or (math.isnan(a) and math.isnan(b))


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("address", nargs="?", help="the board's IPv4 address (default: run the emulator)")
    parser.add_argument("--keep", action="store_true", help="leave the stored row on the board")
    args = parser.parse_args(argv)

    rows = example_rows()
    failures = 0
    with kestrel.testing.board_or_emulator(args.address) as address, kestrel.Board(address) as board, \
            tempfile.TemporaryDirectory() as scratch:
        # 1. From a file.
        path = Path(scratch) / "calibration.txt"
        write_calibration_file(path, rows)
        board.use_calibration(CalibrationSource.FILE, path)
        print(f"calibration file {path.name}: row limits")
        for row in range(14):
            minimum, maximum = board.calibration_limits(row)
            print(f"  row {row:2}: {minimum:7.1f} .. {maximum:7.1f}")
            failures += (minimum, maximum) != (rows[row].minimum, rows[row].maximum)

        board.fm.set_frequency(3)  # 1 MHz: row 3 of the table
        board.fm.set_amplitude(1000)
        written = board.read_register(0, FM_AMPLITUDE_REGISTER)
        expected = int(rows[3].c1 * 1000 + rows[3].c0)
        print(f"FM amplitude 1000 at 1 MHz reaches the board as {written} (expected {expected})")
        failures += written != expected

        # 2. Stored on the board and read back after a reconnect.
        old_tag = board.memory.read(TAG_ADDRESS)
        old_row = [board.memory.read(ROWS_ADDRESS + 13 * ROW_BYTES + 8 * column) for column in range(7)]
        new_row = CalibrationRow(0.0, 0.0, 0.0, 2.0, 0.0, 12.5, 2047.5)
        board.save_calibration(13, 1.0, new_row)
        try:
            board.disconnect()
            board.connect()
            board.use_calibration(CalibrationSource.BOARD)
            limits = board.calibration_limits(13)
            print(f"row 13 stored on the board reads back as {limits[0]} .. {limits[1]}")
            failures += limits != (new_row.minimum, new_row.maximum)
            failures += not same(board.memory.read(TAG_ADDRESS), 1.0)
        finally:
            if not args.keep:
                board.save_calibration(13, old_tag, old_row)
                restored = [board.memory.read(ROWS_ADDRESS + 13 * ROW_BYTES + 8 * c) for c in range(7)]
                failures += not all(same(a, b) for a, b in zip(restored, old_row))
                print("the board's previous row 13 and tag are back (they take effect at the next connect)")

    if failures:
        print(f"{failures} checks failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
