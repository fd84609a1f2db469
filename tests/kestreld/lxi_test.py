"""kestreld as an LXI-style instrument, as a lab's tools see it: VXI-11 through
PyVISA, lxi-tools and a bare RPC client; the board's lock across links and
the raw socket; the host's portmapper shared between daemons; the limits a
VXI-11 client meets; DNS-SD announcements seen by avahi-browse and lxi
discover; the LXI identification document; the PyMeasure instrument.

rpcbind and a private avahi-daemon come from host_services.py. Every daemon
here listens on loopback and nothing is sent beyond it: lxi's broadcast
discovery and PyVISA's list_resources (a broadcast) are not used. A host's
portmapper maps VXI-11 to one server at a time, so ctest runs these suites
one after the other (a resource lock) and the other suites' daemons run
without VXI-11 and DNS-SD.

Run by /usr/bin/python3 (python3-pyvisa, python3-pyvisa-py, python3-pymeasure).
Environment: as kestreld_test.py, and PYTHONPATH with the kestrel package.
"""

import os
import random
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
import urllib.request
import xml.etree.ElementTree as ElementTree

import pyvisa
from pyvisa_py.protocols import rpc, vxi11

import host_services
from kestreld_test import KESTRELD, RawClient, random_loopback

VXI11_CORE = 0x0607AF
LXI_NAMESPACE = {"lxi": "http://www.lxistandard.org/InstrumentIdentification/1.0"}
SERIAL = "1970324837128727"  # the built-in emulator's


class LxiDaemon:
    """kestreld serving two emulated boards (bench, spare) with VXI-11 and
    DNS-SD as the host allows, on free ports. `lines` is what it printed up
    to "ready"."""

    def __init__(self, *extra, address="127.0.0.1", env=None):
        self.address = address
        for _ in range(10):
            self.scpi_port = random.randint(20000, 40000)
            self.http_port = random.randint(40001, 60000)
            self.proc = subprocess.Popen(
                [KESTRELD, "--sim", "bench", "--sim", "spare", "--listen", address, "--scpi-port", str(self.scpi_port),
                 "--http-port", str(self.http_port), *extra],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, bufsize=0)
            self.lines = self.read_until_ready()
            if self.lines is not None:
                return
            self.stop()
        raise RuntimeError("kestreld did not start")

    def read_until_ready(self, seconds=20):
        lines = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and select.select([self.proc.stdout], [], [], 0.5)[0]:
            line = self.proc.stdout.readline().decode()
            if not line:
                return None
            lines.append(line)
            if "kestreld: ready" in line:
                return lines
        return None

    def said(self, text):
        return any(text in line for line in self.lines)

    def resource(self, device="inst0"):
        return "TCPIP0::%s::%s::INSTR" % (self.address, device)

    def socket_resource(self):
        return "TCPIP0::%s::%d::SOCKET" % (self.address, self.scpi_port)

    def stop(self, sig=signal.SIGTERM):
        """Stops it; its exit status and how long that took. `errors` keeps what it said on stderr."""
        begin = time.monotonic()
        self.proc.send_signal(sig)
        try:
            _, errors = self.proc.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, errors = self.proc.communicate()
        self.errors = errors.decode(errors="replace")
        return self.proc.returncode, time.monotonic() - begin


class AbortClient(rpc.RawTCPClient):
    """The abort channel, whose port create_link gives."""

    def __init__(self, host, port):
        self.packer = vxi11.Vxi11Packer()
        self.unpacker = vxi11.Vxi11Unpacker("")
        super().__init__(host, vxi11.DEVICE_ASYNC_PROG, vxi11.DEVICE_ASYNC_VERS, port)

    def abort(self, link):
        return self.make_call(vxi11.DEVICE_ABORT, link, self.packer.pack_device_link, self.unpacker.unpack_device_error)


def lxi_scpi(address, command):
    result = subprocess.run(["lxi", "scpi", "--address", address, "--timeout", "10", command], capture_output=True,
                            text=True, timeout=60)
    return result.stdout.strip()


def core_port(address):
    """The VXI-11 core channel's port, as a client finds it."""
    client = rpc.TCPPortMapperClient(address)
    try:
        return client.get_port((VXI11_CORE, 1, rpc.IPPROTO_TCP, 0))
    finally:
        client.close()


