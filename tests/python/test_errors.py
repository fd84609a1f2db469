"""Every exception class, each from a call that really returns its status; the
status sentences against the header; the address and cause of link failures."""

from __future__ import annotations

import errno
import os
import pickle
import re
import socket
import time
import unittest
from unittest import mock

import kestrel
from kestrel import CalibrationSource, environment, errors, link
from kestrel.testing import _loopback_address

from support import HEADER, EmulatorTestCase, StallingRelay, silent_board


class StatusExceptionTest(EmulatorTestCase):
    def assert_status(self, caught: kestrel.KestrelError, status: int, function: str) -> None:
        self.assertEqual(caught.status, status)
        self.assertEqual(caught.function, function)
        self.assertEqual(type(caught).STATUS, status)
        self.assertEqual(caught.address, self.address)
        for part in (function, self.address, kestrel.status_text(status)):
            self.assertIn(part, str(caught))

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
        self.assertEqual(str(error), "Unknown status code. (vxclk_x returned 9)")

    def test_the_message_holds_every_part(self) -> None:
        error = errors.error_for_status(1, "vxclk_generateClock", "127.0.0.5", cause="timed out",
                                        operation="generate_clock")
        self.assertEqual(str(error), "generate_clock on 127.0.0.5: " + errors.STATUS_TEXT[1]
                         + " (vxclk_generateClock returned 1; cause: timed out)")
        refused = errors.error_for_status(3, "vxclk_setTx1Power", "127.0.0.5", detail="Tx1 power 40 is outside 0..31",
                                          called=False)
        self.assertTrue(str(refused).endswith("Tx1 power 40 is outside 0..31. (vxclk_setTx1Power was not called)"))

    def test_exceptions_survive_pickling(self) -> None:
        sent = kestrel.NotConnected(2, "vxclk_connect", "10.0.0.9", "refused", operation="connect")
        error = pickle.loads(pickle.dumps(sent))
        self.assertIsInstance(error, kestrel.NotConnected)
        self.assertEqual(vars(error), vars(sent))
        self.assertEqual(str(error), str(sent))


class StatusTextTest(unittest.TestCase):
    def test_the_sentences_are_the_headers(self) -> None:
        text = HEADER.read_text()
        codes = {name: int(value) for name, value in re.findall(r"\b(VXCLK_\w+)\s*=\s*(\d+)", text)}
        body = re.search(r"vxclk_statusText\(int32_t status\)\s*\{(.*?)\n\}", text, re.S).group(1)
        cases = {codes[name]: sentence for name, sentence in re.findall(r'case (VXCLK_\w+): return "([^"]*)";', body)}
        default = re.search(r'default: return "([^"]*)";', body).group(1)
        self.assertEqual(cases, errors.STATUS_TEXT)
        self.assertEqual(sorted(cases), list(range(6)))
        self.assertEqual(default, errors.UNKNOWN_STATUS_TEXT)
        for status in (*cases, -1, 6):
            self.assertEqual(kestrel.status_text(status), cases.get(status, default))


class LinkCauseTest(unittest.TestCase):
    """The cause a link failure names, against real sockets where they can show it."""

    def connect_error(self, address: str) -> kestrel.KestrelError:
        with self.assertRaises(kestrel.NotConnected) as caught:
            kestrel.Board(address)
        error = caught.exception
        for part in (address, "vxclk_connect", errors.STATUS_TEXT[2]):
            self.assertIn(part, str(error))
        self.assertEqual(error.address, address)
        return error

    def test_a_bad_address_is_named_without_calling_the_library(self) -> None:
        for address in ("300.1.1.1", "1.2.3", "01.2.3.4", "board.invalid", "", "1.2.3.4 "):
            with self.subTest(address=address):
                error = self.connect_error(address)
                self.assertEqual(error.cause, "bad address")
                self.assertIn("cause: bad address", str(error))
                self.assertFalse(error.called)

    def test_a_port_nobody_listens_on_refuses(self) -> None:
        error = self.connect_error(_loopback_address())
        self.assertEqual(error.cause, "refused")
        self.assertIn("cause: refused", str(error))

    def test_a_board_that_never_answers_times_out(self) -> None:
        with silent_board() as address:
            self.assertEqual(self.connect_error(address).cause, "timed out")

    def test_a_probe_tells_refused_from_unreachable(self) -> None:
        cases = [
            (ConnectionRefusedError(errno.ECONNREFUSED, "refused"), "refused"),
            (OSError(errno.ENETUNREACH, "no route"), "unreachable"),
            (OSError(errno.EHOSTUNREACH, "no route"), "unreachable"),
            (socket.timeout("timed out"), None),
            (OSError(errno.ECONNRESET, "reset"), None),
            (None, None),  # it connected: the failure came later
        ]
        for outcome, cause in cases:
            with self.subTest(outcome=outcome):
                self.assertEqual(link.probe_cause(outcome), cause)

    def test_the_time_limits_come_from_the_environment(self) -> None:
        cases = [  # (environment, status, elapsed ms, cause of a call failure, cause of a connect failure)
            ({}, 1, 2000, "timed out", "timed out"),
            ({}, 1, 1000, None, None),
            ({}, 2, 5000, None, "timed out"),
            ({"KESTREL_EXCHANGE_TIMEOUT_MS": "500"}, 1, 600, "timed out", "timed out"),
            ({"KESTREL_EXCHANGE_TIMEOUT_MS": "soon"}, 1, 600, None, None),
            ({"KESTREL_CONNECT_TIMEOUT_MS": "300"}, 1, 400, None, "timed out"),
        ]
        for env, status, elapsed, call_cause, connect_cause in cases:
            with self.subTest(env=env, elapsed=elapsed), mock.patch.dict(os.environ, env), \
                    mock.patch.object(link, "probe", return_value=None):
                self.assertEqual(link.call_failure_cause(status, elapsed), call_cause)
                self.assertEqual(link.connect_failure_cause("127.0.0.1", elapsed), connect_cause)

    def test_the_probe_uses_the_port_from_the_environment(self) -> None:
        with mock.patch.dict(os.environ, {"KESTREL_PORT": "7001"}), mock.patch.object(link, "probe") as probe:
            link.connect_failure_cause("127.0.0.1", 1.0)
        probe.assert_called_once_with("127.0.0.1", 7001)
        self.assertEqual(environment.board_port(), environment.DEFAULT_PORT)


class StalledBoardTest(EmulatorTestCase):
    def test_a_call_that_lasts_the_exchange_limit_timed_out(self) -> None:
        relay = StallingRelay(self.address)
        self.addCleanup(relay.close)
        board = kestrel.Board(relay.address)
        self.addCleanup(board.close)
        board.generate_clock(1800.0)
        relay.stall()
        started = time.monotonic()
        with self.assertRaises(kestrel.OperationFailed) as caught:
            board.generate_clock(2000.0)
        self.assertGreaterEqual(time.monotonic() - started, 1.9)
        self.assertEqual(caught.exception.cause, "timed out")
        self.assertIn(f"generate_clock on {relay.address}: ", str(caught.exception))
        self.assertIn("(vxclk_generateClock returned 1; cause: timed out)", str(caught.exception))
        with self.assertRaises(kestrel.OperationFailed) as caught:  # the link is dropped: at once
            board.board_id
        self.assertIsNone(caught.exception.cause)


if __name__ == "__main__":
    unittest.main()
