"""kestreld as an instrument a lab trusts: a default PyVISA client meets no
delayed-ACK stall, a board's lines are served by its own thread, one owner
per port, the produced frequency beside the requested one, a fresh view
after a reconnect, every register value range-checked, the SCPI header
errors and the log of who is refused, host names, and the SCPI conformance
checks of docs/scpi.md.

Bounds on time are generous (a loaded 2-core machine); the figures are
measured by bench/run. Environment: as kestreld_test.py, plus KESTRELCTL.
"""

import ctypes
import json
import os
import re
import select
import socket
import statistics
import subprocess
import sys
import time
import unittest
import urllib.request
from unittest import mock

import pyvisa

from kestreld_test import PORT, BoardProgram, Daemon, VisaTestCase, random_loopback, start, stop

KESTRELD = os.environ["KESTRELD"]
KESTRELCTL = os.environ["KESTRELCTL"]
HTTP_PORT = 8080


def free_port(address="127.0.0.1"):
    with socket.socket() as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


def get_json(daemon, path):
    with urllib.request.urlopen("http://%s:%d%s" % (daemon.address, HTTP_PORT, path), timeout=30) as response:
        return json.loads(response.read())


def stop_and_read_stderr(proc):
    proc.terminate()
    _, err = proc.communicate(timeout=15)
    return err.decode(errors="replace")


def thread_wakeups(pid):
    """Voluntary context switches of each thread of a process, by thread id."""
    counts = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, tid)) as status:
            for line in status:
                if line.startswith("voluntary_ctxt_switches:"):
                    counts[tid] = int(line.split()[1])
    return counts


class InstrumentTestCase(VisaTestCase):
    """A daemon serving its emulator, and default PyVISA clients of it (Nagle on)."""


class DelayedAckTests(InstrumentTestCase):
    """A command then a query, as two small writes of a default client."""

    def test_write_then_query_from_a_default_pyvisa_client(self):
        inst = self.open()
        self.assertEqual(inst.query("*OPC?"), "1")
        samples = []
        for power in range(40):
            began = time.perf_counter()
            inst.write("OUTP2:POW %d" % power)
            self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')
            samples.append(time.perf_counter() - began)
        # A stall waits for the delayed-ACK timer, about 40 ms on Linux.
        self.assertLess(statistics.median(samples), 0.020, "median %.1f ms" % (statistics.median(samples) * 1e3))


