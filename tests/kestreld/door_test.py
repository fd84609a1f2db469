"""The door of kestreld under attack, over real sockets and curl: what a
request must carry to change the board, HTTP sent to the SCPI port, slow,
idle and streaming clients beside a well-behaved one, oversized requests,
unread answers, a full or busy board queue, calibration files outside their
directory, and a shutdown under trickling clients.

Bounds on time are generous (seconds, for a loaded machine); the figures
themselves are measured by bench/run. Environment: as kestreld_test.py.
"""

import json
import os
import random
import re
import resource
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from kestreld_test import Daemon, stop

HTTP_PORT = 8080
SCPI_PORT = 5025
GENEROUS = 8.0  # seconds: what a well-behaved client may wait on a busy 2-core machine


def source_address():
    """A loopback address to connect from: the door counts clients by address."""
    return "127.%d.%d.%d" % (random.randint(140, 250), random.randint(0, 255), random.randint(1, 254))


def connect(daemon, port, source=None, timeout=15):
    sock = socket.socket()
    sock.settimeout(timeout)
    if source:
        sock.bind((source, 0))
    sock.connect((daemon.address, port))
    return sock


def read_response(sock):
    """Status, headers (lower-case names) and body of one HTTP response; None when closed first."""
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                return None
            data += chunk
    except (ConnectionError, socket.timeout):
        return None
    head, body = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            break
        body += chunk
    return int(lines[0].split()[1]), headers, body[:length]


def http(daemon, method, path, headers=None, body=b"", source=None, host=None):
    sock = connect(daemon, HTTP_PORT, source)
    try:
        lines = ["%s %s HTTP/1.1" % (method, path), "Host: " + (host or "%s:%d" % (daemon.address, HTTP_PORT)),
                 "Connection: close"]
        lines += ["%s: %s" % item for item in (headers or {}).items()]
        if body or method == "POST":
            lines.append("Content-Length: %d" % len(body))
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
        return read_response(sock)
    finally:
        sock.close()


def token(daemon):
    """The page's token; a made-up one from a daemon that has none (so the tests run against it too)."""
    response = http(daemon, "GET", "/api/token")
    return json.loads(response[2])["token"] if response and response[0] == 200 else "none"


def scpi(daemon, text, source=None):
    sock = connect(daemon, SCPI_PORT, source)
    try:
        sock.sendall((text + "\n").encode())
        data = b""
        while not data.endswith(b"\n"):
            chunk = sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data.decode().strip()
    finally:
        sock.close()


def closed_by_peer(sock, seconds):
    """Whether the daemon closes the connection within `seconds` (what it sends meanwhile is dropped)."""
    sock.settimeout(seconds)
    try:
        while sock.recv(65536):
            pass
        return True
    except ConnectionError:
        return True
    except socket.timeout:
        return False


