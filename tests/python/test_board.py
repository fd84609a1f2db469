"""kestrel.Board against the emulator: lifetime, identity, every setter."""

from __future__ import annotations

import math
import os
import socket
import struct
import tempfile
import threading
import unittest
from unittest import mock
from pathlib import Path

import kestrel
from kestrel import CalibrationRow, CalibrationSource
from kestrel.testing import emulator

from support import EmulatorTestCase, established_connections, wait_for


class LifetimeTest(EmulatorTestCase):
    def connections(self) -> int:
        count = established_connections(self.address)
        if count is None:
            self.skipTest("the connections cannot be counted here")
        return count

    def test_making_a_board_connects_and_open_does_nothing_more(self) -> None:
        for make in (lambda: kestrel.Board(self.address), lambda: kestrel.Board(self.address).open()):
            board = make()
            self.addCleanup(board.close)
            self.assertTrue(board.connected)
            with board as same:  # open() on an open board: the same connection
                self.assertIs(same, board)
                board.open()
                self.assertTrue(wait_for(lambda: self.connections() == 1), self.connections())
            self.assertTrue(board.closed)

    def test_a_board_made_with_connect_false_waits_for_open(self) -> None:
        board = kestrel.Board(self.address, connect=False)
        self.assertTrue(board.closed)
        self.assertIn("not opened", repr(board))
        with board:
            self.assertTrue(board.connected)

    def test_a_call_before_open_or_after_close_says_which(self) -> None:
        board = kestrel.Board(self.address, connect=False)
        self.addCleanup(board.close)
        cases = [  # (what to do first, exception, words of the message)
            (lambda: None, kestrel.NotConnected, "never opened"),
            (lambda: board.open().close(), kestrel.InvalidInstance, "is closed"),
        ]
        for before, expected, words in cases:
            with self.subTest(words):
                before()
                for call in (lambda: board.generate_clock(1800.0), lambda: board.fm.enable()):
                    with self.assertRaises(expected) as caught:
                        call()
                    self.assertIn(words, str(caught.exception))
                    self.assertIn(self.address, str(caught.exception))
                    self.assertFalse(caught.exception.called)

    def test_the_context_manager_connects_and_closes(self) -> None:
        with kestrel.Board(self.address) as board:
            self.assertTrue(board.connected)
            self.assertIsNotNone(board.handle)
            if established_connections(self.address) is not None:
                self.assertEqual(established_connections(self.address), 1)
        self.assertTrue(board.closed)
        self.assertFalse(board.connected)
        self.assertIsNone(board.handle)

    def test_the_board_is_closed_after_an_exception(self) -> None:
        with self.assertRaises(RuntimeError):
            with kestrel.Board(self.address) as board:
                board.generate_clock(1000.0)
                raise RuntimeError("the script failed")
        self.assertTrue(board.closed)
        with self.assertRaisesRegex(kestrel.InvalidInstance, "closed"):
            board.board_id
        # The emulator sees the host go away.
        if established_connections(self.address) is not None:
            self.assertTrue(wait_for(lambda: established_connections(self.address) == 0),
                            "the emulator still holds the connection")

    def test_close_twice_and_open_again(self) -> None:
        board = kestrel.Board(self.address)
        board.close()
        board.close()
        board.open()
        self.addCleanup(board.close)
        self.assertTrue(board.connected)
        self.assertIn("connected", repr(board))

    def test_threads_sharing_a_board_take_turns(self) -> None:
        board = self.board()
        results = []

        def work() -> None:
            for _ in range(20):
                results.append(board.read_register(0, 20))

        threads = [threading.Thread(target=work) for _ in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(len(results), 60)
        self.assertEqual(len(set(results)), 1)


class IdentityTest(EmulatorTestCase):
    emulator_options = {
        "extra_arguments": ["--board-id", "77", "--serial", "0x0123456789ABCDEF", "--temperature", "300,301"]
    }

    def test_identity_and_health(self) -> None:
        board = self.board()
        self.assertEqual(board.board_id, 77)
        self.assertEqual(board.serial_number, 0x0123456789ABCDEF)
        self.assertEqual(board.temperature(0), 300)
        self.assertEqual(board.temperature(1), 301)
        with self.assertRaises(kestrel.OutOfRange):
            board.temperature(2)
        board.generate_clock(1800.0)
        self.assertTrue(board.vco_locked())
        self.assertEqual(board.vco_lock_value(), 1)
        voltage = board.vco_voltage()
        self.assertTrue(0.0 < voltage < 5.0, voltage)

    def test_registers(self) -> None:
        board = self.board()
        self.assertEqual(board.read_register(0, 20), 77)
        board.write_register(0, 300, 0xBEEF)
        self.assertEqual(board.read_register(0, 300), 0xBEEF)
        with self.assertRaises(ValueError):
            board.write_register(0, 300, 0x10000)
        with self.assertRaises(ValueError):
            board.read_register(-1, 20)

    def test_memory(self) -> None:
        board = self.board()
        for address, value in ((100, 1234.5), (108, -0.0), (65528, 1e300)):
            board.memory.write(address, value)
            read = board.memory.read(address)
            self.assertEqual(struct.pack("<d", read), struct.pack("<d", value))
        board.memory.write(116, math.inf)
        self.assertEqual(board.memory.read(116), math.inf)
        with self.assertRaises(kestrel.OutOfRange):
            board.memory.read(65529)
        with self.assertRaises(ValueError):
            board.memory.write(-8, 1.0)


class SetterTest(EmulatorTestCase):
    """Each setter reaches the board register it drives."""

    def reg(self, board: kestrel.Board, number: int) -> int:
        return board.read_register(0, number)

    def test_fm(self) -> None:
        board = self.board()
        board.fm.enable()
        self.assertEqual(self.reg(board, 1041), 1)
        board.fm.set_frequency(3)
        self.assertEqual((self.reg(board, 1038), self.reg(board, 1039)), (15, 16960))
        board.fm.set_custom_frequency(1.2)
        self.assertEqual((self.reg(board, 1038), self.reg(board, 1039)), (18, 20352))
        board.fm.set_amplitude(300)
        self.assertEqual(self.reg(board, 1042), 300)
        board.fm.set_phase_skew(5)
        self.assertEqual(self.reg(board, 1040), 5)
        board.fm.set_rj_amplitude(7)
        self.assertEqual(self.reg(board, 1052), 7)
        with self.assertRaises(kestrel.OutOfRange):
            board.fm.set_frequency(12)
        board.fm.disable()
        self.assertEqual(self.reg(board, 1041), 0)

    def test_tx2_phase_modulation(self) -> None:
        board = self.board()
        board.tx2.pm.enable()
        self.assertEqual(self.reg(board, 1025), 1)
        board.tx2.pm.set_frequency(80.0)
        self.assertEqual((self.reg(board, 1026), self.reg(board, 1027)), (1220, 46080))
        with self.assertRaises(kestrel.OutOfRange):
            board.tx2.pm.set_frequency(80.0001)
        board.tx2.pm.set_amplitude(5)
        self.assertEqual(self.reg(board, 1028), 5)
        board.tx2.pm.set_phase_shift_amplitude(6)
        self.assertEqual(self.reg(board, 1029), 6)

        with self.assertRaises(kestrel.OperationFailed):
            board.tx2.pm.rj.set_amplitude(9)  # RJ not enabled yet
        board.tx2.pm.rj.enable()
        self.assertEqual(self.reg(board, 1030), 1)
        board.tx2.pm.rj.set_amplitude(9)
        self.assertEqual(self.reg(board, 1031), 9)
        board.tx2.pm.rj.disable()
        self.assertEqual(self.reg(board, 1030), 0)

        board.tx2.pm.buj.enable()
        self.assertEqual(self.reg(board, 1049), 1)
        board.tx2.pm.buj.set_amplitude(10)
        self.assertEqual(self.reg(board, 1051), 10)
        board.tx2.pm.buj.set_line_rate(3)
        self.assertEqual((self.reg(board, 519), self.reg(board, 517)), (3, 1))
        board.tx2.pm.disable()
        self.assertEqual(self.reg(board, 1025), 0)

    def test_tx2_bounded_jitter_and_am(self) -> None:
        board = self.board()
        board.tx2.buj.set_amplitude(11)
        self.assertEqual(self.reg(board, 514), 11)
        board.tx2.buj.set_prbs(7, True)
        self.assertEqual((self.reg(board, 527), self.reg(board, 536)), (7, 1))
        board.tx2.buj.set_user_pattern(0x12345678)
        self.assertEqual((self.reg(board, 530), self.reg(board, 529)), (0x1234, 0x5678))
        with self.assertRaises(ValueError):
            board.tx2.buj.set_user_pattern(1 << 32)

        board.tx2.am.rj.set_amplitude(13)  # works with AM off
        self.assertEqual(self.reg(board, 1036), 13)
        with self.assertRaises(kestrel.OperationFailed):
            board.tx2.am.set_amplitude(12)
        board.tx2.am.set_enabled(True)
        self.assertEqual(self.reg(board, 1032), 1)
        board.tx2.am.set_amplitude(12)
        self.assertEqual(self.reg(board, 1024), 12)

    def test_clock_outputs_and_source(self) -> None:
        board = self.board()
        self.assertEqual(board.generate_clock(2500.0), 2500.0)
        self.assertEqual(board.generate_clock(4321.3), 4321.0)  # from the VCO's range on: whole MHz
        board.set_tx1_power(20)
        board.set_tx2_power(300)
        self.assertEqual(self.reg(board, 1035), 4096 - 300)
        board.set_tx2_divider(2)
        self.assertEqual(self.reg(board, 257), 4)
        board.set_clock_source(1)
        self.assertEqual(self.reg(board, 256), 1)
        with self.assertRaises(kestrel.OutOfRange):
            board.generate_clock(5500.0)
        with self.assertRaises(TypeError):
            board.set_tx1_power(2.5)  # type: ignore[arg-type]


class CalibrationTest(EmulatorTestCase):
    def setUp(self) -> None:
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.scratch = Path(scratch.name)

    def test_from_a_file(self) -> None:
        board = self.board()
        path = self.scratch / "counting.txt"
        path.write_text("".join(f"{k}\n" for k in range(98)))
        board.use_calibration(CalibrationSource.FILE, path)
        self.assertEqual(board.calibration_limits(0), (5.0, 6.0))
        self.assertEqual(board.calibration_limits(13), (96.0, 97.0))

        # Row 3 (1 MHz) maps an amplitude x to 2x + 5.
        rows = [CalibrationRow.identity()] * 14
        rows[3] = CalibrationRow(0, 0, 0, 2, 5, 0, 4095)
        path.write_text("".join(f"{v}\n" for row in rows for v in row))
        board.use_calibration(CalibrationSource.FILE, str(path))
        board.fm.set_frequency(3)
        board.fm.set_amplitude(300)
        self.assertEqual(board.read_register(0, 1042), 605)

    def test_file_problems(self) -> None:
        board = self.board()
        with self.assertRaises(ValueError):
            board.use_calibration(CalibrationSource.FILE)
        with self.assertRaises(kestrel.OperationFailed):
            board.use_calibration(CalibrationSource.FILE, self.scratch / "missing.txt")

    def test_stored_on_the_board(self) -> None:
        board = self.board()
        row = CalibrationRow(0.0, 0.0, 0.0, 1.0, 0.0, 12.5, 2047.5)
        board.save_calibration(13, 3.0, row)
        self.assertEqual(board.memory.read(20430), 3.0)
        board.disconnect()
        board.connect()  # the board's rows are read at connect
        board.use_calibration(CalibrationSource.BOARD)
        self.assertEqual(board.calibration_limits(13), (12.5, 2047.5))
        with self.assertRaises(ValueError):
            board.save_calibration(13, 3.0, row[:6])
        with self.assertRaises(kestrel.OutOfRange):
            board.save_calibration(14, 3.0, row)

    def test_a_nul_in_a_path_or_address_is_refused_before_the_library(self) -> None:
        board = self.board()
        good = self.scratch / "cal.txt"
        good.write_text("".join(f"{k}\n" for k in range(98)))
        cut = str(good) + "\0other.txt"
        calls = {
            "str path": lambda: board.use_calibration(CalibrationSource.FILE, cut),
            "bytes path": lambda: board.use_calibration(CalibrationSource.FILE, cut.encode()),
            "Path": lambda: board.use_calibration(CalibrationSource.FILE, Path(cut)),
            "address": lambda: board.connect(self.address + "\0" + "127.0.0.1"),
        }
        library = board._lib
        board._lib = mock.Mock(wraps=library)
        self.addCleanup(setattr, board, "_lib", library)
        for name, call in calls.items():
            with self.subTest(name):
                with self.assertRaises(ValueError):
                    call()
        self.assertEqual(board._lib.mock_calls, [])
        self.assertEqual(board.address, self.address)


class HostNameTest(unittest.TestCase):
    """A board named by its host name: resolved to IPv4 before the library is called."""

    def test_a_board_by_host_name(self) -> None:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with mock.patch.dict(os.environ, {"KESTREL_PORT": str(port)}):
            with emulator(address="127.0.0.1"), kestrel.Board("localhost") as board:
                self.assertEqual(board.address, "localhost")
                self.assertEqual(board.board_id, 0x4B31)
        with self.assertRaises(kestrel.NotConnected) as caught:
            kestrel.Board("board.invalid")
        self.assertEqual(caught.exception.cause, "bad address")
        self.assertFalse(caught.exception.called)


if __name__ == "__main__":
    unittest.main()