class OneThreadTests(unittest.TestCase):
    """A board's lines are read, run and answered by the board's own thread."""

    def test_a_line_is_served_by_the_boards_thread_alone(self):
        board = BoardProgram()  # out of process: the daemon's threads are its own
        self.addCleanup(stop, board.proc)
        daemon = Daemon("--board", "bench=" + board.address, "--http-port", "0")
        self.addCleanup(stop, daemon.proc)
        client = daemon.raw()
        self.addCleanup(client.close)
        self.assertTrue(client.query("*IDN?").startswith("Kestrel,"))
        lines = 400
        before = thread_wakeups(daemon.proc.pid)
        for _ in range(lines):
            client.query("DIAG:REG? 0,20")
        after = thread_wakeups(daemon.proc.pid)
        woken = {tid: after[tid] - before.get(tid, 0) for tid in after}
        # Each line wakes a thread at least once; a hand-off between threads
        # wakes two.
        busy = [tid for tid, count in woken.items() if count >= lines // 2]
        self.assertEqual(len(busy), 1, woken)


class PortTests(unittest.TestCase):
    """A port that is already served stops the start with a clear message."""

    def test_one_owner_per_port(self):
        first = Daemon("--sim", "bench")
        self.addCleanup(stop, first.proc)
        for extra in (("--scpi-port", str(PORT), "--http-port", "0"), ("--scpi-port", str(PORT + 50))):
            with self.subTest(extra=extra):
                result = subprocess.run([KESTRELD, "--sim", "b", "--listen", first.address, "--no-vxi11", "--no-mdns",
                                         *extra],
                                        capture_output=True, text=True, timeout=60)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("already served", result.stderr)
                self.assertNotIn("ready", result.stdout)
        self.assertEqual(get_json(first, "/api/boards")[0]["name"], "bench")


class ProducedFrequencyTests(InstrumentTestCase):
    """FREQ? answers the request, FREQ:ACT? what the plan makes of it."""

    def test_actual_frequency_beside_the_requested_one(self):
        inst = self.open()
        for request, requested, produced in (("FREQ 4321.3 MHZ", 4321.3e6, 4321e6), ("FREQ 1.8GHZ", 1.8e9, 1.8e9),
                                             ("FREQ 3549.5 MHZ", 3549.5e6, 3550e6)):
            inst.write(request)
            self.assertEqual(float(inst.query("FREQ?")), requested, request)
            self.assertEqual(float(inst.query("SOUR:FREQ:ACT?")), produced, request)
            self.assertAlmostEqual(float(inst.query("DIAG:SIM:SYNT?").split(",")[4]), produced, delta=1.0)
            clock = get_json(self.daemon, "/api/boards/bench")["clock"]
            self.assertEqual((clock["requestedMHz"] * 1e6, clock["producedMHz"] * 1e6), (requested, produced))
            self.assertAlmostEqual(clock["errorHz"], produced - requested, delta=0.01)
        self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')
        plan = get_json(self.daemon, "/api/boards/bench/plan?mhz=4321.3")
        self.assertEqual((plan["producedMHz"], round(plan["errorHz"])), (4321.0, -300000))


class FreshViewTests(unittest.TestCase):
    """Another host changed the board while the daemon was away: the daemon reads it again."""

    def test_a_reconnect_reads_the_stored_configuration_again(self):
        board = BoardProgram()
        self.addCleanup(lambda: os.path.exists(board.memory) and os.unlink(board.memory))
        self.addCleanup(stop, board.proc)
        daemon = Daemon("--board", "bench=" + board.address)
        self.addCleanup(stop, daemon.proc)
        client = daemon.raw()
        self.addCleanup(client.close)
        self.assertEqual(client.query("FREQ 2.2GHZ;:OUTP1:POW 7;:SYST:ERR?"), '0,"No error"')
        # The board serves one host: kestrelctl takes it from the daemon.
        other = subprocess.run([KESTRELCTL, "--board", board.address, "clock", "2400"], capture_output=True,
                               text=True, timeout=60)
        self.assertEqual(other.returncode, 0, other.stderr)
        deadline = time.monotonic() + 30
        while client.query("FREQ?;:DIAG:CONN?") != "2.400000000E+09;1":
            self.assertLess(time.monotonic(), deadline, "the daemon kept its view of before the reconnect")
            client.query("*IDN?;:SYST:ERR?")  # a board exchange: the daemon finds the board taken
            time.sleep(0.2)
        self.assertEqual(client.query("OUTP1:POW?;:FREQ:ACT?"), "7;2.400000000E+09")


class RangeTests(InstrumentTestCase):
    """Every value a register holds is checked before the board is touched."""

    def test_register_values_are_range_checked(self):
        inst = self.open()
        inst.write("FM:DEV 300")
        register = inst.query("DIAG:REG? 0,1042")
        for command in ("FM:DEV 70000", "FM:DEV -5", "FM:SKEW 65536", "FM:RJ -1", "CLOC:SOUR 65536",
                        "PM:BUJ:LRAT 70000", "BUJ 65536", "BUJ:PRBS 65536,ON", "AM:RJ -1", "DIAG:REG 0,1042,65536"):
            inst.write(command)
            self.assertTrue(inst.query("SYST:ERR?").startswith('-222,"Data out of range'), command)
        self.assertEqual(inst.query("FM:DEV?;:DIAG:REG? 0,1042"), "300;" + register)
        self.assertEqual(inst.query("FM:DEV? MAX;DEV? MIN;:OUTP1:POW? MAX;:OUTP2:POW? MAX"), "65535;0;31;4096")
        inst.write("FM:DEV MAX")
        self.assertEqual(inst.query("FM:DEV?;:SYST:ERR?"), '65535;0,"No error"')


class ScpiTests(InstrumentTestCase):
    """A misspelled header is undefined (-113), a wrong suffix out of range (-114)."""

    def test_header_errors(self):
        inst = self.open()
        for command, code in (("OUTP1:POWE 5", -113), ("OUTP2:DIVI 3", -113), ("OUTP ON", -113), ("FREQU 1", -113),
                              ("OUTP3:POW 1", -114), ("OUTP1:DIV 2", -114), ("OUTP2:POW? MAX,1", -108), ("OUTP2:POW? 1", -224)):
            inst.write(command)
            self.assertEqual(int(inst.query("SYST:ERR?").split(",")[0]), code, command)


# (program message, the answer it gives): the SCPI and IEEE 488.2 behaviour a
# programmer expects, one check a row, each on a fresh connection. A command
# error (-1xx) drops the rest of its line, so its error is asked on the next.
CONFORMANCE = [
    # Long and short forms, any case, optional nodes, numeric suffixes.
    ("SOURCE:FREQUENCY:CW 1.5 GHZ;:FREQ?", "1.500000000E+09"),
    ("sour:freq:cw?", "1.500000000E+09"),
    ("FREQ:CW?", "1.500000000E+09"),
    ("OUTPUT1:POWER 4;:OUTP:POW?;:OUTP1:POW?", "4;4"),
    ("FREQU?\nSYST:ERR?", '-113,"Undefined header;FREQU"'),
    ("SOU:FREQ?\nSYST:ERR?", '-113,"Undefined header;SOU:FREQ"'),
    ("OUTP3:POW?\nSYST:ERR?", '-114,"Header suffix out of range;OUTP3:POW"'),
    # Compound messages: the path rule, a leading colon, common commands anywhere.
    ("FM:STAT OFF;DEV 12;:FM:DEV?", "12"),
    ("FM:DEV 13;*CLS;DEV?", "13"),
    ("OUTP2:POW 7;:OUTP2:POW?;DIV?", "7;0"),
    ("*IDN?;*IDN?", None),
    ("FM:STAT OFF\nDEV?\nSYST:ERR?", '-113,"Undefined header;DEV"'),  # a new message starts at the root
    # Numbers: NR1, NR2, NR3, non-decimal; units and multipliers; MIN, MAX, DEF.
    ("FREQ 1800000000;:FREQ?", "1.800000000E+09"),
    ("FREQ 1.8E9;:FREQ?", "1.800000000E+09"),
    ("FREQ 1800 MHZ;:FREQ?", "1.800000000E+09"),
    ("FREQ 1800000 KHZ;:FREQ?", "1.800000000E+09"),
    ("FREQ 1.8GHz;:FREQ?", "1.800000000E+09"),
    ("FREQ 1800 MAHZ;:FREQ?", "1.800000000E+09"),
    ("FREQ 1800000 MHZ;:SYST:ERR?", '-222,"Data out of range;1800000 MHZ"'),
    ("FREQ 5 V\nSYST:ERR?", '-131,"Invalid suffix;V"'),
    ("FREQ DEF;:FREQ?", "1.000000000E+09"),
    ("FREQ? MIN;FREQ? MAX", "2.000000100E+07;5.499999999E+09"),
    ("OUTP1:POW MAX;:OUTP1:POW?", "31"),
    ("OUTP2:POW #H10;:OUTP2:POW?", "16"),
    ("OUTP2:POW #B101;:OUTP2:POW?", "5"),
    ("OUTP2:POW 2.6;:OUTP2:POW?", "3"),
    # Booleans, strings, data types, parameter counts.
    ("FM:STAT ON;STAT?;STAT 0;STAT?;STAT 1;STAT?;STAT OFF;STAT?", "1;0;1;0"),
    ("FM:STAT MAYBE;:SYST:ERR?", '-224,"Illegal parameter value;ON, OFF, 1 or 0 expected"'),
    ("OUTP2:POW \"5\"\nSYST:ERR?", '-104,"Data type error;a number is expected"'),
    ("OUTP2:POW\nSYST:ERR?", '-109,"Missing parameter"'),
    ("OUTP2:POW 1,2\nSYST:ERR?", '-108,"Parameter not allowed"'),
    ("*RST 1\nSYST:ERR?", '-108,"Parameter not allowed"'),
    ("SYST:VERS? 1\nSYST:ERR?", '-108,"Parameter not allowed"'),
    ("CAL:SOUR FILE,'a''b';:SYST:ERR?", '-200,"Execution error;no such calibration file in the calibration directory"'),
    ("FREQ 1 GHZ 2\nSYST:ERR?", '-102,"Syntax error;bad number"'),
    ("FREQ::CW?\nSYST:ERR?", '-102,"Syntax error;bad header"'),
    # Queries and their answers.
    ("VCO:LOCK?;:VCO:VOLT?", r"[01];-?\d\.\d{9}E[+-]\d\d"),
    ("SYST:ERR:NEXT?", '0,"No error"'),
    ("SYST:ERR:COUN?", "0"),
    ("SYST:VERS?", "1999.0"),
    ("SYST:CONF:CAT?", None),
    ("FREQ:ACT?", r"\d\.\d{9}E\+09"),
    # IEEE 488.2 common commands.
    ("*IDN?", r"Kestrel,Clock source board 4B31,\d+,KestrelLib \d+\.\d+\.\d+"),
    ("*RST;:FREQ?;:OUTP1:POW?;:FM:STAT?", "1.000000000E+09;1;0"),
    ("*TST?", "0"),
    ("*OPC?", "1"),
    ("*OPC;*ESR?;*ESR?", "1;0"),
    ("*ESE 36;*ESE?;*SRE 4;*SRE?", "36;4"),
    ("*ESE 256;:SYST:ERR?", '-222,"Data out of range;256"'),
    ("FREQU 1\n*ESR?;*ESR?", "32;0"),
    ("FREQU 1\n*STB?", "4"),
    ("*ESE 32;*SRE 32;FREQU 1\n*STB?", "100"),
    ("FREQU 1\n*CLS;*STB?;:SYST:ERR?", '0;0,"No error"'),
    ("*WAI;*OPC?", "1"),
    ("*FOO\nSYST:ERR?", '-113,"Undefined header;*FOO"'),
    # The error queue: 16 deep, the last replaced by -350 when full.
    ("\n".join(["FREQU"] * 20) + "\n" + "SYST:ERR:COUN?", "16"),
    ("\n".join(["FREQU"] * 20) + "\n" + ";".join(["SYST:ERR?"] * 16),
     ";".join(['-113,"Undefined header;FREQU"'] * 15 + ['-350,"Queue overflow"'])),
]


class ConformanceTests(InstrumentTestCase):
    """Every row of CONFORMANCE."""

    def test_conformance(self):
        passed = 0
        for message, expected in CONFORMANCE:
            with self.subTest(message=message):
                client = self.daemon.raw()
                try:
                    client.send(message + "\n")
                    answer = client.line()
                finally:
                    client.close()
                if expected is None or re.fullmatch(expected, answer) or answer == expected:
                    passed += 1
                else:
                    self.fail("%r gave %r, not %r" % (message, answer, expected))
        self.assertEqual(passed, len(CONFORMANCE))


class LoggingTests(unittest.TestCase):
    """The operator hears of an open daemon and of every client turned away."""

    def test_warning_beyond_loopback_without_allow(self):
        for listen, allow, warned in (("0.0.0.0", (), True), ("0.0.0.0", ("--allow", "10.0.0.0/8"), False),
                                      ("127.0.0.1", (), False)):
            with self.subTest(listen=listen, allow=allow):
                port = free_port()
                proc = start([KESTRELD, "--sim", "bench", "--listen", listen, "--scpi-port", str(port),
                              "--http-port", "0", "--no-vxi11", "--no-mdns", *allow], "ready")
                self.assertIsNotNone(proc)
                self.assertEqual("warning: listening on 0.0.0.0 without --allow" in stop_and_read_stderr(proc),
                                 warned)

    def test_refused_clients_are_logged_with_their_address(self):
        address = random_loopback()
        proc = start([KESTRELD, "--sim", "bench", "--listen", address, "--allow", "10.0.0.0/8", "--no-vxi11",
                      "--no-mdns"], "ready")
        self.assertIsNotNone(proc)
        for port in (PORT, HTTP_PORT):
            with socket.create_connection((address, port), timeout=10) as sock:
                sock.settimeout(10)
                sock.recv(100)
        err = stop_and_read_stderr(proc)
        self.assertIn("refused a connection from 127.0.0.1: its address is outside --allow", err)


class HostNameTests(unittest.TestCase):
    """A board named by its host name."""

    def test_board_by_host_name(self):
        # localhost is 127.0.0.1: a board there, on a port of its own.
        port = free_port()
        board = start([os.environ["KESTREL_BOARD_PROGRAM"], "--address", "127.0.0.1", "--port", str(port)], "listening")
        self.assertIsNotNone(board, "kestrel-board did not start")
        self.addCleanup(stop, board)
        with mock.patch.dict(os.environ, {"KESTREL_PORT": str(port)}):
            daemon = Daemon("--board", "bench=localhost", "--http-port", "0")
        self.addCleanup(stop, daemon.proc)
        client = daemon.raw()
        self.addCleanup(client.close)
        self.assertTrue(client.query("*IDN?").startswith("Kestrel,Clock source board 4B31,"))
        result = subprocess.run([KESTRELD, "--board", "bench=board.invalid"], capture_output=True, text=True,
                                timeout=30)
        self.assertEqual(result.returncode, 64)
        self.assertIn("'board.invalid' has no IPv4 address", result.stderr)


# ---- figures for bench/run -------------------------------------------------------------


def median_pairs(inst, count=40):
    samples = []
    for power in range(count):
        began = time.perf_counter()
        inst.write("OUTP2:POW %d" % power)
        inst.query("SYST:ERR?")
        samples.append(time.perf_counter() - began)
    return statistics.median(samples)


def direct_instance(address):
    """A library instance of our own, through ctypes, connected to a board."""
    lib = ctypes.CDLL(os.environ["KESTREL_LIBRARY"])
    lib.vxclk_createInstance.restype = ctypes.c_void_p
    lib.vxclk_connect.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.vxclk_getBoardID.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int32)]
    instance = lib.vxclk_createInstance()
    if lib.vxclk_connect(instance, address.encode()) != 0:
        raise RuntimeError("no board at " + address)
    return lib, instance