class DaemonTestCase(unittest.TestCase):
    daemon_args = ()

    @classmethod
    def setUpClass(cls):
        cls.daemon = LxiDaemon("--no-mdns", *cls.daemon_args)
        cls.rm = pyvisa.ResourceManager("@py")

    @classmethod
    def tearDownClass(cls):
        cls.rm.close()
        status, _ = cls.daemon.stop()
        if status != 0:
            raise AssertionError("kestreld exited with %d on SIGTERM:\n%s" % (status, cls.daemon.errors[-4000:]))

    def open(self, resource, **options):
        inst = self.rm.open_resource(resource, read_termination="\n", write_termination="\n", timeout=10000,
                                     **options)
        self.addCleanup(inst.close)
        return inst


class Vxi11Tests(DaemonTestCase):
    """PyVISA and lxi-tools drive the boards over VXI-11; the identification document."""

    def test_the_daemon_says_where_vxi11_is(self):
        self.assertTrue(self.daemon.said("VXI-11 on 127.0.0.1"), self.daemon.lines)
        self.assertTrue(self.daemon.said("devices inst0 and bench, inst1 and spare"), self.daemon.lines)

    def test_pyvisa_drives_each_board_by_index_and_by_name(self):
        for device, board in (("inst0", "bench"), ("bench", "bench"), ("inst1", "spare"), ("spare", "spare")):
            with self.subTest(device=device):
                inst = self.open(self.daemon.resource(device))
                self.assertEqual(inst.query("*IDN?").split(",")[2], SERIAL)
                socket_client = RawClient(self.daemon.address, self.daemon.scpi_port + (board == "spare"))
                self.addCleanup(socket_client.close)
                for hz in (2.2e9, 1.25e9):
                    inst.write("FREQ %d" % hz)
                    self.assertEqual(float(inst.query("FREQ?")), hz)
                    # The same board as its raw socket: the same state, and the emulator decoded it.
                    self.assertEqual(float(socket_client.query("FREQ?")), hz)
                    self.assertAlmostEqual(float(inst.query("DIAG:SIM:SYNT?").split(",")[4]), hz, delta=1.0)
                self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')

    def test_each_link_has_its_own_error_queue_and_status(self):
        first = self.open(self.daemon.resource("inst0"))
        second = self.open(self.daemon.resource("bench"))
        first.write("FREQ 6 GHZ")
        self.assertEqual(first.read_stb() & 0x04, 0x04)
        self.assertEqual(second.read_stb() & 0x04, 0)
        self.assertTrue(first.query("SYST:ERR?").startswith("-222,"))
        self.assertEqual(second.query("SYST:ERR?"), '0,"No error"')
        first.write("*IDN?")
        first.clear()  # the unread answer is gone
        self.assertEqual(first.query("SYST:VERS?"), "1999.0")

    def test_lxi_scpi_asks_the_first_board(self):
        self.assertEqual(lxi_scpi(self.daemon.address, "*IDN?").split(",")[2], SERIAL)

    def test_identification_carries_the_serial_and_every_resource(self):
        idn = self.open(self.daemon.resource("inst0")).query("*IDN?").split(",")
        url = "http://%s:%d/lxi/identification" % (self.daemon.address, self.daemon.http_port)
        with urllib.request.urlopen(url, timeout=30) as response:
            self.assertTrue(response.headers["Content-Type"].startswith("text/xml"))
            document = ElementTree.fromstring(response.read())
        fields = [document.findtext("lxi:" + name, namespaces=LXI_NAMESPACE)
                  for name in ("Manufacturer", "Model", "SerialNumber", "FirmwareRevision")]
        self.assertEqual(fields, idn)
        resources = [e.text for e in document.iterfind("lxi:Interface/lxi:InstrumentAddressString", LXI_NAMESPACE)]
        host = "TCPIP::%s::" % self.daemon.address
        self.assertEqual(resources, [host + "inst0::INSTR", host + "bench::INSTR", host + "%d::SOCKET" % self.daemon.scpi_port,
                                     host + "inst1::INSTR", host + "spare::INSTR",
                                     host + "%d::SOCKET" % (self.daemon.scpi_port + 1)])
        for resource in resources:  # each one opens and answers
            self.assertEqual(self.open(resource).query("*IDN?").split(",")[2], SERIAL)
        with urllib.request.urlopen("http://%s:%d/" % (self.daemon.address, self.daemon.http_port), timeout=30) as page:
            self.assertIn('href="/lxi/identification"', page.read().decode())


