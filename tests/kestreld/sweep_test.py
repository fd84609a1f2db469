"""kestreld steps the board's clock by itself: a frequency list runs its
points in order on the board and *OPC? answers at its end, a long sweep
stops at ABOR from another client, a run armed with TRIG:SOUR BUS waits for
*TRG, and *SAV / *RCL keep the board's settings, across a restart too.

Every wait is bounded and generous, and nothing here measures speed: a loaded
2-core machine must pass. Environment: as kestreld_test.py.
"""

import json
import os
import re
import shutil
import tempfile
import time
import unittest
import urllib.error
import urllib.request

import pyvisa

from kestreld_test import BoardProgram, Daemon, stop

LIST_MHZ = [100, 200, 300, 400]
OUTPUT_A = re.compile(r"output A ([0-9.]+) MHz")


def open_visa(test, rm, daemon, timeout_ms=30000):
    inst = rm.open_resource(daemon.resource(), read_termination="\n", write_termination="\n", timeout=timeout_ms)
    test.addCleanup(inst.close)
    return inst


def wait_until(condition, seconds=20, step=0.02):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def errors_besides_late_points(inst):
    """The client's errors, less the warnings of points whose upload outlasted
    their dwell (a loaded machine may give those)."""
    errors = []
    while True:
        error = inst.query("SYST:ERR?")
        if error.startswith("0,"):
            return errors
        if not (error.startswith("-200,") and "longer than its dwell" in error):
            errors.append(error)


def clocks_of(lines):
    """The clocks the board was given, in order: one entry per change (a
    clock upload and the Tx1 power after it both show the same output A)."""
    clocks = []
    for line in lines:
        match = OUTPUT_A.search(line)
        if match and (not clocks or clocks[-1] != float(match.group(1))):
            clocks.append(float(match.group(1)))
    return clocks


class TracedBoardTestCase(unittest.TestCase):
    """A daemon owning an out-of-process emulator whose trace shows every
    synthesizer upload, and PyVISA clients of it."""

    @classmethod
    def setUpClass(cls):
        cls.board = BoardProgram(trace=True)
        cls.daemon = Daemon("--board", "bench=" + cls.board.address, "--http-port", "0")
        cls.rm = pyvisa.ResourceManager("@py")

    @classmethod
    def tearDownClass(cls):
        cls.rm.close()
        status = stop(cls.daemon.proc)
        stop(cls.board.proc)
        if os.path.exists(cls.board.memory):
            os.unlink(cls.board.memory)
        if status != 0:
            raise AssertionError("kestreld exited with %d on SIGTERM" % status)

    def open(self):
        return open_visa(self, self.rm, self.daemon)

    def clocks_since(self, index, first):
        """The clocks of the trace from its line `index` on, from the first
        change to `first` on: earlier uploads may still be in the pipe."""
        clocks = clocks_of(self.board.synth_lines[index:])
        return clocks[clocks.index(first):] if first in clocks else []


class ListTests(TracedBoardTestCase):
    def test_a_list_runs_in_order_and_opc_answers_at_its_end(self):
        inst = self.open()
        inst.write("*RST;FREQ 1 GHZ")
        inst.write("FREQ:MODE LIST;:LIST:FREQ %s;DWEL 0.02" % ",".join("%dMHZ" % f for f in LIST_MHZ))
        self.assertEqual(inst.query("LIST:POIN?;DWEL?;:FREQ:MODE?"), "4;2.000000000E-02;LIST")
        self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')
        before = len(self.board.synth_lines)

        self.assertEqual(inst.query("INIT;*OPC?"), "1")
        # The run has ended when *OPC? answers: idle, at its last point.
        self.assertEqual(inst.query("STAT:OPER:COND?;:LIST:IND?"), "0;3")
        # Its timing record: one lateness per point run, none early.
        count, *lateness = inst.query("LIST:TIM?").split(",")
        self.assertEqual(int(count), len(LIST_MHZ))
        self.assertEqual(len(lateness), len(LIST_MHZ))
        self.assertTrue(all(float(late) >= 0 for late in lateness), lateness)
        self.assertTrue(wait_until(lambda: self.clocks_since(before, 100.0)[-1:] == [400.0]))
        self.assertEqual(self.clocks_since(before, 100.0), [float(f) for f in LIST_MHZ])
        # FREQ? answers the clock asked for, FREQ:ACT? what the board makes
        # now; CW mode goes back to the former.
        self.assertEqual(inst.query("FREQ?;:FREQ:ACT?"), "1.000000000E+09;4.000000000E+08")
        inst.write("FREQ:MODE CW")
        self.assertTrue(wait_until(lambda: clocks_of(self.board.synth_lines[before:])[-1:] == [1000.0]))
        self.assertEqual(errors_besides_late_points(inst), [])

    def test_with_a_bus_trigger_nothing_moves_until_trg(self):
        inst, other = self.open(), self.open()
        inst.write("*RST;FREQ:MODE LIST;:LIST:FREQ 150MHZ,250MHZ;DWEL 0.02;:TRIG:SOUR BUS")
        self.assertEqual(inst.query("*OPC?"), "1")
        before = len(self.board.synth_lines)
        inst.write("INIT")
        # Armed and waiting, whatever the time: the trigger alone starts it.
        for _ in range(10):
            self.assertEqual(other.query("STAT:OPER:COND?"), "32")
            time.sleep(0.02)
        self.assertNotIn(150.0, clocks_of(self.board.synth_lines[before:]))
        self.assertEqual(inst.query("*TRG;*OPC?"), "1")
        self.assertTrue(wait_until(lambda: self.clocks_since(before, 150.0) == [150.0, 250.0]))
        # A trigger with nothing armed, and a clock request under a run, are refused.
        self.assertEqual(inst.query("*TRG;:SYST:ERR?").split(",")[0], "-221")
        inst.write("TRIG:SOUR IMM;:LIST:COUN INF;:INIT")
        self.assertEqual(other.query("FREQ 2 GHZ;:SYST:ERR?").split(",")[0], "-221")
        self.assertEqual(other.query("LIST:FREQ 1 GHZ;:SYST:ERR?").split(",")[0], "-221")
        self.assertEqual(other.query("ABOR;:STAT:OPER:COND?;:LIST:COUN 1;:SYST:ERR?"), '0;0,"No error"')
        self.assertEqual(errors_besides_late_points(inst), [])