def in_turns(query, direct, count=3000):
    """Medians of the one-exchange query and the direct call, taken in turns."""
    queried, called = [], []
    for _ in range(count):
        began = time.perf_counter()
        query()
        queried.append(time.perf_counter() - began)
        began = time.perf_counter()
        direct()
        called.append(time.perf_counter() - began)
    return statistics.median(queried), statistics.median(called)


def queries_per_client(daemon, clients, seconds=1.0):
    """How many one-exchange queries each of `clients` connections gets
    answered a second, all at once: one thread keeps a query outstanding on
    every connection (threads would measure Python's lock, not the daemon)."""
    sockets = [socket.create_connection((daemon.address, PORT), timeout=30) for _ in range(clients)]
    for sock in sockets:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    counts = dict.fromkeys(sockets, 0)
    pending = dict.fromkeys(sockets, b"")
    query = b"DIAG:REG? 0,20\n"
    for sock in sockets:
        sock.sendall(query)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for sock in select.select(sockets, [], [], 1)[0]:
            pending[sock] += sock.recv(4096)
            while b"\n" in pending[sock]:
                pending[sock] = pending[sock].split(b"\n", 1)[1]
                counts[sock] += 1
                sock.sendall(query)
    for sock in sockets:
        sock.close()
    return [count / seconds for count in counts.values()]