class LockTests(DaemonTestCase):
    """A VXI-11 lock gives one link the board: other links get "locked", the
    raw socket's lines wait, and the lock goes with its link."""

    def test_a_lock_holds_other_links_off_until_it_is_released(self):
        holder = self.open(self.daemon.resource("inst0"))
        other = self.open(self.daemon.resource("bench"))
        bare = vxi11.CoreClient(self.daemon.address)  # to see the protocol's own error numbers
        self.addCleanup(bare.close)
        _, link, _, _ = bare.create_link(3, 0, 0, "inst0")
        holder.lock_excl()
        self.assertEqual(bare.device_write(link, 1000, 0, vxi11.OP_FLAG_END, b"*IDN?\n"), (11, 0))
        self.assertEqual(bare.device_lock(link, 0, 0), 11)
        self.assertEqual(bare.device_lock(link, vxi11.OP_FLAG_WAIT_BLOCK, 100), 11)  # after waiting 100 ms
        self.assertRaises(pyvisa.VisaIOError, other.query, "*IDN?")
        self.assertRaises(pyvisa.VisaIOError, other.lock_excl)
        self.assertEqual(holder.query("SYST:VERS?"), "1999.0")
        self.open(self.daemon.resource("spare")).query("SYST:VERS?")  # another board is not locked
        holder.unlock()
        self.assertEqual(other.query("SYST:VERS?"), "1999.0")
        self.assertEqual(bare.device_lock(link, 0, 0), 0)
        self.assertEqual(bare.destroy_link(link), 0)

    def test_the_raw_socket_waits_for_the_lock(self):
        holder = self.open(self.daemon.resource("inst0"))
        client = RawClient(self.daemon.address, self.daemon.scpi_port)
        self.addCleanup(client.close)
        holder.write("OUTP1:POW 3")
        holder.lock_excl()
        client.send("OUTP1:POW 20;*OPC?\n")
        for _ in range(5):  # the holder goes on; the socket's line has not run
            self.assertEqual(holder.query("OUTP1:POW?"), "3")
        self.assertEqual(select.select([client.sock], [], [], 0)[0], [])
        holder.unlock()
        self.assertEqual(client.line(), "1")
        self.assertEqual(holder.query("OUTP1:POW?"), "20")

    def test_a_lock_goes_with_the_link_and_the_connection(self):
        for how in ("destroy_link", "connection closed"):
            with self.subTest(how=how):
                holder = vxi11.CoreClient(self.daemon.address)
                error, link, _, _ = holder.create_link(1, 0, 0, "inst0")
                self.assertEqual(error, 0)
                self.assertEqual(holder.device_lock(link, 0, 0), 0)
                waiter = self.open(self.daemon.resource("bench"))
                with self.assertRaises(pyvisa.VisaIOError):
                    waiter.lock_excl()
                if how == "destroy_link":
                    self.assertEqual(holder.destroy_link(link), 0)
                holder.close()
                host_services.wait_for(lambda: self.locks(waiter), "the lock outlived its link")
                waiter.unlock()

    def test_abort_ends_a_call_waiting_for_the_lock(self):
        holder = self.open(self.daemon.resource("inst0"))
        holder.lock_excl()
        waiter = vxi11.CoreClient(self.daemon.address)
        self.addCleanup(waiter.close)
        _, link, abort_port, _ = waiter.create_link(2, 0, 0, "bench")
        result = []
        call = threading.Thread(target=lambda: result.append(waiter.device_lock(link, vxi11.OP_FLAG_WAIT_BLOCK, 60000)))
        call.start()
        aborter = AbortClient(self.daemon.address, abort_port)
        self.addCleanup(aborter.close)
        # The abort can come before the call reaches the daemon: again until the call has ended.
        deadline = time.monotonic() + 20
        while call.is_alive() and time.monotonic() < deadline:
            self.assertEqual(aborter.abort(link), 0)
            call.join(0.05)
        self.assertEqual(result, [23])
        holder.unlock()

    @staticmethod
    def locks(inst):
        try:
            inst.lock_excl()
            return True
        except pyvisa.VisaIOError:
            return False


