"""Arguments outside kestrelctl's ranges are refused before the library is called."""

from __future__ import annotations

import functools
import math
import unittest
from unittest import mock

import kestrel
from kestrel import CalibrationSource, limits

from support import EmulatorTestCase

# (method, value at the edge of its range that is taken, value just outside it)
EDGES = [
    ("set_tx1_power", 0, -1),
    ("set_tx1_power", 31, 32),
    ("set_tx2_power", 0, -1),
    ("set_tx2_power", 4096, 4097),
    ("set_tx2_divider", 0, -1),
    ("set_tx2_divider", 15, 16),
    ("generate_clock", 20.000001, 20.0),
    ("generate_clock", 5499.999999, 5500.0),
    # Every value a register holds stays within one word.
    ("fm.set_amplitude", 65535, 65536),
    ("fm.set_amplitude", 0, -5),
    ("fm.set_phase_skew", 65535, 65536),
    ("fm.set_rj_amplitude", 0, -1),
    ("set_clock_source", 65535, 65536),
    ("tx2.buj.set_amplitude", 65535, 65536),
    ("tx2.am.rj.set_amplitude", 65535, 70000),
    ("tx2.pm.buj.set_line_rate", 65535, 65536),
    ("fm.set_frequency", 11, 12),
    ("fm.set_custom_frequency", 50.0, 50.5),
    ("tx2.pm.set_frequency", 80.0, 80.001),
    # Last: a calibration source refuses custom FM rates.
    ("use_calibration", CalibrationSource.NONE, -1),
    ("use_calibration", CalibrationSource.BOARD, 3),
]

# (method, value it refuses): every value just outside, and values outside any range.
REFUSED = [(method, outside) for method, _, outside in EDGES] + [
    ("tx2.pm.set_amplitude", 65536),
    ("tx2.pm.set_phase_shift_amplitude", -1),
    ("tx2.pm.rj.set_amplitude", 65536),
    ("tx2.pm.buj.set_amplitude", 65536),
    ("tx2.am.set_amplitude", 70000),
    ("generate_clock", math.nan),
    ("generate_clock", math.inf),
    ("generate_clock", -math.inf),
]


def method_of(board: kestrel.Board, path: str):
    """board.fm.set_amplitude for "fm.set_amplitude"."""
    return functools.reduce(getattr, path.split("."), board)


class RangeTest(unittest.TestCase):
    def test_ranges_and_their_text(self) -> None:
        cases = [  # (range, inside, outside, text)
            (limits.TX1_POWER, (0, 31), (-1, 32, math.nan), "0..31"),
            (limits.TX2_POWER, (0, 4096), (-1, 4097), "0..4096"),
            (limits.TX2_DIVIDER, (0, 15), (-1, 16), "0..15"),
            (limits.CLOCK_MHZ, (20.5, 5499.5), (20, 20.0, 5500, math.nan, "100"), "above 20 and below 5500"),
            (limits.CALIBRATION_SOURCE, (0, 1, 2), (-1, 3), "0..2"),
            (limits.REGISTER_PAGE, (0, 15), (-1, 16), "0..15"),
            (limits.REGISTER, (0, 2047), (-1, 2048), "0..2047"),
            (limits.REGISTER_WORD, (0, 65535), (-1, 65536, 70000), "0..65535"),
        ]
        for allowed, inside, outside, text in cases:
            with self.subTest(text):
                self.assertEqual(str(allowed), text)
                self.assertTrue(all(value in allowed for value in inside))
                self.assertFalse(any(value in allowed for value in outside))


class RefusedTest(EmulatorTestCase):
    def test_values_outside_are_refused_before_the_call(self) -> None:
        board = kestrel.Board(self.address, connect=False)
        board._lib = mock.Mock()
        for method, value in REFUSED:
            with self.subTest(method=method, value=value):
                with self.assertRaises(kestrel.OutOfRange) as caught:
                    method_of(board, method)(value)
                self.assertIsInstance(caught.exception, ValueError)
                for part in (method, self.address, repr(float(value) if method == "generate_clock" else value),
                             "was not called"):
                    self.assertIn(part, str(caught.exception))
        for code, flag in ((65536, 0), (-1, 0), (7, 2)):
            with self.subTest(code=code, flag=flag), self.assertRaises(kestrel.OutOfRange):
                board.tx2.buj.set_prbs(code, flag)
        # A page or register past its field would reach another register.
        for page, register in ((16, 20), (0, 2048)):
            for call in (lambda: board.read_register(page, register), lambda: board.write_register(page, register, 1)):
                with self.subTest(page=page, register=register), self.assertRaises(kestrel.OutOfRange):
                    call()
        self.assertEqual(board._lib.mock_calls, [])

    def test_values_at_the_edges_reach_the_board(self) -> None:
        board = self.board()
        for method, value, _ in EDGES:
            with self.subTest(method=method, value=value):
                method_of(board, method)(value)
        board.tx2.buj.set_prbs(65535, 1)


if __name__ == "__main__":
    unittest.main()
