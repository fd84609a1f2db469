"""kestreld as a lab uses it: PyVISA (pyvisa-py) and raw sockets against the
built daemon, which serves its built-in emulator (--sim) or a kestrel-board
program that a test can kill and restart.

Each test class starts its own daemon on a loopback address of its own, so
the classes can run side by side. Run by Debian's /usr/bin/python3, which is
the interpreter python3-pyvisa and python3-pyvisa-py install for.

Environment: KESTRELD (the daemon), KESTREL_BOARD_PROGRAM (kestrel-board).
"""

import os
import random
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import pyvisa

KESTRELD = os.environ["KESTRELD"]
BOARD_PROGRAM = os.environ["KESTREL_BOARD_PROGRAM"]
PORT = 5025


def random_loopback():
    """An address in 127.20.0.0 to 127.130.255.255: away from 127.0.0.1 and
    from the ranges the other suites pick from."""
    return "127.%d.%d.%d" % (random.randint(20, 130), random.randint(0, 255), random.randint(1, 254))


def start(args, text, seconds=20, preexec=None):
    """Starts a program and waits for a line of its output that holds `text`.
    Unbuffered, so that select sees every line Python has not read yet."""
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0, preexec_fn=preexec)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.5)
        if ready:
            line = proc.stdout.readline()
            if text.encode() in line:
                return proc
            if not line:
                break
    stop(proc)
    return None


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.communicate(timeout=15)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
    return proc.returncode


class Daemon:
    """kestreld serving one board on a random loopback address. Without VXI-11
    and DNS-SD, which are the host's to give to one daemon at a time (see
    lxi_test.py), so that these suites run beside it."""

    def __init__(self, *board_args, lab_faces=("--no-vxi11", "--no-mdns"), preexec=None):
        for _ in range(10):
            self.address = random_loopback()
            self.proc = start([KESTRELD, *board_args, *lab_faces, "--listen", self.address, "--scpi-port", str(PORT)],
                              "ready", preexec=preexec)
            if self.proc:
                return
        raise RuntimeError("kestreld did not start")

    def resource(self):
        return "TCPIP0::%s::%d::SOCKET" % (self.address, PORT)

    def raw(self, port=PORT):
        return RawClient(self.address, port)

    def query(self, text, port=PORT):
        """One line on a connection of its own, and its answer."""
        client = self.raw(port)
        try:
            return client.query(text)
        finally:
            client.close()


class BoardProgram:
    """kestrel-board on a loopback address (port 6653), keeping its memory in a
    file. With trace, a thread keeps the synthesizer lines of its trace."""

    def __init__(self, address=None, memory=None, trace=False):
        self.memory = memory or tempfile.mktemp(suffix=".mem")
        self.synth_lines = []
        for _ in range(10):
            self.address = address or random_loopback()
            self.proc = start([BOARD_PROGRAM, "--address", self.address, "--memory", self.memory] +
                              (["--trace"] if trace else []), "listening")
            if self.proc:
                break
        else:
            raise RuntimeError("kestrel-board did not start")
        if trace:
            threading.Thread(target=self.keep_synth_lines, daemon=True).start()

    def keep_synth_lines(self):
        for line in iter(self.proc.stdout.readline, b""):
            if b"synthesizer:" in line:
                self.synth_lines.append(line.decode())


class RawClient:
    """A plain TCP client: sends bytes, reads newline-terminated lines."""

    def __init__(self, address, port=PORT, timeout=15):
        self.sock = socket.create_connection((address, port), timeout=timeout)
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def line(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode()

    def query(self, text):
        self.send(text + "\n")
        return self.line()

    def close(self):
        self.sock.close()


class VisaTestCase(unittest.TestCase):
    daemon = None

    @classmethod
    def setUpClass(cls):
        cls.calibration_dir = tempfile.mkdtemp(prefix="kestrel-cal-")
        cls.daemon = Daemon("--sim", "bench", "--calibration-dir", cls.calibration_dir)
        cls.rm = pyvisa.ResourceManager("@py")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.calibration_dir, True)
        cls.rm.close()
        status = stop(cls.daemon.proc)
        if status != 0:
            raise AssertionError("kestreld exited with %d on SIGTERM" % status)

    def open(self):
        inst = self.rm.open_resource(self.daemon.resource(), read_termination="\n", write_termination="\n",
                                     timeout=15000)
        self.addCleanup(inst.close)
        return inst

    def assertNoError(self, inst):
        self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')