class BoundsTests(DaemonTestCase):
    """What one VXI-11 client can use: a slow or malformed client holds no
    one up, and connections per client are capped."""

    def test_a_slow_client_holds_no_one_up(self):
        slow = socket.create_connection((self.daemon.address, core_port(self.daemon.address)))
        self.addCleanup(slow.close)
        slow.sendall(struct.pack(">I", 0x80000000 | 400) + b"\0" * 10)  # a call that never ends
        self.assertEqual(self.open(self.daemon.resource()).query("SYST:VERS?"), "1999.0")

    def test_a_call_larger_than_a_write_may_carry_closes_its_connection(self):
        big = socket.create_connection((self.daemon.address, core_port(self.daemon.address)), timeout=20)
        self.addCleanup(big.close)
        big.sendall(struct.pack(">I", 0x80000000 | 0x7FFFFFFF) + b"\0" * 1024)
        try:
            self.assertEqual(big.recv(1), b"")
        except ConnectionResetError:
            pass  # closed with our bytes unread
        self.assertEqual(self.open(self.daemon.resource()).query("SYST:VERS?"), "1999.0")

    def test_malformed_calls_do_no_harm(self):
        def call(program, procedure, args=b""):
            header = struct.pack(">10I", random.getrandbits(32), 0, 2, program, 1, procedure, 0, 0, 0, 0)
            return record(header + args)

        def record(body, length=None):
            return struct.pack(">I", 0x80000000 | (len(body) if length is None else length)) + body

        port = core_port(self.daemon.address)
        for data in (record(b"\xff" * 37),                                    # not an RPC call
                     call(VXI11_CORE, 99),                                   # no such procedure
                     call(VXI11_CORE, vxi11.CREATE_LINK, b"\0\0\0\1"),     # arguments cut short
                     call(VXI11_CORE, vxi11.DEVICE_WRITE, struct.pack(">5I", 12345, 0, 0, 8, 1) + b"x\0\0\0"),
                     call(vxi11.DEVICE_ASYNC_PROG, vxi11.DEVICE_ABORT, struct.pack(">I", 1)),  # abort on the core port
                     call(vxi11.DEVICE_INTR_PROG, 30),                       # a program not served
                     record(b"\0" * 8, length=0)):                           # an empty fragment
            with socket.create_connection((self.daemon.address, port), timeout=20) as client:
                try:
                    client.sendall(data)
                    client.shutdown(socket.SHUT_WR)
                    while client.recv(4096):
                        pass  # an answer or none; the daemon closes the connection once we have
                except OSError:
                    pass  # already closed by the daemon
        self.assertEqual(self.open(self.daemon.resource()).query("SYST:VERS?"), "1999.0")

    def test_connections_per_client_are_capped(self):
        port = core_port(self.daemon.address)
        connections = [socket.create_connection((self.daemon.address, port), timeout=20) for _ in range(40)]
        try:
            closed = set()  # those past the cap of 32 are shut at once
            deadline = time.monotonic() + 20
            while len(closed) < 40 - 32 and time.monotonic() < deadline:
                for c in select.select([c for c in connections if c not in closed], [], [], 0.5)[0]:
                    if c.recv(1) == b"":
                        closed.add(c)
            self.assertGreaterEqual(len(closed), 40 - 32)
        finally:
            for c in connections:
                c.close()
        # Freed with them: a new client is served.
        host_services.wait_for(lambda: self.answers(), "connections were not freed")

    def answers(self):
        try:
            inst = self.rm.open_resource(self.daemon.resource(), read_termination="\n", timeout=5000)
        except (pyvisa.VisaIOError, OSError):
            return False
        try:
            return inst.query("SYST:VERS?") == "1999.0"
        finally:
            inst.close()


