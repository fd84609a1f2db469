"""Shared pieces of the Python tests: each test class gets its own board
emulator on its own loopback address, started once for the class."""

from __future__ import annotations

import contextlib
import os
import socket
import sys
import threading
import time
import unittest
from pathlib import Path
from typing import Iterator, Optional

import kestrel
from kestrel.testing import BOARD_PORT, _loopback_address, emulator

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
        board = kestrel.Board(self.address)
        self.addCleanup(board.close)
        return board


@contextlib.contextmanager
def silent_board() -> Iterator[str]:
    """Yields the address of a port that takes connections and never answers:
    the kernel completes them (the listener's backlog), nobody reads."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        address = _loopback_address()
        listener.bind((address, BOARD_PORT))
        listener.listen(8)
        yield address


class StallingRelay:
    """Passes the traffic of its own loopback address to a board; after
    :meth:`stall` the board's answers are dropped, as from a board that hangs."""

    def __init__(self, board_address: str) -> None:
        self.board_address = board_address
        self.stalled = threading.Event()
        self._listener = socket.create_server((_loopback_address(), BOARD_PORT))
        self.address = self._listener.getsockname()[0]
        threading.Thread(target=self._accept, daemon=True).start()

    def stall(self) -> None:
        self.stalled.set()

    def close(self) -> None:
        self._listener.close()

    def _accept(self) -> None:
        while True:
            try:
                host, _ = self._listener.accept()
            except OSError:  # closed
                return
            board = socket.create_connection((self.board_address, BOARD_PORT))
            threading.Thread(target=self._pump, args=(host, board, None), daemon=True).start()
            threading.Thread(target=self._pump, args=(board, host, self.stalled), daemon=True).start()

    @staticmethod
    def _pump(source: socket.socket, sink: socket.socket, stalled: Optional[threading.Event]) -> None:
        with contextlib.suppress(OSError):
            while True:
                data = source.recv(65536)
                if not data:
                    break
                if stalled is None or not stalled.is_set():
                    sink.sendall(data)
        for end in (source, sink):
            with contextlib.suppress(OSError):
                end.shutdown(socket.SHUT_RDWR)


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