def proc_status(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0  # MB
    return 0.0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def long_jobs(daemon):
    """Board jobs that took more than a second so far (reads of the stored configuration)."""
    text = http(daemon, "GET", "/metrics")[2].decode()
    buckets = dict(re.findall(r'kestreld_board_job_duration_seconds_bucket\{board="bench",le="([^"]+)"\} (\d+)', text))
    return int(buckets["+Inf"]) - int(buckets["1"])


class DoorTestCase(unittest.TestCase):
    args = ()

    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon("--sim", "bench", *cls.args)

    @classmethod
    def tearDownClass(cls):
        stop(cls.daemon.proc)

    def answered_within(self, seconds, source=None):
        """A well-behaved client's HTTP and SCPI requests; the longest wait."""
        began = time.monotonic()
        response = http(self.daemon, "GET", "/api/boards/bench", source=source)
        self.assertIsNotNone(response, "the API did not answer")
        self.assertEqual(response[0], 200)
        self.assertTrue(scpi(self.daemon, "*IDN?", source=source).startswith("Kestrel,"))
        waited = time.monotonic() - began
        self.assertLess(waited, seconds)
        return waited


class WhoMayChangeTests(DoorTestCase):
    """Only a request with the token, JSON and the daemon's own Host and Origin changes the board."""

    def test_changes_need_the_token_json_and_our_own_host_and_origin(self):
        scpi(self.daemon, "OUTP2:POW 11;*OPC?")
        good = {"Content-Type": "application/json", "Authorization": "Bearer " + token(self.daemon)}
        cases = [
            ({"Content-Type": "text/plain"}, None, 403),
            ({"Content-Type": "application/x-www-form-urlencoded"}, None, 403),
            (dict(good, Authorization="Bearer " + "0" * 64), None, 403),
            (dict(good, Origin="http://evil.example"), None, 403),
            (dict(good, Origin="null"), None, 403),
            (dict(good, **{"Content-Type": "text/plain"}), None, 415),
            (good, "evil.example:%d" % HTTP_PORT, 403),
            (good, "%s:9999" % self.daemon.address, 403),
        ]
        for headers, host, status in cases:
            response = http(self.daemon, "POST", "/api/boards/bench/settings", headers, b'{"tx2Power": 4000}',
                            host=host)
            self.assertEqual(response[0], status, (headers, host))
            self.assertEqual(response[1].get("connection"), "close")
        self.assertEqual(scpi(self.daemon, "OUTP2:POW?"), "11")
        own_origin = dict(good, Origin="http://%s:%d" % (self.daemon.address, HTTP_PORT))
        for headers in (good, own_origin):
            self.assertEqual(http(self.daemon, "POST", "/api/boards/bench/settings", headers, b'{"tx2Power": 12}')[0],
                             200)
        self.assertEqual(scpi(self.daemon, "OUTP2:POW?"), "12")

    def test_a_foreign_host_reads_nothing(self):
        for host, status in (("evil.example:%d" % HTTP_PORT, 403), ("localhost:%d" % HTTP_PORT, 200),
                             (None, 200)):
            for path in ("/api/boards/bench", "/api/boards/bench/plan", "/api/token", "/"):
                self.assertEqual(http(self.daemon, "GET", path, host=host)[0], status, (host, path))

    def test_curl_as_the_documentation_shows(self):
        token_file = os.path.join(tempfile.mkdtemp(prefix="kestrel-token-"), "token")
        self.addCleanup(shutil.rmtree, os.path.dirname(token_file), True)
        daemon = Daemon("--sim", "bench", "--token-file", token_file)
        self.addCleanup(stop, daemon.proc)
        self.assertEqual(os.stat(token_file).st_mode & 0o777, 0o600)
        with open(token_file) as f:
            secret = f.read().strip()
        self.assertEqual(token(daemon), secret)
        out = subprocess.run(["curl", "-s", "-X", "POST", "-H", "Authorization: Bearer " + secret, "-H",
                              "Content-Type: application/json", "-d", '{"tx1Power": 9}',
                              "http://%s:%d/api/boards/bench/settings" % (daemon.address, HTTP_PORT)],
                             capture_output=True, text=True, timeout=30).stdout
        self.assertEqual(json.loads(out)["applied"], ["tx1Power"])

    def test_http_on_the_scpi_port_runs_nothing(self):
        scpi(self.daemon, "OUTP2:POW 21;*OPC?")
        requests = [
            b"POST /x HTTP/1.1\r\nHost: a\r\nContent-Type: text/plain\r\n\r\n\nOUTP2:POW 4000\n",
            b"GET / HTTP/1.1\r\nHost: a\r\n\r\nOUTP2:POW 4001\n",
            b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\nHost: a\r\n\r\n\nOUTP2:POW 4002\n",
            b"Host: a\r\n\r\nOUTP2:POW 4003\n",
        ]
        closed = []
        for request in requests:
            sock = connect(self.daemon, SCPI_PORT)
            try:
                sock.sendall(request)
                closed.append(closed_by_peer(sock, 2))
            except ConnectionError:
                closed.append(True)
            finally:
                sock.close()
        self.assertEqual(scpi(self.daemon, "OUTP2:POW?"), "21")
        self.assertEqual(closed, [True] * len(requests))

class HygieneTests(DoorTestCase):
    """Errors as JSON without internals, 405, only the page's own files, the security headers."""

    @classmethod
    def setUpClass(cls):
        web = os.environ["KESTRELD_WEB"]
        cls.web = tempfile.mkdtemp(prefix="kestrel-web-")
        cls.secret = tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False)
        cls.secret.write("SECRET OF THE HOST")
        cls.secret.close()
        for name in ("index.html", "style.css", "package.json"):
            shutil.copy(os.path.join(web, name), cls.web)
        os.symlink(cls.secret.name, os.path.join(cls.web, "app.js"))  # a link out of the web root
        cls.args = ("--web-root", cls.web)
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.web, True)
        os.unlink(cls.secret.name)

    def test_errors_methods_and_files(self):
        auth = {"Content-Type": "application/json", "Authorization": "Bearer " + token(self.daemon)}
        status, headers, body = http(self.daemon, "POST", "/api/boards/bench/settings", auth, b'{"clockMHz": 1e400}')
        self.assertEqual((status, json.loads(body)["status"]), (400, 400))
        self.assertNotIn("exception_what", headers)
        for method, path, allow in (("GET", "/api/boards/bench/settings", "POST"),
                                    ("POST", "/api/boards", "GET, HEAD"), ("DELETE", "/", "GET, HEAD")):
            status, headers, _ = http(self.daemon, method, path, auth if method == "POST" else {})
            self.assertEqual((status, headers.get("allow")), (405, allow), path)
        for path in ("/package.json", "/app.js", "/app.js%00.html", "/node_modules/uplot/package.json",
                     "/../index.html"):
            status, _, body = http(self.daemon, "GET", path)
            self.assertEqual(status, 404, path)
            self.assertNotIn(b"SECRET", body)
        status, headers, body = http(self.daemon, "GET", "/")
        self.assertEqual((status, headers["content-type"]), (200, "text/html; charset=utf-8"))
        self.assertIn("frame-ancestors 'none'", headers["content-security-policy"])
        self.assertEqual((headers["x-frame-options"], headers["x-content-type-options"]), ("DENY", "nosniff"))


