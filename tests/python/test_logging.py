"""The kestrel logger, and the switch for the library's trace."""

from __future__ import annotations

import logging
import os
import unittest
from pathlib import Path
from unittest import mock

import kestrel

from support import EmulatorTestCase


class LoggerTest(EmulatorTestCase):
    def test_calls_connect_close_and_failures_are_logged(self) -> None:
        with self.assertLogs("kestrel", logging.DEBUG) as logged:
            with kestrel.Board(self.address) as board:
                board.generate_clock(1800.0)
                with self.assertRaises(kestrel.OperationFailed):
                    board.tx2.pm.set_amplitude(5)  # PM is not enabled
        lines = [(record.levelname, record.getMessage()) for record in logged.records]
        expected = [  # (level, start of the message, words in it)
            ("DEBUG", "vxclk_connect(", (self.address, "status 0", " ms")),
            ("INFO", "connected to the board at", (self.address,)),
            ("DEBUG", "vxclk_generateClock(1800.0, 19)", ("status 0", " ms")),
            ("DEBUG", "vxclk_setTx2PMAmplitude(5)", ("status 1",)),
            ("WARNING", "tx2.pm.set_amplitude on", (self.address, "vxclk_setTx2PMAmplitude returned 1")),
            ("DEBUG", "vxclk_disconnect()", ("status 0",)),
            ("INFO", "closed the board at", (self.address,)),
        ]
        self.assertEqual(len(lines), len(expected), lines)
        for (level, message), (want_level, start, words) in zip(lines, expected):
            self.assertEqual(level, want_level, message)
            self.assertTrue(message.startswith(start), message)
            for word in words:
                self.assertIn(word, message)

    def test_the_package_adds_a_null_handler(self) -> None:
        handlers = logging.getLogger("kestrel").handlers
        self.assertTrue(any(isinstance(handler, logging.NullHandler) for handler in handlers))


class TraceSwitchTest(unittest.TestCase):
    def test_enable_trace_sets_and_clears_the_variable(self) -> None:
        cases = [  # (argument, value of KESTREL_TRACE afterwards; None: unset)
            ((), "1"),
            ((True,), "1"),
            (("/tmp/kestrel-trace.log",), "/tmp/kestrel-trace.log"),
            ((Path("trace.log"),), "trace.log"),
            ((False,), None),
            ((None,), None),
        ]
        for arguments, value in cases:
            with self.subTest(arguments=arguments), mock.patch.dict(os.environ, {"KESTREL_TRACE": "old"}):
                kestrel.enable_trace(*arguments)
                self.assertEqual(os.environ.get("KESTREL_TRACE"), value)


if __name__ == "__main__":
    unittest.main()