class PortmapperTests(unittest.TestCase):
    """One VXI-11 registration per host: a second daemon runs without it and
    says so; one left by a daemon that died is taken over; --allow applies;
    a stop ends every client's call."""

    def daemon(self, *extra, address="127.0.0.1"):
        daemon = LxiDaemon("--no-mdns", *extra, address=address)
        self.addCleanup(lambda: daemon.proc.poll() is None and daemon.stop())
        return daemon

    def test_a_second_daemon_runs_without_vxi11_and_says_so(self):
        first = self.daemon()
        port = core_port("127.0.0.1")
        second = self.daemon(address=random_loopback())
        self.assertTrue(second.said("VXI-11 off: another server holds the host's VXI-11 registration"), second.lines)
        client = RawClient(second.address, second.scpi_port)
        self.addCleanup(client.close)
        self.assertEqual(client.query("SYST:VERS?"), "1999.0")
        second.stop()
        self.assertEqual(host_services.registrations(VXI11_CORE), [port])
        self.assertEqual(lxi_scpi("127.0.0.1", "*IDN?").split(",")[2], SERIAL)
        self.assertEqual(first.stop()[0], 0)
        self.assertEqual(host_services.registrations(VXI11_CORE), [])

    def test_a_registration_left_by_a_dead_daemon_is_taken_over(self):
        self.daemon().stop(signal.SIGKILL)
        self.assertEqual(len(host_services.registrations(VXI11_CORE)), 1)
        heir = self.daemon()
        self.assertTrue(heir.said("VXI-11 on"), heir.lines)
        self.assertEqual(lxi_scpi("127.0.0.1", "*IDN?").split(",")[2], SERIAL)

    def test_no_vxi11_leaves_the_portmapper_alone(self):
        quiet = self.daemon("--no-vxi11")
        self.assertTrue(quiet.said("VXI-11 off (--no-vxi11)"), quiet.lines)
        self.assertEqual(host_services.registrations(VXI11_CORE), [])

    def test_allow_keeps_other_clients_out(self):
        daemon = self.daemon("--allow", "10.0.0.0/8")
        # Closed as soon as it connects, before a call is read. (PyVISA would
        # only say so after its own time-out.)
        with socket.create_connection(("127.0.0.1", core_port("127.0.0.1")), timeout=20) as refused:
            try:
                self.assertEqual(refused.recv(1), b"")
            except ConnectionResetError:
                pass
        self.assertEqual(lxi_scpi("127.0.0.1", "*IDN?"), "")
        daemon.stop()
        self.assertIn("refused a connection from 127.0.0.1: its address is outside --allow", daemon.errors)

    def test_a_stop_ends_every_client_in_any_state(self):
        daemon = self.daemon()
        port = core_port("127.0.0.1")
        slow = socket.create_connection(("127.0.0.1", port))
        self.addCleanup(slow.close)
        slow.sendall(struct.pack(">I", 0x80000000 | 400) + b"\0" * 10)
        holder = vxi11.CoreClient("127.0.0.1")
        _, held, _, _ = holder.create_link(1, 1, 0, "inst0")  # made with the lock
        reader = vxi11.CoreClient("127.0.0.1")
        _, link, _, _ = reader.create_link(2, 0, 0, "inst1")
        reader.device_write(link, 10000, 0, vxi11.OP_FLAG_END, b"SYST:CONF:READ?\n")  # about 3 s on the board
        waiting = threading.Thread(target=self.read_until_gone, args=(reader, link), daemon=True)
        waiting.start()
        status, seconds = daemon.stop()
        print("kestreld stopped in %.2f s with a slow client, a lock and a read in progress" % seconds)
        self.assertEqual(status, 0)
        for client in (holder, reader):
            client.close()

    @staticmethod
    def read_until_gone(client, link):
        try:
            client.device_read(link, 1024, 60000, 0, 0, 0)
        except (OSError, EOFError, ValueError, rpc.RPCError):
            pass  # the daemon went away under it, or the test closed the client


