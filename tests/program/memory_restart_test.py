"""The emulator program keeps its non-volatile memory across a restart.

Starts kestrel-board with --memory FILE, stores doubles and a setting through
the library, stops the program (SIGTERM, or SIGKILL right after the last
write), starts it again on the same file and reads them back through the
library. A memory file it cannot use stops it at start-up.
"""
import ctypes
import os
import random
import signal
import subprocess
import sys
import tempfile
import unittest

LIBRARY = os.environ["KESTREL_LIBRARY"]
PROGRAM = os.environ["KESTREL_BOARD_PROGRAM"]


def start_board(address, memory):
    board = subprocess.Popen([PROGRAM, "--address", address, "--memory", memory],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = board.stdout.readline()
    if "listening" not in line:
        board.kill()
        raise RuntimeError(f"kestrel-board did not start: {line!r} {board.stderr.read()!r}")
    return board


def stop_board(board, stop_signal=signal.SIGTERM):
    board.send_signal(stop_signal)
    try:
        return board.wait(timeout=10)
    finally:
        board.stdout.close()
        board.stderr.close()


class MemoryAcrossRestart(unittest.TestCase):
    def setUp(self):
        self.lib = ctypes.CDLL(LIBRARY)
        self.lib.vxclk_createInstance.restype = ctypes.c_void_p
        self.lib.vxclk_connect.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        self.lib.vxclk_disconnect.argtypes = [ctypes.c_void_p]
        self.lib.vxclk_destroyInstance.argtypes = [ctypes.c_void_p]
        self.lib.vxclk_writeEEPROMAddress.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_double)]
        self.lib.vxclk_getEEPROMAddress.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_double)]
        self.lib.vxclk_setTx2Power.argtypes = [ctypes.c_void_p, ctypes.c_int32]
        self.address = f"127.{random.randint(140, 250)}.{random.randint(0, 250)}.{random.randint(1, 250)}"
        self.memory = os.path.join(tempfile.mkdtemp(), "board.mem")

    def session(self, body):
        instance = ctypes.c_void_p(self.lib.vxclk_createInstance())
        self.assertEqual(self.lib.vxclk_connect(instance, self.address.encode()), 0)
        try:
            body(instance)
        finally:
            self.lib.vxclk_disconnect(instance)
            self.lib.vxclk_destroyInstance(instance)

    def test_values_survive_a_restart(self):
        board = start_board(self.address, self.memory)
        try:
            def store(instance):
                value = ctypes.c_double(-1234.5)
                self.assertEqual(self.lib.vxclk_writeEEPROMAddress(instance, 40000, ctypes.byref(value)), 0)
                self.assertEqual(self.lib.vxclk_setTx2Power(instance, 300), 0)
            self.session(store)
        finally:
            self.assertEqual(stop_board(board), 0)
        self.assertEqual(os.path.getsize(self.memory), 65536)

        board = start_board(self.address, self.memory)
        try:
            def check(instance):
                value = ctypes.c_double(0)
                self.assertEqual(self.lib.vxclk_getEEPROMAddress(instance, 40000, ctypes.byref(value)), 0)
                self.assertEqual(value.value, -1234.5)
                setting = ctypes.c_double(0)
                self.assertEqual(self.lib.vxclk_getEEPROMAddress(instance, 8192 + 8 * 33, ctypes.byref(setting)), 0)
                self.assertEqual(setting.value, 300.0)
            self.session(check)
        finally:
            stop_board(board)

    def test_writes_acknowledged_before_a_kill_survive(self):
        values = {40000 + 8 * i: i * 1.25 - 7.0 for i in range(40)}
        board = start_board(self.address, self.memory)
        try:
            def store_then_kill(instance):
                # Back to back, as under continuous writing: no idle moment to save in.
                for address, number in values.items():
                    value = ctypes.c_double(number)
                    self.assertEqual(self.lib.vxclk_writeEEPROMAddress(instance, address, ctypes.byref(value)), 0)
                board.kill()
            self.session(store_then_kill)
        finally:
            stop_board(board, signal.SIGKILL)

        board = start_board(self.address, self.memory)
        try:
            def check(instance):
                for address, number in values.items():
                    value = ctypes.c_double(0)
                    self.assertEqual(self.lib.vxclk_getEEPROMAddress(instance, address, ctypes.byref(value)), 0)
                    self.assertEqual(value.value, number, f"address {address}")
            self.session(check)
        finally:
            stop_board(board)

    def test_unusable_memory_files_are_refused_at_start(self):
        with open(self.memory, "wb") as f:
            f.write(b"\0" * 100)
        missing_folder = os.path.join(os.path.dirname(self.memory), "absent", "board.mem")
        for path, reason in ((self.memory, "65536"), (missing_folder, "does not exist")):
            with self.subTest(reason=reason):
                result = subprocess.run([PROGRAM, "--address", self.address, "--memory", path],
                                        capture_output=True, text=True, timeout=10)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(reason, result.stderr)


if __name__ == "__main__":
    unittest.main()