class AbortTests(TracedBoardTestCase):
    def test_abort_from_another_client_stops_a_long_sweep_within_a_step(self):
        starter, stopper = self.open(), self.open()
        starter.write("*RST;FREQ:MODE SWE;:FREQ:STAR 100MHZ;STOP 2GHZ;:SWE:POIN 200;DWEL 0.05")
        self.assertEqual(starter.query("SWE:POIN?;:FREQ:STAR?;STOP?"), "200;1.000000000E+08;2.000000000E+09")
        starter.write("INIT")
        # Queries answer while it runs; it gets some way in.
        self.assertTrue(wait_until(lambda: int(stopper.query("LIST:IND?")) >= 5))
        self.assertEqual(stopper.query("STAT:OPER:COND?"), "8")
        # One line: no step runs between the commands of a line.
        at, aborted_at, condition = stopper.query("LIST:IND?;:ABOR;:LIST:IND?;:STAT:OPER:COND?").split(";")
        self.assertLessEqual(int(aborted_at) - int(at), 1)
        self.assertLess(int(aborted_at), 199)
        self.assertEqual(condition, "0")
        # The starter's *OPC? does not wait for a run that is over.
        self.assertEqual(starter.query("*OPC?;:LIST:IND?"), "1;" + aborted_at)
        self.assertEqual(errors_besides_late_points(starter), [])

    def test_opc_of_the_starter_waits_while_others_are_served(self):
        starter, other = self.open(), self.open()
        starter.write("*RST;FREQ:MODE SWE;:FREQ:STAR 500MHZ;STOP 900MHZ;:SWE:POIN 5;DWEL 0.05")
        starter.write("INIT;*OPC?")
        self.assertIn(other.query("STAT:OPER:COND?"), ("8", "0"))
        self.assertEqual(starter.read(), "1")
        self.assertEqual(starter.query("LIST:IND?;:STAT:OPER:COND?"), "4;0")
        # Another client's *OPC? never waits for a run it did not start.
        self.assertEqual(other.query("*OPC?"), "1")


