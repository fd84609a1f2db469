"""Shared pieces of the Python tests: each test class gets its own board
emulator on its own loopback address, started once for the class."""

from __future__ import annotations

import contextlib
import os
import sys
import time
import unittest
from pathlib import Path
from typing import Optional

import kestrel
from kestrel.testing import emulator

SOURCE_DIR = Path(__file__).resolve().parent.parent.parent
EXAMPLES_DIR = SOURCE_DIR / "examples"
HEADER = SOURCE_DIR / "include" / "KestrelLib.h"


class EmulatorTestCase(unittest.TestCase):
    """Starts ``kestrel-board`` for the class; ``self.address`` is where it listens."""

    address: str
    emulator_options: dict = {}
    _stack: contextlib.ExitStack

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls._stack = contextlib.ExitStack()
        cls.address = cls._stack.enter_context(emulator(**cls.emulator_options))

    @classmethod
    def tearDownClass(cls) -> None:
        cls._stack.close()
        super().tearDownClass()

    def board(self) -> kestrel.Board:
        """A connected board, closed again at the end of the test."""
        board = kestrel.Board(self.address).open()
        self.addCleanup(board.close)
        return board


def established_connections(address: str, port: int = 6653) -> Optional[int]:
    """How many TCP connections to address:port the server side holds open, as
    the kernel sees them; None where that cannot be seen (not Linux)."""
    table = Path("/proc/net/tcp")
    if not sys.platform.startswith("linux") or not table.exists():
        return None
    local = "".join(f"{int(part):02X}" for part in reversed(address.split("."))) + f":{port:04X}"
    count = 0
    for line in table.read_text().splitlines()[1:]:
        fields = line.split()
        if fields[1] == local and fields[3] == "01":  # 01: ESTABLISHED
            count += 1
    return count


def wait_for(condition, timeout: float = 5.0) -> bool:
    """Polls condition() until it is true or the time runs out."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return bool(condition())