def figures():
    """The figures behind the generous bounds, for bench/run: one JSON object (seconds, ratios)."""
    out = {}
    ours, theirs = BoardProgram(), BoardProgram()
    daemon = Daemon("--board", "bench=" + ours.address, "--http-port", "0")
    rm = pyvisa.ResourceManager("@py")
    try:
        inst = rm.open_resource(daemon.resource(), read_termination="\n", write_termination="\n", timeout=15000)
        inst.query("*OPC?")
        out["write_then_query"] = median_pairs(inst)
        inst.close()
        raw = daemon.raw()
        lib, instance = direct_instance(theirs.address)
        board_id = ctypes.c_int32()
        query, direct = in_turns(lambda: raw.query("DIAG:REG? 0,20"),
                                 lambda: lib.vxclk_getBoardID(instance, ctypes.byref(board_id)))
        raw.close()
        out["one_exchange_query"], out["direct_call"] = query, direct
        # In turns, so that both meet the machine alike; medians of the rounds.
        alone, crowds = [], []
        for _ in range(5):
            alone.append(sum(queries_per_client(daemon, 1)))
            crowds.append(queries_per_client(daemon, 20))
        totals = [sum(crowd) for crowd in crowds]
        crowd = crowds[totals.index(statistics.median_low(totals))]
        out["one_client_per_s"], out["twenty_clients_per_s"] = statistics.median(alone), sum(crowd)
        out["fairness"] = sum(crowd) ** 2 / (len(crowd) * sum(c * c for c in crowd))  # Jain's index
    finally:
        rm.close()
        for proc in (daemon.proc, ours.proc, theirs.proc):
            stop(proc)
    print(json.dumps(out))


if __name__ == "__main__":
    if sys.argv[1:] == ["--figures"]:
        figures()
    else:
        unittest.main()
