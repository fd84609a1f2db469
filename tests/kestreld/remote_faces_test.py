"""One board, one owner: kestrelctl, the Python package and a PyVISA client
share the board kestreld serves (kestrelctl --board kestreld://..., Python
Board("kestreld://...")), and each sees what the others changed at once.

Environment: as kestreld_test.py, plus KESTRELCTL, KESTREL_LIBRARY and
PYTHONPATH (the package).
"""

import os
import subprocess
import unittest

import kestrel

from kestreld_test import PORT, VisaTestCase

KESTRELCTL = os.environ["KESTRELCTL"]


class SharedBoardTests(VisaTestCase):
    def remote(self):
        return "kestreld://%s:%d" % (self.daemon.address, PORT)

    def kestrelctl(self, *args):
        done = subprocess.run([KESTRELCTL, "--board", self.remote(), *args], capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def test_kestrelctl_python_and_pyvisa_see_each_others_changes(self):
        inst = self.open()
        self.assertIn("board ID       19249", self.kestrelctl("info"))
        self.kestrelctl("clock", "2400")
        self.assertEqual(float(inst.query("FREQ?")), 2.4e9)
        with kestrel.Board(self.remote()) as board:
            board.set_tx1_power(17)
            self.assertEqual(inst.query("OUTP1:POW?"), "17")
            inst.write("OUTP2:POW 9")
            self.assertEqual(board.active_config().tx2_power, 9)
            self.assertEqual(board.active_config().generate_frequency, 2400.0)
        self.assertIn("tx2Power                  9", self.kestrelctl("config"))
        self.assertNoError(inst)

    def test_arguments_and_refusals_are_the_librarys(self):
        with kestrel.Board(self.remote()) as board:
            with self.assertRaises(kestrel.OutOfRange):
                board.set_tx1_power(99)  # refused by the package before any call
            with self.assertRaises(kestrel.KestrelError) as refused:
                board.memory.write(65535, 1.0)
            self.assertEqual(refused.exception.status, kestrel.Status.OUT_OF_RANGE)
        done = subprocess.run([KESTRELCTL, "--board", "kestreld://", "info"], capture_output=True, text=True)
        self.assertEqual(done.returncode, 64, done.stderr)

    def test_python_runs_sweeps_in_the_daemon(self):
        with kestrel.Board(self.remote()) as board:
            run = board.sweep_list([100.0, 200.0, 300.0, 400.0], dwell_s=0.01, wait=True)
            self.assertEqual(run["points"], 4)
            self.assertEqual(board.sweep_status(), {"state": "idle", "mode": "LIST", "index": 3})
            board.sweep_linear(100.0, 2000.0, 1000, dwell_s=0.5)
            self.assertEqual(board.sweep_status()["state"], "running")
            with self.assertRaises(kestrel.sweep.SweepError) as refused:
                board.sweep_list([300.0], dwell_s=0.01)  # the daemon refuses new settings under a run
            self.assertEqual(refused.exception.code, -221)
            board.abort_sweep()
            self.assertEqual(board.sweep_status()["state"], "idle")
            with self.assertRaises(kestrel.OutOfRange):
                board.sweep_list([100.0], dwell_s=0.0001)  # refused before anything is sent
        with self.assertRaises(kestrel.sweep.SweepError) as direct:
            kestrel.Board("127.0.0.1", connect=False).sweep_status()
        self.assertIn("sweeps run in kestreld", str(direct.exception))

if __name__ == "__main__":
    unittest.main()