class PyvisaTests(VisaTestCase):
    """Every function of the board through PyVISA, read back, and what the emulator decoded."""

    def test_identity_health_and_version(self):
        inst = self.open()
        fields = inst.query("*IDN?").split(",")
        self.assertEqual(len(fields), 4)
        self.assertEqual(fields[0], "Kestrel")
        self.assertEqual(fields[2], "1970324837128727")
        self.assertEqual(inst.query("SYST:TEMP1?"), "42")
        self.assertEqual(inst.query("SYSTEM:TEMPERATURE2?"), "40")
        self.assertEqual(inst.query("SYST:VERS?"), "1999.0")
        self.assertEqual(inst.query("*TST?"), "0")
        self.assertIn(inst.query("VCO:LOCK?"), ("0", "1"))
        float(inst.query("SOUR:VCO:VOLT?"))
        self.assertNoError(inst)

    def test_clock_is_decoded_by_the_emulator(self):
        inst = self.open()
        for request, hz in (("FREQ 1.8 GHz", 1.8e9), ("SOUR:FREQ:CW 2500 MHZ", 2.5e9), ("freq 1.25e9", 1.25e9)):
            inst.write(request)
            self.assertEqual(float(inst.query("FREQ?")), hz)
            decoded = inst.query("DIAG:SIM:SYNT?").split(",")
            self.assertEqual(decoded[0], "1", request)
            self.assertAlmostEqual(float(decoded[4]), hz, delta=1.0)
            self.assertEqual(inst.query("VCO:LOCK?"), "1")
        self.assertNoError(inst)

    def test_outputs_fm_and_tx2_modulation_read_back(self):
        inst = self.open()
        settings = [
            ("OUTP1:POW 10", "OUTP1:POW?", "10"), ("OUTP2:POW 100", "OUTP2:POW?", "100"),
            ("OUTP2:DIV 3", "OUTP2:DIV?", "3"), ("CLOC:SOUR 0", "CLOC:SOUR?", "0"),
            ("FM:STAT ON", "FM:STAT?", "1"), ("FM:RATE 1 MHZ", "FM:RATE:IND?", "3"),
            ("FM:DEV 300", "FM:DEV?", "300"), ("FM:SKEW 5", "FM:SKEW?", "5"), ("FM:RJ 2", "FM:RJ:AMPL?", "2"),
            ("FM:RATE 1.2MHZ", "FM:RATE?", "1.200000000E+06"), ("FM:RATE:IND 4", "FM:RATE?", "1.300000000E+06"),
            ("PM:STAT ON", "PM:STAT?", "1"), ("PM:FREQ 33.3 MHZ", "PM:FREQ?", "3.330000000E+07"),
            ("PM:DEV 40", "PM:DEV?", "40"), ("PM:PSH 7", "PM:PSH?", "7"),
            ("PM:RJ:STAT ON", "PM:RJ:STAT?", "1"), ("PM:RJ 20", "PM:RJ?", "20"),
            ("PM:BUJ:STAT 1", "PM:BUJ:STAT?", "1"), ("PM:BUJ 15", "PM:BUJ:AMPL?", "15"),
            ("PM:BUJ:LRAT 2", "PM:BUJ:LRAT?", "2"), ("BUJ 12", "BUJ?", "12"),
            ("BUJ:PRBS 7,ON", "BUJ:PRBS?", "7,1"), ("BUJ:PATT #HDEADBEEF", "BUJ:PATT?", str(0xDEADBEEF)),
            ("AM:STAT ON", "AM:STAT?", "1"), ("AM:DEPT 30", "AM:DEPT?", "30"), ("AM:RJ 3", "AM:RJ?", "3"),
        ]
        for command, query, expected in settings:
            inst.write(command)
            self.assertEqual(inst.query(query), expected, command)
            self.assertNoError(inst)
        # The board received them: its stored configuration agrees.
        names = [n.strip('"') for n in inst.query("SYST:CONF:CAT?").split(",")]
        config = dict(zip(names, inst.query("SYST:CONF?").split(",")))
        for name, expected in (("tx1Power", "10"), ("tx2Power", "100"), ("tx2Divider", "3"), ("fmEnable", "1"),
                               ("fmAmplitude", "300"), ("tx2PMAmplitude", "40"), ("tx2AMRJAmplitude", "3"),
                               ("tx2BUJPRBS", "7")):
            self.assertEqual(config[name], expected, name)
        self.assertEqual(inst.query("DIAG:REG? 0,257"), "8")  # divider 3 selects 1 << 3

    def test_ranges_are_checked_before_the_board(self):
        inst = self.open()
        inst.write("OUTP1:POW 5")
        self.assertEqual(inst.query("FREQ? MIN;FREQ? DEF;:FM:RATE? MAX"),
                         "2.000000100E+07;1.000000000E+09;5.000000000E+07")
        inst.write("FREQ MAX")
        self.assertEqual(inst.query("FREQ?;:SYST:ERR?"), '5.499999999E+09;0,"No error"')
        inst.write("FREQ 1.8GHZ")
        for command in ("OUTP1:POW 32", "OUTP2:POW 4097", "OUTP2:DIV 16", "FREQ 20 MHZ", "FREQ 5.5 GHZ",
                        "FM:RATE:IND 12", "PM:FREQ 81 MHZ", "OUTP1:POW -1"):
            inst.write(command)
            self.assertTrue(inst.query("SYST:ERR?").startswith('-222,"Data out of range'), command)
        self.assertEqual(inst.query("OUTP1:POW?"), "5")

    def test_reset_applies_the_documented_state(self):
        inst = self.open()
        inst.write("FREQ 2GHZ;:OUTP1:POW 9;:OUTP2:POW 50;DIV 2;:FM:STAT ON;:PM:STAT ON;:AM:STAT ON")
        inst.write("*RST")
        self.assertEqual(inst.query("FREQ?;:OUTP1:POW?;:OUTP2:POW?;DIV?"), "1.000000000E+09;1;0;0")
        self.assertEqual(inst.query("FM:STAT?;:PM:STAT?;RJ:STAT?;:PM:BUJ:STAT?;:AM:STAT?"), "0;0;0;0;0")
        self.assertEqual(inst.query("CAL:SOUR?"), "NONE")
        self.assertEqual(float(inst.query("DIAG:SIM:SYNT?").split(",")[4]), 1e9)
        self.assertNoError(inst)

    def test_calibration_source_limits_and_refusal(self):
        inst = self.open()
        with open(os.path.join(self.calibration_dir, "cal.txt"), "w") as f:
            for row in range(14):
                f.write("0\n0\n0\n1\n0\n%d\n%d\n" % (row, 1000 + row))
        inst.write('CAL:SOUR FILE,"cal.txt"')
        self.assertEqual(inst.query("CAL:SOUR?"), 'FILE,"cal.txt"')
        self.assertEqual(inst.query("CAL:LIM? 2"), "2.000000000E+00,1.002000000E+03")
        inst.write("FM:RATE 1.2 MHZ")
        self.assertTrue(inst.query("SYST:ERR?").startswith('-221,"Settings conflict'))
        inst.write('CAL:SOUR FILE,"missing.txt"')
        self.assertTrue(inst.query("SYST:ERR?").startswith("-200,"))
        inst.write("CAL:SOUR NONE")
        self.assertEqual(inst.query("CAL:SOUR?"), "NONE")
        self.assertNoError(inst)

    def test_registers_and_memory_under_diagnostic(self):
        inst = self.open()
        self.assertEqual(inst.query("DIAG:REG? 0,20"), str(0x4B31))
        inst.write("DIAG:MEM 40000,-2.75")
        self.assertEqual(float(inst.query("DIAG:MEM? 40000")), -2.75)
        inst.write("DIAG:REG 16,0,1")
        self.assertTrue(inst.query("SYST:ERR?").startswith("-222,"))


