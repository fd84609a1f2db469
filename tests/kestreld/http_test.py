"""kestreld's HTTP face over real HTTP, against the daemon serving its
built-in emulator: what HTTP sets, SCPI reads, and the other way round; bad
requests touch nothing; the event streams; /metrics passes promtool.

Environment: as kestreld_test.py, plus PROMTOOL (promtool, optional: its
test is skipped without it).
"""

import json
import os
import shutil
import subprocess
import time
import unittest
import urllib.error
import urllib.request

from kestreld_test import Daemon, stop

HTTP_PORT = 8080  # the default: each daemon has a loopback address of its own


class Http:
    """A small JSON client for one daemon: changes carry its token, as a script's do."""

    def __init__(self, address, port=HTTP_PORT):
        self.base = "http://%s:%d" % (address, port)
        self.token = None

    def request(self, method, path, body=None, raw=None, headers=None):
        data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
        headers = dict(headers or {})
        if method == "POST":
            headers.setdefault("Content-Type", "application/json")
            headers.setdefault("Authorization", "Bearer " + self.daemon_token())
        req = urllib.request.Request(self.base + path, data=data, method=method, headers=headers)
        try:
            with urllib.request.urlopen(req, timeout=30) as response:
                return response.status, response.headers.get("Content-Type"), response.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.headers.get("Content-Type"), e.read().decode()

    def daemon_token(self):
        if self.token is None:
            with urllib.request.urlopen(self.base + "/api/token", timeout=30) as response:
                self.token = json.loads(response.read())["token"]
        return self.token

    def json(self, method, path, body=None, raw=None):
        status, content_type, text = self.request(method, path, body, raw)
        assert content_type.startswith("application/json"), (path, content_type)
        return status, json.loads(text)

    def events(self, path, headers=None):
        """The event stream at path, as (event, data) pairs, one at a time."""
        req = urllib.request.Request(self.base + path, headers=headers or {})
        response = urllib.request.urlopen(req, timeout=30)
        name = None
        for line in response:
            line = line.decode().rstrip("\n")
            if line.startswith("event: "):
                name = line[7:]
            elif line.startswith("data: "):
                yield name, json.loads(line[6:])
        response.close()


class DaemonTestCase(unittest.TestCase):
    args = ("--sim", "bench", "--sim", "spare")

    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon(*cls.args)
        cls.http = Http(cls.daemon.address)

    @classmethod
    def tearDownClass(cls):
        status = stop(cls.daemon.proc)
        if status != 0:
            raise AssertionError("kestreld exited with %d on SIGTERM" % status)

    def scpi(self, text, port=5025):
        """Sends one program message; its answer when it holds a query. The
        *OPC? after it tells when a message without a query has run."""
        client = self.daemon.raw(port)
        try:
            client.send(text + "\n*OPC?\n")
            answer = client.line() if "?" in text else None
            self.assertEqual(client.line(), "1")
            return answer
        finally:
            client.close()


