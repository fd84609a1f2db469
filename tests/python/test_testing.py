"""kestrel.testing.emulator: start, address, stop, and its failures."""

from __future__ import annotations

import os
import stat
import sys
import tempfile
import time
import unittest
from pathlib import Path
from unittest import mock

import kestrel
from kestrel import testing


class EmulatorHelperTest(unittest.TestCase):
    def test_it_serves_while_open_and_is_gone_afterwards(self) -> None:
        with testing.emulator() as address:
            self.assertRegex(address, r"^127\.\d+\.\d+\.\d+$")
            with kestrel.Board(address) as board:
                self.assertIsInstance(board.board_id, int)
        with self.assertRaises(kestrel.NotConnected):
            kestrel.Board(address).open()

    def test_two_emulators_run_side_by_side(self) -> None:
        with testing.emulator() as first, testing.emulator() as second:
            self.assertNotEqual(first, second)
            with kestrel.Board(first) as a, kestrel.Board(second) as b:
                a.write_register(0, 300, 1)
                b.write_register(0, 300, 2)
                self.assertEqual((a.read_register(0, 300), b.read_register(0, 300)), (1, 2))

    def test_options_reach_the_program(self) -> None:
        with tempfile.TemporaryDirectory() as scratch:
            memory = Path(scratch) / "memory.bin"
            with testing.emulator(memory_file=memory, trace=True, extra_arguments=["--board-id", "9"]) as address:
                with kestrel.Board(address) as board:
                    self.assertEqual(board.board_id, 9)
                    board.memory.write(0, 2.5)
            with testing.emulator(memory_file=memory) as address, kestrel.Board(address) as board:
                self.assertEqual(board.memory.read(0), 2.5)

    def test_the_program_comes_from_the_environment(self) -> None:
        self.assertEqual(testing.find_board_program(), os.environ[testing.PROGRAM_ENV])
        with mock.patch.dict(os.environ, {testing.PROGRAM_ENV: "/nonexistent/kestrel-board"}):
            with self.assertRaisesRegex(testing.EmulatorError, "nonexistent"):
                with testing.emulator():
                    pass

    def test_a_program_that_fails_is_reported(self) -> None:
        with self.assertRaisesRegex(testing.EmulatorError, "unknown option --bogus"):
            with testing.emulator(extra_arguments=["--bogus"], attempts=1):
                pass

    @unittest.skipIf(sys.platform == "win32", "uses a shell script")
    def test_a_program_that_never_listens_is_stopped(self) -> None:
        with tempfile.TemporaryDirectory() as scratch:
            script = Path(scratch) / "silent-board"
            script.write_text("#!/bin/sh\nexec sleep 30\n")
            script.chmod(script.stat().st_mode | stat.S_IXUSR)
            started = time.monotonic()
            with self.assertRaisesRegex(testing.EmulatorError, "did not start"):
                with testing.emulator(program=str(script), start_timeout=0.3, attempts=1):
                    pass
            self.assertLess(time.monotonic() - started, 10.0)

    def test_an_exception_in_the_block_still_stops_the_program(self) -> None:
        with self.assertRaises(KeyError):
            with testing.emulator() as address:
                raise KeyError(address)
        with self.assertRaises(kestrel.NotConnected):
            kestrel.Board(address).open()


if __name__ == "__main__":
    unittest.main()