class SharedStateTests(VisaTestCase):
    """Separate clients, one after another and at once, each with its own error queue."""

    def test_readme_sequence_from_separate_clients(self):
        first = self.open()
        first.write("FREQ 1800 MHZ")
        self.assertNoError(first)
        first.close()
        second = self.open()
        second.write("OUTP1:POW 10")
        self.assertNoError(second)
        second.close()
        third = self.open()
        self.assertEqual(third.query("VCO:LOCK?"), "1")
        self.assertEqual(float(third.query("FREQ?")), 1.8e9)
        self.assertAlmostEqual(float(third.query("DIAG:SIM:SYNT?").split(",")[4]), 1.8e9, delta=1.0)
        names = [n.strip('"') for n in third.query("SYST:CONF:CAT?").split(",")]
        config = dict(zip(names, third.query("SYST:CONF?").split(",")))
        self.assertEqual(float(config["generateFrequency"]), 1800.0)
        self.assertEqual(config["tx1Power"], "10")

    def test_error_queues_and_status_are_per_client(self):
        a, b = self.open(), self.open()
        a.write("FREQU 5")
        a.write("*ESE 32")
        self.assertNoError(b)
        self.assertEqual(b.query("*ESE?"), "0")
        self.assertEqual(a.query("*ESR?"), "32")
        self.assertEqual(a.query("SYST:ERR:COUN?"), "1")
        self.assertEqual(a.query("SYST:ERR?"), '-113,"Undefined header;FREQU"')

    def test_two_clients_at_once(self):
        failures = []

        def client(command, query, values):
            try:
                inst = self.open()
                for value in values:
                    inst.write("%s %d" % (command, value))
                    answer = inst.query(query)
                    if not answer.isdigit():
                        failures.append(answer)
                if inst.query("SYST:ERR?") != '0,"No error"':
                    failures.append("error queue")
            except Exception as e:  # noqa: BLE001 - reported below
                failures.append(repr(e))

        threads = [threading.Thread(target=client, args=("OUTP2:POW", "OUTP2:POW?", range(0, 40))),
                   threading.Thread(target=client, args=("OUTP2:DIV", "OUTP2:DIV?", [i % 16 for i in range(40)]))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(failures, [])
        inst = self.open()
        self.assertEqual(inst.query("OUTP2:POW?;DIV?"), "39;7")


class MalformedInputTests(unittest.TestCase):
    """Garbage, oversized lines, unread answers and abrupt disconnects harm nobody else."""

    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon("--sim", "bench")

    @classmethod
    def tearDownClass(cls):
        status = stop(cls.daemon.proc)
        if status != 0:
            raise AssertionError("kestreld exited with %d on SIGTERM" % status)

    def client(self):
        c = self.daemon.raw()
        self.addCleanup(c.close)
        return c

    def test_garbage_and_a_huge_line(self):
        bystander = self.client()
        bad = self.client()
        bad.send(b"\x00\xff\xfe\x01 garbage (((\n")
        bad.send(b"A" * (1024 * 1024) + b"\n")
        bad.send(b"FREQ 1.8 GHz 3\n;;;\n\"unterminated\n")
        self.assertEqual(bystander.query("SYST:VERS?"), "1999.0")
        self.assertTrue(bad.query("*IDN?").startswith("Kestrel,"))
        errors = [bad.query("SYST:ERR?") for _ in range(4)]
        self.assertTrue(errors[0].startswith("-102,"), errors)
        self.assertTrue(errors[1].startswith("-363,"), errors)
        self.assertTrue(errors[2].startswith("-102,"), errors)
        self.assertEqual(bystander.query("SYST:ERR?"), '0,"No error"')

    def test_unread_answers_block_nobody_else(self):
        greedy = self.client()
        # The daemon stops reading a client whose answers pile up, so this
        # send blocks until the socket is closed at cleanup.
        flood = b"SYST:VERS?;*IDN?;SYST:CONF:CAT?\n" * 20000
        threading.Thread(target=lambda: self.swallow(greedy.send, flood), daemon=True).start()
        bystander = self.client()
        for _ in range(20):
            self.assertEqual(bystander.query("SYST:VERS?"), "1999.0")
        self.assertTrue(bystander.query("*IDN?").startswith("Kestrel,"))

    @staticmethod
    def swallow(fn, *args):
        try:
            fn(*args)
        except OSError:
            pass

    def test_answers_after_the_client_stops_sending(self):
        c = self.client()
        c.send("SYST:VERS?\n*OPC?\n")
        c.sock.shutdown(socket.SHUT_WR)
        self.assertEqual([c.line(), c.line()], ["1999.0", "1"])
        self.assertRaises(ConnectionError, c.line)

    def test_disconnect_mid_command(self):
        for data in (b"FREQ 1.8", b"SYST:CONF?\n", b"*IDN?\n" * 50):
            c = self.daemon.raw()
            c.send(data)
            c.close()
        bystander = self.client()
        self.assertEqual(bystander.query("SYST:VERS?"), "1999.0")
        bystander.send("FREQ 1.5GHZ\n")
        self.assertEqual(bystander.query("FREQ?"), "1.500000000E+09")


class OptionsTests(unittest.TestCase):
    """Several boards on consecutive ports, and who may connect."""

    def test_one_port_per_board_in_the_order_given(self):
        board = BoardProgram()
        self.addCleanup(lambda: os.path.exists(board.memory) and os.unlink(board.memory))
        self.addCleanup(stop, board.proc)
        daemon = Daemon("--sim", "first", "--board", "second=" + board.address, "--sim", "third")
        self.addCleanup(stop, daemon.proc)
        clients = [daemon.raw(PORT + i) for i in range(3)]
        for i, client in enumerate(clients):
            self.addCleanup(client.close)
            client.send("FREQ %d MHZ\n" % (1000 + 100 * i))
        for i, client in enumerate(clients):
            self.assertEqual(float(client.query("FREQ?")), (1000 + 100 * i) * 1e6)
        self.assertTrue(clients[0].query("DIAG:SIM:SYNT?").startswith("1,"))
        self.assertTrue(clients[1].query("DIAG:SIM:SYNT?;:SYST:ERR?").startswith("-241,"))

    def test_allow_refuses_other_networks(self):
        daemon = Daemon("--sim", "bench", "--allow", "10.0.0.0/8")
        self.addCleanup(stop, daemon.proc)
        client = daemon.raw()
        self.addCleanup(client.close)
        client.send("*IDN?\n")
        self.assertRaises(OSError, client.line)


class RestartTests(unittest.TestCase):
    """A new daemon starts from what the board stored, and keeps the board's clock."""

    def test_a_new_daemon_keeps_the_clock_when_tx1_power_changes(self):
        board = BoardProgram(trace=True)
        self.addCleanup(lambda: os.path.exists(board.memory) and os.unlink(board.memory))
        self.addCleanup(stop, board.proc)
        first = Daemon("--board", "bench=" + board.address)
        client = first.raw()
        self.assertEqual(client.query("FREQ 1.8GHZ;:OUTP1:POW 7;:SYST:ERR?"), '0,"No error"')
        client.close()
        self.assertEqual(stop(first.proc), 0)

        second = Daemon("--board", "bench=" + board.address)
        self.addCleanup(stop, second.proc)
        client = second.raw()
        self.addCleanup(client.close)
        self.assertEqual(client.query("FREQ?;:OUTP1:POW?"), "1.800000000E+09;7")
        uploads = len(board.synth_lines)
        self.assertEqual(client.query("OUTP1:POW 10;:SYST:ERR?"), '0,"No error"')
        # The emulator's trace reaches us through a pipe and a thread of our own.
        deadline = time.monotonic() + 10
        while len(board.synth_lines) <= uploads and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertGreater(len(board.synth_lines), uploads)
        self.assertIn("output A 1800.000000 MHz", board.synth_lines[-1])
        self.assertEqual(client.query("VCO:LOCK?;:OUTP1:POW?"), "1;10")


class BoardResetTests(unittest.TestCase):
    """The board goes away in the middle of a command and comes back."""

    def test_reset_mid_command_then_recovery(self):
        board = BoardProgram()
        self.addCleanup(lambda: board.proc.poll() is None and stop(board.proc))
        self.addCleanup(lambda: os.path.exists(board.memory) and os.unlink(board.memory))
        daemon = Daemon("--board", "bench=" + board.address)
        self.addCleanup(stop, daemon.proc)
        client = daemon.raw()
        self.addCleanup(client.close)
        self.assertTrue(client.query("*IDN?").startswith("Kestrel,"))
        client.send("FREQ 1.8GHZ;:OUTP1:POW 10\n")
        # The readback takes about 3 s: the board dies under it.
        client.send("SYST:CONF:READ?;:SYST:ERR?\n")
        time.sleep(0.8)
        board.proc.kill()
        board.proc.communicate()
        self.assertTrue(client.line().startswith("-240,"))
        self.assertEqual(client.query("DIAG:CONN?"), "0")
        self.assertTrue(client.query("FREQ 2GHZ;:SYST:ERR?").startswith("-241,"))

        board = BoardProgram(address=board.address, memory=board.memory)
        deadline = time.monotonic() + 20
        while client.query("DIAG:CONN?") != "1":
            self.assertLess(time.monotonic(), deadline, "kestreld did not reconnect")
            time.sleep(0.1)
        # The instance kept its model: a Tx1 power change keeps the clock.
        client.send("OUTP1:POW 12\n")
        self.assertEqual(client.query("FREQ?;:OUTP1:POW?;:VCO:LOCK?;:SYST:ERR?"),
                         '1.800000000E+09;12;1;0,"No error"')
        client.send("FREQ 1.25GHZ\n")
        self.assertEqual(client.query("VCO:LOCK?;:SYST:ERR?"), '1;0,"No error"')


if __name__ == "__main__":
    unittest.main()