class DiscoveryTests(unittest.TestCase):
    """DNS-SD on a private avahi-daemon limited to loopback."""

    @classmethod
    def setUpClass(cls):
        try:
            cls.avahi = host_services.PrivateAvahi()
        except host_services.Unavailable as e:
            raise unittest.SkipTest(str(e))
        cls.daemon = LxiDaemon(env=cls.avahi.env)

    @classmethod
    def tearDownClass(cls):
        if cls.daemon.proc.poll() is None:
            cls.daemon.stop()
        cls.avahi.stop()

    def browse(self, service_type=None):
        """avahi-browse's resolved entries of one type, or of every type: (type, name, port, txt) for each."""
        out = subprocess.run(["avahi-browse", "--terminate", "--resolve", "--parsable", "--no-db-lookup",
                              *([service_type] if service_type else ["--all"])],
                             env=self.avahi.env, capture_output=True, text=True, timeout=60).stdout
        entries = []
        for line in out.splitlines():
            fields = line.split(";")
            if fields[0] == "=" and len(fields) >= 10:
                name = re.sub(r"\\(\d{3})", lambda m: chr(int(m.group(1))), fields[3])
                entries.append((fields[4], name, int(fields[8]), fields[9]))
        return entries

    def announced(self, service_type, port, text_in_txt=""):
        return any(p == port and text_in_txt in txt for _, _, p, txt in self.browse(service_type))

    def test_the_daemon_says_it_announces_on_loopback(self):
        self.assertTrue(self.daemon.said("DNS-SD: announcing on lo"), self.daemon.lines)

    def test_avahi_browse_lists_every_service(self):
        expected = [("_lxi._tcp", self.daemon.http_port, "Manufacturer=Kestrel"),
                    ("_http._tcp", self.daemon.http_port, "path=/"),
                    ("_vxi-11._tcp", 111, "txtvers=1"),
                    ("_scpi-raw._tcp", self.daemon.scpi_port, "board=bench"),
                    ("_scpi-raw._tcp", self.daemon.scpi_port + 1, "board=spare")]
        # One browse of every type at a time, until all of them are there.
        missing = expected
        deadline = time.monotonic() + 30
        while missing and time.monotonic() < deadline:
            entries = self.browse()
            missing = [(service_type, port, txt) for service_type, port, txt in expected
                       if not any(t == service_type and p == port and txt in found for t, _, p, found in entries)]
        self.assertEqual(missing, [], "not announced")

    def test_lxi_discover_lists_the_instrument(self):
        wanted = ["lxi service on port %d" % self.daemon.http_port, "vxi-11 service on port 111",
                  "scpi-raw service on port %d" % self.daemon.scpi_port]
        out = ""
        deadline = time.monotonic() + 30
        while not all(w in out for w in wanted) and time.monotonic() < deadline:
            out = subprocess.run(["lxi", "discover", "--mdns", "--timeout", "1"], env=self.avahi.env,
                                 capture_output=True, text=True, timeout=60).stdout
        for w in wanted:
            self.assertIn(w, out)
        self.assertIn('Found "Kestrel kestreld on ', out)

    def test_zz_services_are_withdrawn_at_exit(self):
        host_services.wait_for(lambda: self.announced("_scpi-raw._tcp", self.daemon.scpi_port), "never announced",
                               seconds=30)
        self.assertEqual(self.daemon.stop()[0], 0)
        host_services.wait_for(lambda: not self.announced("_scpi-raw._tcp", self.daemon.scpi_port),
                               "still announced after the daemon stopped", seconds=30)