class CrowdTests(DoorTestCase):
    """Slow, idle, streaming and oversized clients beside a well-behaved one."""

    def hold(self, sockets):
        self.addCleanup(lambda: [s.close() for s in sockets])
        return sockets

    def test_slowloris_streams_and_idle_crowds_leave_others_answered(self):
        slow = self.hold([connect(self.daemon, HTTP_PORT) for _ in range(16)])
        for sock in slow:
            sock.sendall(b"GET /api/boards HTTP/1.1\r\nHost: x")  # and never the rest
        streams = self.hold([connect(self.daemon, HTTP_PORT, source_address()) for _ in range(100)])
        for sock in streams:
            sock.sendall(("GET /api/boards/bench/events HTTP/1.1\r\nHost: %s:%d\r\n\r\n" %
                          (self.daemon.address, HTTP_PORT)).encode())
        idle = self.hold([connect(self.daemon, port) for port in (HTTP_PORT, SCPI_PORT) * 20])
        self.answered_within(GENEROUS, source_address())
        # One client address gets its share, and no more; others are still served.
        crowd = source_address()
        mine = self.hold([connect(self.daemon, HTTP_PORT, crowd) for _ in range(40)])
        self.assertTrue(closed_by_peer(mine[-1], GENEROUS), "a 40th connection from one address was kept")
        self.answered_within(GENEROUS, source_address())
        self.assertTrue(closed_by_peer(idle[0], GENEROUS), "an idle HTTP connection was kept")
        self.assertTrue(closed_by_peer(slow[0], 15), "a slow request head was waited for beyond its time")

    def test_oversized_requests_are_refused_before_they_are_read(self):
        waited, peak = oversized_bodies(self.daemon, 4)  # 200 MB each, at once
        self.assertLess(waited, GENEROUS, "a 200 MB body was not refused with 413")
        auth = "Authorization: Bearer %s\r\nContent-Type: application/json\r\n" % token(self.daemon)
        head = "POST /api/boards/bench/settings HTTP/1.1\r\nHost: %s:%d\r\n%s" % (self.daemon.address, HTTP_PORT, auth)
        cases = [
            ((head + "Content-Length: %d\r\n\r\n" % (10 << 20)).encode(), b"[" * (10 << 20), 413),
            (b"GET /api/boards HTTP/1.1\r\nHost: x\r\n", b"X-Filler: y\r\n" * 200000, 431),
            (("GET /%s HTTP/1.1\r\n" % ("a" * 100000)).encode(), b"", 431),
            ((head + "Transfer-Encoding: chunked\r\n\r\n").encode(), b"ffffff\r\n" + b"[" * (1 << 20), 411),
        ]
        for start, flood, status in cases * 4:
            sock = connect(self.daemon, HTTP_PORT)
            try:
                sock.sendall(start)
                sock.sendall(flood)
            except ConnectionError:
                pass  # the daemon closed before the flood ended
            response = read_response(sock)
            sock.close()
            if response is not None:  # else a reset overtook the answer
                self.assertEqual(response[0], status, start[:40])
        peak = max(peak, proc_status(self.daemon.proc.pid, "VmHWM"))
        self.assertLess(peak, 150, "peak resident memory %.0f MB" % peak)
        self.answered_within(GENEROUS)

    def test_an_scpi_client_that_does_not_read_is_dropped(self):
        greedy = self.hold([connect(self.daemon, SCPI_PORT)])[0]
        greedy.sendall(b"SYST:CONF:CAT?;" * 4000 + b"\n")  # about 2 MB of answers to one line
        self.assertTrue(closed_by_peer(greedy, GENEROUS), "a line answered with megabytes was kept")
        peak = proc_status(self.daemon.proc.pid, "VmHWM")
        self.assertLess(peak, 150, "peak resident memory %.0f MB" % peak)
        self.answered_within(GENEROUS)

    def test_idle_and_trickling_scpi_clients_are_closed(self):
        daemon = Daemon("--sim", "bench", "--idle-timeout", "2")
        self.addCleanup(stop, daemon.proc)
        silent, trickle = self.hold([connect(daemon, SCPI_PORT), connect(daemon, SCPI_PORT)])
        began = time.monotonic()
        try:
            while time.monotonic() - began < 3:  # a line that never ends keeps no connection alive
                trickle.sendall(b"S")
                time.sleep(0.3)
        except ConnectionError:
            pass  # closed already
        self.assertTrue(closed_by_peer(silent, GENEROUS), "an idle SCPI client was kept")
        self.assertTrue(closed_by_peer(trickle, GENEROUS), "a trickling SCPI client was kept")
        self.assertEqual(scpi(daemon, "SYST:VERS?"), "1999.0")