class HttpTests(unittest.TestCase):
    """The sweep resource: what SCPI set is there, a run started over HTTP
    is seen over SCPI, and bad bodies or a missing token change nothing."""

    def request(self, method, path, body=None, token=True):
        headers = {"Content-Type": "application/json"} if body is not None else {}
        if token and body is not None:
            headers["Authorization"] = "Bearer " + self.token
        req = urllib.request.Request("http://%s:8080%s" % (self.daemon.address, path), method=method,
                                     data=json.dumps(body).encode() if body is not None else None, headers=headers)
        try:
            with urllib.request.urlopen(req, timeout=30) as response:
                return response.status, json.loads(response.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read())

    def test_the_sweep_resource(self):
        self.daemon = Daemon("--sim", "bench")
        self.addCleanup(stop, self.daemon.proc)
        self.token = self.request("GET", "/api/token")[1]["token"]
        scpi = self.daemon.raw()
        self.addCleanup(scpi.close)
        self.assertEqual(scpi.query("SWE:POIN 7;DWEL 0.02;:FREQ:STAR 200MHZ;STOP 260MHZ;:SYST:ERR?"), '0,"No error"')
        status, sweep = self.request("GET", "/api/boards/bench/sweep")
        self.assertEqual((status, sweep["points"], sweep["startHz"], sweep["state"]), (200, 7, 200e6, "idle"))

        for bad in ({"points": 1}, {"startHz": 6e9}, {"listHz": []}, {"spacing": "cubic"}, {"colour": 1},
                    {"action": "fly"}, {"count": 1.5}):
            with self.subTest(body=bad):
                self.assertEqual(self.request("POST", "/api/boards/bench/sweep", bad)[0], 400)
        self.assertEqual(self.request("POST", "/api/boards/bench/sweep", {"action": "start"}, token=False)[0], 403)
        self.assertEqual(scpi.query("SWE:POIN?;:FREQ:MODE?"), "7;CW")

        status, body = self.request("POST", "/api/boards/bench/sweep",
                                    {"mode": "sweep", "count": "infinite", "action": "start"})
        self.assertEqual((status, body["sweep"]["state"]), (200, "running"))
        self.assertEqual(scpi.query("STAT:OPER:COND?"), "8")
        self.assertEqual(self.request("POST", "/api/boards/bench/settings", {"clockMHz": 1500})[0], 409)
        self.assertEqual(self.request("POST", "/api/boards/bench/sweep", {"points": 9})[0], 409)
        status, body = self.request("POST", "/api/boards/bench/sweep", {"action": "abort"})
        self.assertEqual((status, body["sweep"]["state"]), (200, "idle"))
        self.assertEqual(scpi.query("STAT:OPER:COND?;:LIST:COUN?"), "0;INF")


class SaveRecallTests(unittest.TestCase):
    SETTINGS = ("FREQ?;:OUTP1:POW?;:OUTP2:POW?;:OUTP2:DIV?;:FM:STAT?;RATE?;DEV?;:PM:STAT?;DEV?;"
                ":FREQ:MODE?;:LIST:FREQ?;DWEL?;:SWE:POIN?;:TRIG:SOUR?")

    def setUp(self):
        self.state_dir = tempfile.mkdtemp(prefix="kestreld-sweep-state-")
        self.addCleanup(shutil.rmtree, self.state_dir, True)
        self.rm = pyvisa.ResourceManager("@py")
        self.addCleanup(self.rm.close)

    def daemon(self, *extra):
        daemon = Daemon("--sim", "bench", "--http-port", "0", *extra)
        self.addCleanup(stop, daemon.proc)
        return daemon

    def test_save_reset_recall_also_after_a_restart(self):
        first = self.daemon("--state-dir", self.state_dir)
        inst = open_visa(self, self.rm, first)
        inst.write("*RST;FREQ 1.8 GHZ;:OUTP1:POW 10;:OUTP2:POW 100;:OUTP2:DIV 3")
        inst.write("FM:STAT ON;RATE 2 MHZ;DEV 300;:PM:STAT ON;DEV 40")
        inst.write("FREQ:MODE LIST;:LIST:FREQ 110MHZ,220MHZ;DWEL 0.02,0.03;:SWE:POIN 50;:TRIG:SOUR BUS")
        saved = inst.query(self.SETTINGS)
        self.assertEqual(inst.query("*SAV 3;:SYST:ERR?"), '0,"No error"')
        inst.write("*RST;OUTP2:DIV 0;:LIST:FREQ 300MHZ")
        self.assertNotEqual(inst.query(self.SETTINGS), saved)
        self.assertEqual(inst.query("*RCL 3;:SYST:ERR?"), '0,"No error"')
        self.assertEqual(inst.query(self.SETTINGS), saved)
        # The synthesizer carries the recalled clock.
        self.assertEqual(inst.query("DIAG:SIM:SYNT?").split(",")[4], "1.800000000E+09")
        self.assertEqual(inst.query("*RCL 7;:SYST:ERR?").split(",")[0], "-200")
        inst.close()
        self.assertEqual(stop(first.proc), 0)

        second = self.daemon("--state-dir", self.state_dir)
        inst = open_visa(self, self.rm, second)
        inst.write("*RST")
        self.assertEqual(inst.query("*RCL 3;:SYST:ERR?"), '0,"No error"')
        self.assertEqual(inst.query(self.SETTINGS), saved)
        self.assertEqual(os.listdir(self.state_dir), ["bench.state"])  # no temporary file left

    def test_without_a_state_directory_sav_is_refused(self):
        inst = open_visa(self, self.rm, self.daemon())
        self.assertEqual(inst.query("*SAV 1;:SYST:ERR?").split(",")[0], "-200")
        self.assertEqual(inst.query("*SAV 10;:SYST:ERR?").split(",")[0], "-222")


if __name__ == "__main__":
    unittest.main()
