"""Every exception class, each from a call that really returns its status."""

from __future__ import annotations

import pickle
import unittest

import kestrel
from kestrel import CalibrationSource, errors

from support import EmulatorTestCase


class StatusExceptionTest(EmulatorTestCase):
    def assert_status(self, caught: kestrel.KestrelError, status: int, function: str) -> None:
        self.assertEqual(caught.status, status)
        self.assertEqual(caught.function, function)
        self.assertEqual(type(caught).STATUS, status)
        self.assertIn(function, str(caught))

    def test_1_operation_failed(self) -> None:
        board = self.board()
        with self.assertRaises(kestrel.OperationFailed) as caught:
            board.tx2.pm.set_amplitude(100)  # PM is not enabled
        self.assert_status(caught.exception, 1, "vxclk_setTx2PMAmplitude")
        board.tx2.pm.enable()
        board.tx2.pm.set_amplitude(100)

    def test_2_not_connected(self) -> None:
        board = self.board()
        board.disconnect()
        self.assertFalse(board.connected)
        with self.assertRaises(kestrel.NotConnected) as caught:
            board.board_id
        self.assert_status(caught.exception, 2, "vxclk_getBoardID")
        with self.assertRaises(kestrel.NotConnected) as caught:
            board.disconnect()  # nothing left to close
        self.assert_status(caught.exception, 2, "vxclk_disconnect")
        board.connect()
        self.assertIsInstance(board.board_id, int)

    def test_3_out_of_range(self) -> None:
        board = self.board()
        with self.assertRaises(kestrel.OutOfRange) as caught:
            board.fm.set_custom_frequency(0.01)
        self.assert_status(caught.exception, 3, "vxclk_setCustomFMFrequency")
        self.assertIsInstance(caught.exception, ValueError)
        with self.assertRaises(kestrel.OutOfRange):
            board.generate_clock(20.0)  # the range excludes both ends
        with self.assertRaises(kestrel.OutOfRange):
            board.calibration_limits(14)

    def test_4_invalid_instance(self) -> None:
        board = self.board()
        board.close()
        self.assertTrue(board.closed)
        with self.assertRaises(kestrel.InvalidInstance) as caught:
            board.fm.enable()
        self.assert_status(caught.exception, 4, "vxclk_enableFM")

    def test_5_calibration_source_selected(self) -> None:
        board = self.board()
        board.use_calibration(CalibrationSource.BOARD)
        with self.assertRaises(kestrel.CalibrationSourceSelected) as caught:
            board.fm.set_custom_frequency(1.2)
        self.assert_status(caught.exception, 5, "vxclk_setCustomFMFrequency")
        board.fm.set_frequency(4)  # table rates still work
        board.use_calibration(0)  # CalibrationSource.NONE as an int
        board.fm.set_custom_frequency(1.2)


class ExceptionClassTest(unittest.TestCase):
    def test_one_class_per_status(self) -> None:
        classes = {
            1: kestrel.OperationFailed,
            2: kestrel.NotConnected,
            3: kestrel.OutOfRange,
            4: kestrel.InvalidInstance,
            5: kestrel.CalibrationSourceSelected,
        }
        for status, cls in classes.items():
            error = errors.error_for_status(status, "vxclk_x")
            self.assertIs(type(error), cls)
            self.assertIsInstance(error, kestrel.KestrelError)
            self.assertEqual(error.status, kestrel.Status(status))

    def test_an_unknown_status_gives_the_base_class(self) -> None:
        error = errors.error_for_status(9, "vxclk_x")
        self.assertIs(type(error), kestrel.KestrelError)
        self.assertEqual(error.status, 9)
        self.assertIn("status 9", str(error))

    def test_exceptions_survive_pickling(self) -> None:
        error = pickle.loads(pickle.dumps(kestrel.NotConnected(2, "vxclk_connect")))
        self.assertIsInstance(error, kestrel.NotConnected)
        self.assertEqual((error.status, error.function), (2, "vxclk_connect"))


if __name__ == "__main__":
    unittest.main()