class DescriptorLimitTests(unittest.TestCase):
    """At the descriptor limit the daemon refuses connections cheaply instead of spinning."""

    def test_no_spinning_at_the_descriptor_limit(self):
        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (96, 96))

        daemon = Daemon("--sim", "bench", preexec=low_limit)
        self.addCleanup(stop, daemon.proc)
        crowd = []
        self.addCleanup(lambda: [s.close() for s in crowd])
        for port in (HTTP_PORT, SCPI_PORT) * 2:
            source = source_address()
            for _ in range(40):
                try:
                    crowd.append(connect(daemon, port, source, timeout=2))
                except OSError:
                    pass
        before = cpu_seconds(daemon.proc.pid)
        time.sleep(2)
        used = (cpu_seconds(daemon.proc.pid) - before) / 2
        self.assertLess(used, 0.3, "the daemon used %.0f %% of a core with nothing to do" % (used * 100))
        for sock in crowd:
            sock.close()
        deadline = time.monotonic() + GENEROUS
        while True:  # the places come back as the crowd's connections close
            response = http(daemon, "GET", "/api/boards", source=source_address())
            if response is not None and response[0] == 200:
                break
            self.assertLess(time.monotonic(), deadline, "no client was served after the crowd left")
            time.sleep(0.2)


class QueueTests(DoorTestCase):
    """The board's time is shared: gone clients' work is dropped, reads are joined, the queue is bounded."""

    def test_gone_clients_hold_nobody(self):
        for line in ("SYST:CONF?;" * 20, "SYST:CONF:READ?;" * 20):
            sock = connect(self.daemon, SCPI_PORT)
            sock.sendall(line.encode() + b"\n")
            sock.close()
            self.answered_within(GENEROUS)
        for path in ("/api/boards/bench/config", "/api/boards/bench/config?read=board"):
            for _ in range(20):
                sock = connect(self.daemon, HTTP_PORT)
                sock.sendall(("GET %s HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (path, self.daemon.address, HTTP_PORT)).encode())
                time.sleep(0.02)
                sock.close()
            self.answered_within(GENEROUS)

    def test_a_client_that_resets_stops_its_line(self):
        self.assertEqual(scpi(self.daemon, "*OPC?"), "1")
        gone = connect(self.daemon, SCPI_PORT)
        gone.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # close with a reset
        gone.sendall(b"DIAG:MEM? 0;" * 100 + b"\n")  # about 8 s of the board
        time.sleep(0.5)
        gone.close()
        began = time.monotonic()
        self.assertTrue(scpi(self.daemon, "*IDN?").startswith("Kestrel,"))
        self.assertLess(time.monotonic() - began, 5, "the line of a client that reset ran on")

    def test_concurrent_reads_share_one(self):
        self.assertEqual(scpi(self.daemon, "*OPC?"), "1")
        before = long_jobs(self.daemon)
        values, statuses = [], []
        threads = [threading.Thread(target=lambda: values.append(scpi(self.daemon, "SYST:CONF:READ?")))
                   for _ in range(3)]
        threads.append(threading.Thread(
            target=lambda: statuses.append(http(self.daemon, "GET", "/api/boards/bench/config?read=board")[0])))
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(statuses, [200])
        self.assertEqual(len(values), 3)
        self.assertEqual(len(set(values)), 1, values)
        self.assertEqual(long_jobs(self.daemon) - before, 1, "the callers did not share one read of the board")
        self.assertEqual(scpi(self.daemon, "SYST:CONF?"), values[0])  # the view holds what was read

    def test_a_timed_out_change_is_never_applied(self):
        daemon = Daemon("--sim", "bench", "--request-timeout", "1")
        self.addCleanup(stop, daemon.proc)
        scpi(daemon, "OUTP2:POW 31;*OPC?")
        busy = connect(daemon, SCPI_PORT)
        self.addCleanup(busy.close)
        busy.sendall(b"DIAG:MEM? 0;" * 40 + b"\n")  # about 3 s of the board
        time.sleep(0.3)
        auth = {"Content-Type": "application/json", "Authorization": "Bearer " + token(daemon)}
        self.assertEqual(http(daemon, "POST", "/api/boards/bench/settings", auth, b'{"tx2Power": 1234}')[0], 504)
        busy.recv(65536)  # the busy line is done: a late change would have run by now
        self.assertEqual(scpi(daemon, "*OPC?;:OUTP2:POW?"), "1;31")

    def test_a_full_queue_refuses_with_a_clear_error(self):
        self.assertEqual(scpi(self.daemon, "*OPC?"), "1")  # connected, its stored configuration read
        busy = connect(self.daemon, SCPI_PORT)
        self.addCleanup(busy.close)
        busy.sendall(b"DIAG:MEM? 0;" * 60 + b"\n")  # about 5 s of the board
        time.sleep(0.3)
        sources = [source_address() for _ in range(4)]
        crowd = [connect(self.daemon, SCPI_PORT, sources[i % 4]) for i in range(80)]
        self.addCleanup(lambda: [s.close() for s in crowd])
        for sock in crowd:
            sock.sendall(b"*IDN?\n")
        # The board's thread reads the crowd's lines between the busy line's
        # commands (every 80 ms or so; the line lasts about 5 s).
        time.sleep(1)
        statuses = []
        readers = [threading.Thread(target=lambda source=source: statuses.append(
            http(self.daemon, "GET", "/api/boards/bench", source=source)[0])) for source in sources * 10]
        for t in readers:
            t.start()
        for t in readers:
            t.join(60)
        errors = [scpi_on(sock, "SYST:ERR?") for sock in crowd]
        self.assertTrue([e for e in errors if e.startswith("-350,")], errors[-3:])
        self.assertIn(503, statuses)
        self.assertLessEqual(set(statuses), {200, 503})


def scpi_on(sock, text):
    """The error-queue answer on a connection after sending text; earlier answers are skipped."""
    sock.settimeout(30)
    sock.sendall((text + "\n").encode())
    data = b""
    while not re.search(rb'(^|\n)-?\d+,"[^\n]*\n', data):
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return re.search(rb'(^|\n)(-?\d+,"[^\n]*)\n', data).group(2).decode()


class CalibrationDirectoryTests(unittest.TestCase):
    """CAL:SOUR FILE reads only inside --calibration-dir, and says nothing of other files."""

    def test_files_only_from_the_calibration_directory(self):
        plain = Daemon("--sim", "bench")
        self.addCleanup(stop, plain.proc)
        self.assertIn("--calibration-dir", scpi(plain, 'CAL:SOUR FILE,"/etc/hostname";:SYST:ERR?'))
        directory = tempfile.mkdtemp(prefix="kestrel-cal-")
        self.addCleanup(shutil.rmtree, directory, True)
        with open(os.path.join(directory, "good.txt"), "w") as f:
            f.write("".join("0\n0\n0\n1\n0\n%d\n2000\n" % row for row in range(14)))
        os.symlink("/etc/hostname", os.path.join(directory, "out.txt"))
        daemon = Daemon("--sim", "bench", "--calibration-dir", directory)
        self.addCleanup(stop, daemon.proc)
        refusals = set()
        for name in ("/etc/hostname", "../../etc/hostname", "out.txt", "missing.txt", "/etc", directory):
            answer = scpi(daemon, 'CAL:SOUR FILE,"%s";:SYST:ERR?;:CAL:SOUR?' % name)
            refusals.add(answer)
        self.assertEqual(len(refusals), 1, refusals)  # one answer, whatever the file outside
        self.assertTrue(refusals.pop().startswith("-200,"))
        self.assertEqual(scpi(daemon, 'CAL:SOUR FILE,"good.txt";:CAL:SOUR?;:CAL:LIM? 3'),
                         'FILE,"good.txt";3.000000000E+00,2.000000000E+03')
        auth = {"Content-Type": "application/json", "Authorization": "Bearer " + token(daemon)}
        body = b'{"calibration": {"source": "file", "path": "/etc/hostname"}}'
        self.assertEqual(http(daemon, "POST", "/api/boards/bench/settings", auth, body)[0], 422)


def sigterm_under_trickling_clients():
    """Seconds from SIGTERM to exit, with 16 HTTP clients trickling a byte every
    half second, 4 event streams, an SCPI line trickled the same way and a
    line of 100 queries (about 8 s of the board) in progress; None when the
    daemon still runs after GENEROUS seconds."""
    daemon = Daemon("--sim", "bench")
    clients = [connect(daemon, HTTP_PORT, source_address()) for _ in range(16)]
    streams = [connect(daemon, HTTP_PORT) for _ in range(4)]
    line, slow_scpi = connect(daemon, SCPI_PORT), connect(daemon, SCPI_PORT)
    try:
        head = b"GET /api/boards HTTP/1.1\r\nHost: x\r\nX-Long: " + b"a" * 200
        for sock, data in [(c, head) for c in clients] + [(slow_scpi, b"SYST:VERS" * 100)]:
            threading.Thread(target=trickle, args=(sock, data), daemon=True).start()
        for sock in streams:
            sock.sendall(("GET /api/boards/bench/events HTTP/1.1\r\nHost: %s:%d\r\n\r\n" %
                          (daemon.address, HTTP_PORT)).encode())
        line.sendall(b"DIAG:MEM? 0;" * 100 + b"\n")
        time.sleep(1.5)
        began = time.monotonic()
        daemon.proc.send_signal(signal.SIGTERM)
        try:
            daemon.proc.communicate(timeout=GENEROUS)
        except subprocess.TimeoutExpired:
            daemon.proc.kill()
            daemon.proc.communicate()
            return None
        return time.monotonic() - began if daemon.proc.returncode == 0 else None
    finally:
        for sock in clients + streams + [line, slow_scpi]:
            sock.close()


class ShutdownTests(unittest.TestCase):
    """SIGTERM ends the daemon in seconds, whatever its clients are doing."""

    def test_sigterm_under_trickling_clients(self):
        seconds = sigterm_under_trickling_clients()
        self.assertIsNotNone(seconds, "kestreld did not exit cleanly within %.0f s of SIGTERM" % GENEROUS)


def trickle(sock, data):
    """One byte every half second, until the connection ends."""
    for i in range(len(data)):
        try:
            sock.send(data[i:i + 1])
        except OSError:
            return
        time.sleep(0.5)


def median_wait(action, count=20):
    samples = []
    for _ in range(count):
        began = time.perf_counter()
        action()
        samples.append(time.perf_counter() - began)
    return statistics.median(samples)


def figures():
    """The figures behind the generous bounds, for bench/run: one JSON object, times in seconds."""
    out = {}
    daemon = Daemon("--sim", "bench")
    held = []
    try:
        def status():
            if http(daemon, "GET", "/api/boards/bench", source=source_address())[0] != 200:
                raise RuntimeError("the status was refused")

        out["status"] = median_wait(status)
        held += [connect(daemon, HTTP_PORT) for _ in range(16)]
        for sock in held:
            sock.sendall(b"GET /api/boards HTTP/1.1\r\nHost: x")
        out["status_beside_16_slowloris"] = median_wait(status)
        streams = [connect(daemon, HTTP_PORT, source_address()) for _ in range(100)]
        held += streams
        for sock in streams:
            sock.sendall(("GET /api/boards/bench/events HTTP/1.1\r\nHost: %s:%d\r\n\r\n" %
                          (daemon.address, HTTP_PORT)).encode())
        out["status_beside_100_streams"] = median_wait(status)
        out["body_200mb_413"], out["peak_rss_mb"] = oversized_bodies(daemon, 4)

        def after_gone_client(data, port):
            sock = connect(daemon, port)
            sock.sendall(data)
            sock.close()
            began = time.perf_counter()
            scpi(daemon, "*IDN?")
            return time.perf_counter() - began

        out["idn_after_gone_line_of_20_reads"] = after_gone_client(b"SYST:CONF:READ?;" * 20 + b"\n", SCPI_PORT)
        scpi(daemon, "*OPC?")
        for _ in range(20):
            sock = connect(daemon, HTTP_PORT)
            sock.sendall(("GET /api/boards/bench/config?read=board HTTP/1.1\r\nHost: %s:%d\r\n\r\n" %
                          (daemon.address, HTTP_PORT)).encode())
            time.sleep(0.02)
            sock.close()
        began = time.perf_counter()
        status()
        out["status_after_20_gone_reads"] = time.perf_counter() - began
    finally:
        for sock in held:
            sock.close()
        stop(daemon.proc)
    out["sigterm_to_exit"] = sigterm_under_trickling_clients()
    print(json.dumps(out))


def oversized_bodies(daemon, count):
    """Median time to the 413 of `count` 200 MB bodies sent at once, and the daemon's peak RSS (MB)."""
    auth = "Authorization: Bearer %s\r\nContent-Type: application/json\r\n" % token(daemon)
    head = ("POST /api/boards/bench/settings HTTP/1.1\r\nHost: %s:%d\r\n%sContent-Length: %d\r\n\r\n" %
            (daemon.address, HTTP_PORT, auth, 200 << 20)).encode()
    waits = []

    def send():
        sock = connect(daemon, HTTP_PORT)
        began = time.perf_counter()
        try:
            sock.sendall(head + b"{" * (8 << 20))
        except ConnectionError:
            pass
        response = read_response(sock)
        waits.append(time.perf_counter() - began if response and response[0] == 413 else float("inf"))
        sock.close()

    threads = [threading.Thread(target=send) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    return statistics.median(waits), proc_status(daemon.proc.pid, "VmHWM")


if __name__ == "__main__":
    if sys.argv[1:] == ["--figures"]:
        figures()
    else:
        unittest.main()