class ApiTests(DaemonTestCase):
    def test_boards_and_status(self):
        status, boards = self.http.json("GET", "/api/boards")
        self.assertEqual(status, 200)
        self.assertEqual([b["name"] for b in boards], ["bench", "spare"])
        status, board = self.http.json("GET", "/api/boards/bench")
        self.assertEqual(status, 200)
        self.assertTrue(board["available"])
        self.assertEqual(board["identity"]["serial"], "1970324837128727")
        self.assertEqual(board["temperatures"], [42, 40])
        self.assertIn(board["vco"]["locked"], (True, False))
        self.assertIsInstance(board["vco"]["volts"], float)
        for name in ("clockMHz", "tx1Power", "fm", "pm", "am", "buj", "calibration"):
            self.assertIn(name, board["settings"])

    def test_set_through_http_read_through_scpi(self):
        cases = [
            ({"clockMHz": 1800}, "FREQ?", "1.800000000E+09"),
            ({"tx1Power": 10, "tx2Power": 100, "tx2Divider": 3}, "OUTP1:POW?;:OUTP2:POW?;DIV?", "10;100;3"),
            ({"fm": {"enabled": True, "rateHz": 1e6, "deviation": 300, "skew": 5, "rj": 2}},
             "FM:STAT?;RATE:IND?;:FM:DEV?;SKEW?;RJ?", "1;3;300;5;2"),
            ({"pm": {"enabled": True, "frequencyHz": 33.3e6, "deviation": 40, "phaseShift": 7}},
             "PM:STAT?;FREQ?;DEV?;PSH?", "1;3.330000000E+07;40;7"),
            ({"am": {"enabled": True, "depth": 30, "rj": 3}}, "AM:STAT?;DEPT?;RJ?", "1;30;3"),
            ({"buj": {"amplitude": 12, "prbs": 7, "prbsFlag": True, "pattern": 0xDEADBEEF}},
             "BUJ?;:BUJ:PRBS?;PATT?", "12;7,1;%d" % 0xDEADBEEF),
            ({"calibration": {"source": "board"}}, "CAL:SOUR?", "BOARD"),
            ({"calibration": {"source": "none"}, "fm": {"enabled": False}}, "CAL:SOUR?;:FM:STAT?", "NONE;0"),
        ]
        for body, query, expected in cases:
            status, answer = self.http.json("POST", "/api/boards/bench/settings", body)
            self.assertEqual(status, 200, (body, answer))
            self.assertEqual(self.scpi(query + ";:SYST:ERR?"), expected + ';0,"No error"', body)
        decoded = self.scpi("DIAG:SIM:SYNT?").split(",")
        self.assertAlmostEqual(float(decoded[4]), 1.8e9, delta=1.0)

    def test_set_through_scpi_read_through_http(self):
        cases = [
            ("FREQ 2.5 GHZ", ["clockMHz"], 2500.0),
            ("OUTP1:POW 7", ["tx1Power"], 7),
            ("OUTP2:POW 55;DIV 4", ["tx2Divider"], 4),
            ("FM:RATE 1.3 MHZ", ["fm", "rateHz"], 1300000),
            ("AM:STAT OFF", ["am", "enabled"], False),
        ]
        for command, path, expected in cases:
            self.assertEqual(self.scpi(command + ";:SYST:ERR?"), '0,"No error"')
            _, board = self.http.json("GET", "/api/boards/bench")
            value = board["settings"]
            for key in path:
                value = value[key]
            self.assertEqual(value, expected, command)

    def test_bad_requests_touch_nothing(self):
        self.scpi("FREQ 1.25 GHZ;:OUTP1:POW 5;:OUTP2:POW 9;DIV 2")
        state = "FREQ?;:OUTP1:POW?;:OUTP2:POW?;DIV?;:FM:STAT?;:SYST:CONF:CAT?"
        before, uploads = self.scpi(state), self.scpi("DIAG:SIM:SYNT?").split(",")[6]
        bad = [
            (None, b"{not json"),
            (None, b""),
            ([1, 2], None),
            ({"clockMHz": 1800, "tx1Power": 32}, None),
            ({"tx2Power": 4097}, None), ({"tx2Power": -1}, None), ({"tx2Divider": 16}, None),
            ({"clockMHz": 20}, None), ({"clockMHz": 5500}, None), ({"tx1Power": 1.5}, None),
            ({"tx1Power": "5"}, None), ({"fm": {"rateHz": 51e6}}, None), ({"fm": {"enabled": 1}}, None),
            ({"clockMHz": 1800, "colour": "red"}, None), ({"fm": {"speed": 3}}, None), ({"fm": 3}, None),
            ({"buj": {"prbs": 7}}, None), ({"calibration": {"source": "file"}}, None),
            ({"calibration": {"source": "moon"}}, None), ({}, None),
        ]
        for body, raw in bad:
            status, answer = self.http.json("POST", "/api/boards/bench/settings", body, raw)
            self.assertEqual(status, 400, (body, raw, answer))
            self.assertEqual(answer["status"], 400)
            self.assertTrue(answer["error"], body)
        self.assertEqual(self.scpi(state), before)
        self.assertEqual(self.scpi("DIAG:SIM:SYNT?").split(",")[6], uploads)

    def test_board_errors_carry_their_status(self):
        status, answer = self.http.json("POST", "/api/boards/bench/settings", {"am": {"enabled": False, "depth": 3}})
        self.assertEqual(status, 409, answer)
        self.assertEqual(answer["applied"], ["am.enabled"])
        self.assertIn("am.depth", answer["error"])

    def test_not_found(self):
        for method, path in (("GET", "/api/boards/nosuch"), ("POST", "/api/boards/nosuch/settings"),
                             ("GET", "/api/nothing"), ("GET", "/api/boards/bench/nothing")):
            status, answer = self.http.json(method, path, {} if method == "POST" else None)
            self.assertEqual(status, 404, path)
            self.assertEqual(answer["status"], 404)

    def test_plan(self):
        status, plan = self.http.json("GET", "/api/boards/bench/plan?mhz=1800")
        self.assertEqual(status, 200)
        self.assertEqual(plan["phaseDetectorMHz"], 78.125)
        self.assertEqual((plan["n"]["integer"], plan["n"]["numerator"], plan["n"]["denominator"]), (23, 1, 25))
        self.assertEqual(plan["vco"]["frequencyMHz"], 3600.0)
        self.assertEqual(plan["vco"]["band"]["number"], 1)
        self.assertEqual(plan["channelDivider"]["division"], 2)
        self.assertEqual(plan["outputs"]["a"]["frequencyMHz"], 1800.0)
        self.assertEqual(plan["errorHz"], 0.0)
        self.assertEqual(len(plan["registers"]), 43)
        for mhz in ("20", "5500", "abc", ""):
            status, _ = self.http.json("GET", "/api/boards/bench/plan?mhz=" + mhz)
            self.assertEqual(status, 400, mhz)

    def test_stored_configuration_with_progress(self):
        self.scpi("OUTP2:POW 321")
        for board, power in (("spare", 0), ("bench", 321)):  # the daemon's view, at once
            status, config = self.http.json("GET", "/api/boards/%s/config" % board)
            self.assertEqual((status, config["tx2Power"]), (200, power))
        progress = []
        for name, data in self.http.events("/api/boards/bench/config?read=board", {"Accept": "text/event-stream"}):
            if name == "progress":
                progress.append(data["fraction"])
                continue
            self.assertEqual(name, "config")
            self.assertEqual(data["tx2Power"], 321)
            break
        self.assertGreater(len(progress), 5)
        self.assertEqual(progress, sorted(progress))

    def test_status_stream_sees_scpi_changes(self):
        stream = self.http.events("/api/boards/bench/events")
        name, first = next(stream)
        self.assertEqual(name, "status")
        self.scpi("OUTP2:POW 77")
        deadline = time.monotonic() + 5
        for _, status in stream:
            if status["settings"]["tx2Power"] == 77:
                break
            self.assertLess(time.monotonic(), deadline, "the stream did not show the SCPI change")
        stream.close()

    def test_metrics(self):
        self.scpi("FREQU 5")  # an SCPI error, counted
        for board in ("bench", "spare"):  # a fresh reading of each, for the gauges
            self.assertEqual(self.http.json("GET", "/api/boards/" + board)[0], 200)
        status, content_type, text = self.http.request("GET", "/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(content_type.startswith("text/plain; version=0.0.4"))
        for line in ('kestreld_board_available{board="bench"} 1', 'kestreld_board_available{board="spare"} 1',
                     'kestreld_board_temperature_raw{board="bench",sensor="1"} 42',
                     'kestreld_vco_locked{board="bench"}', 'kestreld_vco_tuning_volts{board="spare"}',
                     'kestreld_requests_total{board="bench",face="http"}',
                     'kestreld_request_errors_total{board="bench",face="scpi"}',
                     'kestreld_board_job_duration_seconds_bucket{board="bench",le="+Inf"}'):
            self.assertIn(line, text)
        errors = [l for l in text.splitlines() if l.startswith('kestreld_request_errors_total{board="bench",face="scpi"}')]
        self.assertGreaterEqual(float(errors[0].split()[-1]), 1)
        promtool = os.environ.get("PROMTOOL") or shutil.which("promtool")
        if not promtool:
            self.skipTest("promtool is not installed (Debian: prometheus)")
        check = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)


class HttpOptionsTests(unittest.TestCase):
    def test_allow_refuses_other_networks(self):
        daemon = Daemon("--sim", "bench", "--allow", "10.0.0.0/8")
        self.addCleanup(stop, daemon.proc)
        # Turned away on accept: a 403 written at once, or a reset when the
        # request was still on its way.
        try:
            status, answer = Http(daemon.address).json("GET", "/api/boards")
        except (ConnectionError, urllib.error.URLError):
            return
        self.assertEqual(status, 403)
        self.assertIn("--allow", answer["error"])

    def test_another_port_and_none(self):
        daemon = Daemon("--sim", "bench", "--http-port", "8181")
        self.addCleanup(stop, daemon.proc)
        self.assertEqual(Http(daemon.address, 8181).json("GET", "/api/boards")[0], 200)
        quiet = Daemon("--sim", "bench", "--http-port", "0")
        self.addCleanup(stop, quiet.proc)
        self.assertRaises(urllib.error.URLError, Http(quiet.address).request, "GET", "/api/boards")


if __name__ == "__main__":
    unittest.main()