class PyMeasureTests(DaemonTestCase):
    """kestrel.pymeasure.ClockSource over the raw socket and VXI-11."""

    def setUp(self):
        from kestrel.pymeasure import ClockSource  # needs PYTHONPATH
        self.ClockSource = ClockSource

    def source(self, resource):
        instrument = self.ClockSource(resource)
        self.addCleanup(instrument.adapter.connection.close)
        return instrument

    def test_frequency_sets_the_clock_over_the_socket_and_vxi11(self):
        for resource, hz in ((self.daemon.socket_resource(), 2.2e9), (self.daemon.resource("bench"), 1.8e9)):
            with self.subTest(resource=resource):
                source = self.source(resource)
                source.frequency = hz
                self.assertEqual(source.frequency, hz)
                client = RawClient(self.daemon.address, self.daemon.scpi_port)
                self.addCleanup(client.close)
                self.assertAlmostEqual(float(client.query("DIAG:SIM:SYNT?").split(",")[4]), hz, delta=1.0)
                self.assertEqual(source.id.split(",")[2], SERIAL)

    def test_controls_and_measurements(self):
        source = self.source(self.daemon.resource("inst0"))
        settings = [("frequency", 1e9), ("tx1_power", 10), ("tx2_power", 100), ("tx2_divider", 3), ("fm_enabled", True),
                    ("fm_rate", 1e6), ("fm_rate_index", 4), ("fm_deviation", 300), ("fm_skew", 5), ("fm_rj", 2),
                    ("pm_enabled", True), ("pm_frequency", 33.3e6), ("pm_deviation", 40), ("pm_phase_shift", 7),
                    ("pm_rj_enabled", True), ("pm_rj", 20), ("pm_buj_enabled", True), ("pm_buj", 15),
                    ("pm_buj_line_rate", 2), ("am_enabled", True), ("am_depth", 30), ("am_rj", 3),
                    ("buj_amplitude", 12), ("buj_pattern", 0xDEADBEEF), ("calibration_source", "BOARD"),
                    ("calibration_source", "NONE"), ("fm_enabled", False)]
        for name, value in settings:
            with self.subTest(name=name):
                setattr(source, name, value)
                self.assertEqual(getattr(source, name), value)
        self.assertAlmostEqual(source.fm_rate, 1.3e6)  # index 4 of the table
        from kestrel import produced_frequency_mhz
        source.frequency = 4321.3e6
        self.assertEqual(source.actual_frequency, produced_frequency_mhz(4321.3) * 1e6)
        self.assertIs(source.vco_locked, True)
        self.assertIsInstance(source.vco_voltage, float)
        self.assertEqual((source.temperature_1, source.temperature_2), (42, 40))
        self.assertEqual(source.check_errors(), [])

    def test_a_list_through_pymeasure(self):
        source = self.source(self.daemon.socket_resource())
        source.frequency_mode = "LIST"
        source.list_frequencies = [100e6, 200e6, 300e6, 400e6]
        source.list_dwell = [0.01]
        source.trigger_source = "BUS"
        self.assertEqual((source.frequency_mode, source.list_frequencies, source.list_dwell, source.trigger_source),
                         ("LIST", [100e6, 200e6, 300e6, 400e6], [0.01], "BUS"))
        source.start_sweep()
        source.trigger()
        source.wait_for_sweep()
        self.assertEqual((source.sweep_index, source.sweeping), (3, False))
        source.trigger_source = "IMM"
        source.sweep_count = 1000
        source.start_sweep()
        self.assertTrue(source.sweeping)
        source.abort()
        self.assertFalse(source.sweeping)
        source.sweep_count = 1
        for name, value in (("list_dwell", [0.0005]), ("list_frequencies", []), ("sweep_points", 1),
                            ("frequency_mode", "STEP"), ("trigger_source", "EXT"), ("sweep_dwell", 4000)):
            with self.subTest(name=name), self.assertRaises(ValueError):
                setattr(source, name, value)
        source.frequency_mode = "CW"
        self.assertEqual([e for e in source.check_errors() if "longer than its dwell" not in e[1]], [])

    def test_values_outside_the_boards_ranges_are_refused_before_sending(self):
        from kestrel import limits
        source = self.source(self.daemon.socket_resource())
        source.tx1_power = limits.TX1_POWER.high
        refused = [("frequency", limits.CLOCK_MHZ.low * 1e6), ("frequency", limits.CLOCK_MHZ.high * 1e6),
                   ("tx1_power", limits.TX1_POWER.high + 1), ("tx2_power", limits.TX2_POWER.low - 1),
                   ("tx2_divider", limits.TX2_DIVIDER.high + 1), ("tx2_divider", 1.5), ("fm_rate", 30e3),
                   ("fm_rate_index", limits.FM_RATE_INDEX.high + 1), ("pm_frequency", 81e6), ("buj_pattern", -1),
                   ("fm_deviation", limits.REGISTER_WORD.high + 1), ("am_rj", limits.REGISTER_WORD.low - 1),
                   ("calibration_source", "FILE"), ("fm_enabled", 2)]
        for name, value in refused:
            with self.subTest(name=name, value=value), self.assertRaises(ValueError):
                setattr(source, name, value)
        self.assertEqual(source.tx1_power, limits.TX1_POWER.high)
        self.assertEqual(source.check_errors(), [])


def main():
    try:
        host_services.ensure_rpcbind()
    except host_services.Unavailable as e:
        print("skipped: %s" % e)
        sys.exit(77)
    unittest.main()


if __name__ == "__main__":
    main()
