"""kestrelctl as a user runs it.

The built program is started as a separate process, against its in-process
emulator (--sim) and against the kestrel-board program listening on a random
loopback address. Results are read from the JSON output where numbers matter.

Environment: KESTRELCTL (the program), KESTREL_BOARD_PROGRAM (kestrel-board).
"""

import json
import os
import pty
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import unittest

KESTRELCTL = os.environ["KESTRELCTL"]
BOARD_PROGRAM = os.environ["KESTREL_BOARD_PROGRAM"]

USAGE = 64
NO_BOARD = 2
INTERRUPTED = 130
GLOBAL_OPTIONS = ("--board", "--sim", "--json", "--trace")
COMPLETION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "kestrelctl",
                          "kestrelctl.bash")
MARKER = "[simulated board]"

# The worked example: the 43 words the planner makes for 1800 MHz from the
# board's 156.25 MHz reference with loop profile 19.
PLAN_1800_REGISTERS = [0, 1, 2, 4, 7, 8, 9, 10, 11, 12, 13, 14, 19, 20, 22, 23, 24, 25] + list(range(28, 49)) + [
    59, 61, 62, 64]
PLAN_1800_VALUES = [
    0x221C, 0x0808, 0x0500, 0x1943, 0x28B2, 0x1084, 0x0302, 0x10D8, 0x0018, 0x7002, 0x4000, 0x0420, 0x0965,
    0x012C, 0x2300, 0x8842, 0x0509, 0x0000, 0x2924, 0x0084, 0x0034, 0x0601, 0x210A, 0x2A0A, 0xC3EA, 0x021B,
    0x0C11, 0x4000, 0x002E, 0x8204, 0x0000, 0x0019, 0x0000, 0x0000, 0x0000, 0x0001, 0x0F23, 0x00CA, 0x03FC,
    0x0000, 0x0001, 0x0000, 0x0077]


def random_loopback():
    """An address in 127.140.0.0 and up: away from 127.0.0.1 and the ranges
    the C++ suites pick from, so parallel test processes rarely meet."""
    return "127.%d.%d.%d" % (random.randint(140, 250), random.randint(0, 255), random.randint(1, 254))


def kestrelctl(*args, board_env=None, stdin=None, timeout=60, env_extra=None, program=KESTRELCTL, cwd=None):
    env = dict(os.environ)
    env.pop("KESTREL_BOARD", None)
    env.pop("KESTREL_TRACE", None)
    if board_env is not None:
        env["KESTREL_BOARD"] = board_env
    env.update(env_extra or {})
    return subprocess.run([program, *args], input=stdin, capture_output=True, text=True, timeout=timeout,
                          env=env, cwd=cwd)


def completions(*words):
    """What the installed bash completion offers for the command line `words`
    (the last word is the one being completed)."""
    script = 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kestrelctl; ' \
             'printf "%s\\n" "${COMPREPLY[@]}"'
    result = subprocess.run(["bash", "-c", script, "bash", COMPLETION, "kestrelctl", *words], capture_output=True,
                            text=True, timeout=30)
    return sorted(line for line in result.stdout.splitlines() if line)


def documents(stdout):
    return [json.loads(line) for line in stdout.splitlines() if line.strip()]


def one_document(testcase, stdout):
    docs = documents(stdout)
    testcase.assertEqual(len(docs), 1, stdout)
    return docs[0]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class BoardProgram:
    """kestrel-board on a random loopback address (or the one given), port 6653 unless given."""

    def __init__(self, port=6653, address=None):
        self.port = port
        for _ in range(10):
            address = address or random_loopback()
            proc = subprocess.Popen([BOARD_PROGRAM, "--address", address, "--port", str(port)],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            ready, _, _ = select.select([proc.stdout], [], [], 10)
            line = proc.stdout.readline() if ready else ""
            if "listening" in line:
                self.address = address
                self.proc = proc
                return
            proc.kill()
            proc.communicate()
        raise RuntimeError("kestrel-board did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()


class SimDaemon:
    """kestreld serving its built-in emulator on a random loopback address,
    without VXI-11 and DNS-SD (KESTRELD names the program)."""

    def __init__(self):
        self.address = random_loopback()
        self.proc = subprocess.Popen([os.environ["KESTRELD"], "--sim", "bench", "--listen", self.address,
                                      "--scpi-port", "5025", "--http-port", "0", "--no-vxi11", "--no-mdns"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        # Unbuffered: a buffered reader would hold "ready" while select() waits.
        while select.select([self.proc.stdout], [], [], 20)[0]:
            line = self.proc.stdout.readline()
            if not line or b"ready" in line:
                break
        if self.proc.poll() is not None:
            raise RuntimeError("kestreld did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(20)


class OfflineTests(unittest.TestCase):
    """What needs no board: plan, help, and every refusal made before a call."""

    def test_plan_1800_gives_the_worked_example_words(self):
        result = kestrelctl("--json", "plan", "1800")
        self.assertEqual(result.returncode, 0, result.stderr)
        doc = one_document(self, result.stdout)
        self.assertTrue(doc["ok"])
        self.assertEqual([w["register"] for w in doc["registers"]], PLAN_1800_REGISTERS)
        self.assertEqual([w["value"] for w in doc["registers"]], PLAN_1800_VALUES)
        self.assertEqual(doc["option"], 19)
        self.assertAlmostEqual(doc["referenceMHz"], 156.25)
        self.assertAlmostEqual(doc["outputs"]["a"]["frequencyMHz"], 1800.0, places=6)
        self.assertAlmostEqual(doc["vcoMHz"] / doc["channelDivider"], 1800.0, places=6)

    def test_plan_table_shows_the_same_words(self):
        result = kestrelctl("plan", "1800")
        self.assertEqual(result.returncode, 0, result.stderr)
        words = {int(r): int(v, 16) for r, v in re.findall(r"\bR(\d+)\s+0x([0-9A-F]{4})\b", result.stdout)}
        self.assertEqual(words, dict(zip(PLAN_1800_REGISTERS, PLAN_1800_VALUES)))
        for label in ("reference path", "phase detector", "N divider", "VCO", "channel divider", "output A",
                      "output B", "charge pump", "modulator"):
            self.assertIn(label, result.stdout)

    def test_plan_takes_reference_and_option(self):
        result = kestrelctl("--json", "plan", "2500", "--reference", "100", "--option", "5")
        self.assertEqual(result.returncode, 0, result.stderr)
        doc = one_document(self, result.stdout)
        self.assertAlmostEqual(doc["referenceMHz"], 100.0)
        self.assertEqual(doc["option"], 5)
        self.assertAlmostEqual(doc["outputs"]["a"]["frequencyMHz"], 2500.0, places=6)
        self.assertEqual(len(doc["registers"]), 43)

    def test_no_board_given(self):
        for args in (["info"], ["clock", "1800"], ["fm", "enable"]):
            result = kestrelctl(*args)
            self.assertEqual(result.returncode, NO_BOARD, args)
            self.assertEqual(result.stdout, "")
            lines = result.stderr.splitlines()
            self.assertEqual(len(lines), 1, result.stderr)
            for hint in ("--board", "KESTREL_BOARD", "--sim"):
                self.assertIn(hint, lines[0])

    def test_no_board_given_in_json(self):
        result = kestrelctl("--json", "info")
        self.assertEqual(result.returncode, NO_BOARD)
        doc = one_document(self, result.stdout)
        self.assertFalse(doc["ok"])
        self.assertEqual(doc["status"], NO_BOARD)

    def test_bad_arguments_are_refused_before_any_call(self):
        # A board address where nothing listens: had a call been made, the
        # connect would have failed with 2 instead.
        nowhere = random_loopback()
        cases = [
            ["clock", "abc"], ["clock", "1800x"], ["clock", "nan"], ["clock", "inf"], ["clock", ""],
            ["clock", "20"], ["clock", "5500"], ["clock", "0x10"], ["clock", "1800", "2"],
            ["fm", "amplitude", "2147483648"], ["fm", "amplitude", "-2147483649"], ["fm", "amplitude", "1.5"],
            ["fm", "skew", "12abc"], ["fm", "rate", "12"], ["fm", "rate", "-1"], ["fm", "custom", "0.03"],
            ["fm", "amplitude", "70000"], ["fm", "amplitude", "-5"], ["fm", "skew", "65536"], ["source", "65536"],
            ["tx2", "am", "rj", "amplitude", "-1"], ["tx2", "buj", "prbs", "65536", "0"], ["tx2", "buj", "prbs", "7", "2"],
            ["fm", "custom", "50.5"], ["fm", "custom", "nan"], ["tx2", "pm", "frequency", "80.001"],
            ["tx2", "buj", "pattern", "0x100000000"], ["tx2", "buj", "prbs", "7"],
            ["reg", "read", "16", "0"], ["reg", "read", "0", "2048"], ["reg", "write", "0", "0", "65536"],
            ["reg", "write", "0", "0", "-1"], ["memory", "read", "65529"], ["memory", "read", "-1"],
            ["memory", "write", "0", "1,5"], ["power", "tx1", "32"], ["power", "tx2", "4097"],
            ["divider", "16"], ["calibration", "limits", "14"], ["calibration", "save", "0", "1", "0", "0"],
            ["calibration", "save", "0", "1", "0", "0", "0", "1", "0", "0", "nan"], ["calibration", "file"],
            ["plan", "1800", "--option", "21"], ["plan", "1800", "--reference", "0"], ["plan", "20"],
            ["fm"], ["tx2", "pm"], ["frobnicate"], ["run", "/nonexistent/script.txt"],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = kestrelctl("--board", nowhere, *args)
                self.assertEqual(result.returncode, USAGE, result.stderr)
                self.assertEqual(result.stdout, "")
                lines = result.stderr.splitlines()
                self.assertEqual(len(lines), 1, result.stderr)
                self.assertTrue(lines[0].startswith("kestrelctl: "), lines[0])

    def test_bad_board_address(self):
        result = kestrelctl("--board", "1.2.3", "info")
        self.assertEqual(result.returncode, USAGE)
        result = kestrelctl("info", board_env="board.invalid")
        self.assertEqual(result.returncode, USAGE)
        result = kestrelctl("--board", "127.0.0.1", "--sim", "info")
        self.assertEqual(result.returncode, USAGE)

    def test_every_command_has_help(self):
        commands = [
            [], ["info"], ["clock"], ["plan"], ["power"], ["power", "tx1"], ["divider"], ["source"], ["fm"],
            ["fm", "custom"], ["tx2"], ["tx2", "pm"], ["tx2", "pm", "rj", "amplitude"], ["tx2", "pm", "buj"],
            ["tx2", "buj", "prbs"], ["tx2", "am", "rj"], ["calibration"], ["calibration", "save"], ["config"],
            ["reg"], ["reg", "write"], ["memory"], ["sweep"], ["sweep", "list"], ["run"], ["demo"],
        ]
        for words in commands:
            with self.subTest(command=words):
                result = kestrelctl(*words, "--help")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("Usage: kestrelctl" + "".join(" " + w for w in words), result.stdout)
                for option in GLOBAL_OPTIONS:
                    self.assertIn(option, result.stdout)

    def test_help_says_what_happens_without_a_board(self):
        text = kestrelctl("--help").stdout
        self.assertNotIn("else --sim", text)
        self.assertIn("stops with exit status 2", text)

    def test_an_empty_board_address_is_a_usage_error(self):
        for args in (["--board", "", "info"], ["--board=", "info"], ["info", "--board", ""]):
            with self.subTest(args=args):
                result = kestrelctl(*args, board_env="127.0.0.1")
                self.assertEqual(result.returncode, USAGE, result.stderr)
                self.assertIn("--board: the address is empty", result.stderr)

    def test_usage_errors_in_json(self):
        # (arguments, the command the document names)
        cases = [(["frobnicate"], ""), ([], ""), (["clock", "abc"], "clock"), (["fm"], "fm"),
                 (["--board", "", "info"], "info"), (["--board", "1.2.3", "info"], "info"),
                 (["run", "/nonexistent/script.txt"], "run"), (["tx2", "pm", "amplitude", "x"], "tx2 pm amplitude")]
        for args, command in cases:
            with self.subTest(args=args):
                result = kestrelctl("--json", *args)
                self.assertEqual(result.returncode, USAGE, result.stderr)
                doc = one_document(self, result.stdout)
                self.assertFalse(doc["ok"])
                self.assertEqual(doc["status"], USAGE)
                self.assertEqual(doc["command"], command)
                self.assertIn(doc["error"], result.stderr)

    def test_bash_completion(self):
        cases = [
            (["c"], ["calibration", "clock", "config"]),
            (["--sim", "tx2", "pm", "r"], ["rj"]),
            (["--board", "10.0.0.2", "fm", "r"], ["rate", "rj"]),
            (["info", "--"], sorted(GLOBAL_OPTIONS + ("--help",))),
            (["plan", "1800", "--r"], ["--reference"]),
            (["clock", ""], []),
            (["run", COMPLETION[:-2]], [COMPLETION]),
        ]
        for words, expected in cases:
            with self.subTest(words=words):
                self.assertEqual(completions(*words), expected)
        # Every command of the help, and nothing else, at the top level.
        help_text = kestrelctl("--help").stdout
        listed = re.search(r"Subcommands:\n((?:  \S.*\n)+)", help_text).group(1)
        self.assertEqual(completions(""), sorted(line.split()[0] for line in listed.splitlines()))


class SimulatedTests(unittest.TestCase):
    """--sim: the emulator inside the kestrelctl process."""

    def test_info_in_json(self):
        result = kestrelctl("--sim", "--json", "run", "-", stdin="info\nreg read 0 20\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        info, register, summary = documents(result.stdout)
        self.assertEqual(summary["command"], "run")
        self.assertTrue(info["simulated"])
        self.assertEqual(info["apiVersion"], "2.2.1")
        self.assertEqual(info["boardId"], register["value"])
        self.assertIsInstance(info["serialNumber"], int)
        self.assertEqual(len(info["temperatures"]), 2)
        self.assertIsInstance(info["vcoLock"], int)
        self.assertIsInstance(info["vcoVoltage"], float)

    def test_every_line_says_simulated(self):
        for args in (["info"], ["clock", "1800"], ["fm", "rate", "3"], ["plan", "1800"]):
            result = kestrelctl("--sim", *args)
            self.assertEqual(result.returncode, 0, result.stderr)
            lines = result.stdout.splitlines()
            self.assertTrue(lines)
            for line in lines:
                self.assertTrue(line.endswith(MARKER), line)
        failed = kestrelctl("--sim", "tx2", "am", "amplitude", "5")
        self.assertEqual(failed.returncode, 1)
        self.assertTrue(failed.stderr.strip().endswith(MARKER), failed.stderr)

    def test_global_options_may_follow_the_command(self):
        result = kestrelctl("info", "--json", "--sim")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(one_document(self, result.stdout)["simulated"])

    def test_clock_reports_what_the_board_decoded(self):
        for mhz in (25.0, 1800.0, 2500.5, 5499.0):
            with self.subTest(mhz=mhz):
                result = kestrelctl("--sim", "--json", "clock", repr(mhz))
                self.assertEqual(result.returncode, 0, result.stderr)
                doc = one_document(self, result.stdout)
                self.assertAlmostEqual(doc["requestedMHz"], mhz)
                decoded = doc["decoded"]
                self.assertTrue(decoded["programmed"])
                self.assertAlmostEqual(decoded["outputAMHz"], mhz, places=3)
                self.assertAlmostEqual(decoded["outputBMHz"], mhz, places=3)
                self.assertGreaterEqual(decoded["vcoMHz"], 3550.0)

    def test_clock_and_plan_say_what_the_plan_produces(self):
        # (request, produced): from the VCO's range on, the plan makes whole MHz.
        for mhz, produced in ((1800.0, 1800.0), (3549.4, 3549.4), (4321.3, 4321.0), (3549.5, 3550.0)):
            for command in (["--sim", "--json", "clock", repr(mhz)], ["--json", "plan", repr(mhz)]):
                with self.subTest(command=command):
                    result = kestrelctl(*command)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    doc = one_document(self, result.stdout)
                    self.assertAlmostEqual(doc["producedMHz"], produced, places=6)
                    self.assertAlmostEqual(doc["errorHz"], (produced - mhz) * 1e6, delta=0.01)
        text = kestrelctl("--sim", "clock", "4321.3").stdout
        self.assertIn("produced: 4321 MHz, -300000 Hz from the request", text)
        self.assertAlmostEqual(float(re.search(r"output A ([\d.]+) MHz", text).group(1)), 4321.0)

    def test_registers_and_memory(self):
        script = "memory write 4096 -2.75\nmemory read 4096\nreg write 0 257 0x8\nreg read 0 257\n"
        result = kestrelctl("--sim", "--json", "run", "-", stdin=script)
        self.assertEqual(result.returncode, 0, result.stderr)
        docs = documents(result.stdout)
        self.assertEqual(docs[1]["value"], -2.75)
        self.assertEqual(docs[3]["value"], 8)
        self.assertEqual(docs[-1]["command"], "run")

    def test_setter_that_needs_its_enable(self):
        result = kestrelctl("--sim", "tx2", "pm", "amplitude", "4")
        self.assertEqual(result.returncode, 1)
        self.assertIn("vxclk_setTx2PMAmplitude: 1", result.stderr)
        self.assertIn("'tx2 pm enable' did not come earlier", result.stderr)
        result = kestrelctl("--sim", "run", "-", stdin="tx2 pm enable\ntx2 pm amplitude 4\n")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_custom_fm_refused_while_calibration_selected(self):
        result = kestrelctl("--sim", "run", "-", stdin="fm custom 1.2\ncalibration board\nfm custom 1.2\n")
        self.assertEqual(result.returncode, 5)
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertIn("line 3: vxclk_setCustomFMFrequency: 5 (A custom FM rate is refused while a calibration source "
                      "is selected.)", result.stderr)

    def test_falls_back_to_another_address_when_the_port_is_taken(self):
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            holder.bind(("127.0.0.1", 6653))
            holder.listen(1)
            held = True
        except OSError:
            held = False  # taken already: the fallback is needed all the same
        try:
            result = kestrelctl("--sim", "--json", "info")
            self.assertEqual(result.returncode, 0, result.stderr)
            doc = one_document(self, result.stdout)
            if held:
                self.assertNotEqual(doc["address"], "127.0.0.1")
                self.assertTrue(doc["address"].startswith("127."))
        finally:
            holder.close()

    def test_trace_option_sets_the_variable_for_the_library(self):
        # Only the variable is checked here: what the library writes is its own test's business.
        trace_file = os.path.join(tempfile.mkdtemp(), "trace.log")
        self.addCleanup(shutil.rmtree, os.path.dirname(trace_file))
        cases = [([], {}, None), (["--trace"], {}, "1"), (["--trace=" + trace_file], {}, trace_file),
                 ([], {"KESTREL_TRACE": trace_file}, trace_file), (["--trace"], {"KESTREL_TRACE": trace_file}, "1")]
        for options, env, expected in cases:
            with self.subTest(options=options, env=env):
                result = kestrelctl("--sim", "--json", *options, "info", env_extra=env)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(one_document(self, result.stdout)["trace"], expected)

    def test_ctrl_c_during_the_readback(self):
        master, slave = pty.openpty()
        proc = subprocess.Popen([KESTRELCTL, "--sim", "--json", "config"], stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        seen = b""
        while b"reading the board's configuration" not in seen:
            ready, _, _ = select.select([master], [], [], 10)
            self.assertTrue(ready, "no progress line")
            seen += os.read(master, 4096)
        proc.send_signal(signal.SIGINT)
        stdout, _ = proc.communicate(timeout=30)
        while select.select([master], [], [], 1)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the other end of the terminal is closed
                break
            if not chunk:
                break
            seen += chunk
        os.close(master)
        self.assertEqual(proc.returncode, INTERRUPTED)
        # The progress line is ended before the message, which gets a line of its own.
        self.assertRegex(seen.decode(), r"configuration [|/\\-] \d+\.\d s  \[simulated board\]\r?\n"
                                        r"kestrelctl: config: interrupted \(Ctrl-C\)")
        doc = one_document(self, stdout)
        self.assertEqual((doc["ok"], doc["status"], doc["command"]), (False, INTERRUPTED, "config"))

    def test_a_refused_calibration_file_names_its_line(self):
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        numbers = "".join("%d\n" % k for k in range(98))
        # (content, what the message says, or None when the library takes the file)
        cases = [
            (numbers, None),
            ("1 volt\n2.5e3 trailing text\n", None),
            ("4.9e-324\n", None),                      # a subnormal is a number
            ("1\n2\n\n   \n\n", None),                 # blank lines at the end
            (numbers + "not read\n", None),             # line 99 is never read
            ("1" + " " * 4095 + "\n", None),            # 4096 bytes exactly
            ("", "holds no number"),
            ("\n \n", "holds no number"),
            ("1\n\n2\n", "line 2 is blank"),
            ("1\n2\nabc\n", "line 3: 'abc' holds no number"),
            ("1\n1e999\n", "line 2: '1e999' is too large for a double"),
            ("1e-999\n", "line 1: '1e-999' is too small for a double"),
            ("1\n1" + " " * 4096 + "\n", "line 2 is longer than 4096 bytes"),
        ]
        for number, (content, problem) in enumerate(cases):
            with self.subTest(content=content[:20], problem=problem):
                path = os.path.join(directory, "cal%d.txt" % number)
                with open(path, "w") as f:
                    f.write(content)
                result = kestrelctl("--sim", "calibration", "file", path)
                self.assertEqual(result.returncode, 0 if problem is None else 1, result.stderr)
                if problem is not None:
                    self.assertIn("vxclk_initializeInstance: 1", result.stderr)
                    self.assertIn(problem, result.stderr)
        for path, problem in ((directory, "is not a regular file"),
                              (os.path.join(directory, "missing.txt"), "does not exist")):
            result = kestrelctl("--sim", "--json", "calibration", "file", path)
            self.assertEqual(result.returncode, 1)
            self.assertIn(problem, one_document(self, result.stdout)["detail"])

    def test_demo_hint_runs_as_the_program_was_started(self):
        directory, name = os.path.split(KESTRELCTL)
        elsewhere = "/nonexistent"
        # (argv[0], working directory, PATH, the program the hint names)
        cases = [(KESTRELCTL, None, elsewhere, KESTRELCTL), ("./" + name, directory, elsewhere, "./" + name),
                 (name, None, directory, name), (KESTRELCTL, None, directory, name)]
        for argv0, cwd, path, expected in cases:
            with self.subTest(argv0=argv0, path=path):
                program = KESTRELCTL if argv0 == name else argv0
                env = {"PATH": path + os.pathsep + os.environ.get("PATH", "")}
                result = subprocess.run([argv0, "--json", "demo"], executable=program, cwd=cwd, capture_output=True,
                                        text=True, timeout=60, env=env)
                self.assertEqual(result.returncode, 0, result.stderr)
                hints = documents(result.stdout)[-1]["next"]
                self.assertEqual(hints[0], expected + " --sim info")
                # The hint works from where the tour ran.
                plan = subprocess.run(hints[1], shell=True, cwd=cwd, capture_output=True, text=True, timeout=60,
                                      env=env)
                self.assertEqual(plan.returncode, 0, plan.stderr)

    def test_demo(self):
        # The tour ignores the board settings and needs no flags.
        result = kestrelctl("demo", board_env=random_loopback())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")  # not a terminal: no progress drawn
        lines = result.stdout.splitlines()
        for line in lines:
            self.assertTrue(line.endswith(MARKER), line)
        for n in range(1, 6):
            self.assertTrue(any(line.startswith("%d/5 " % n) for line in lines), n)
        received = re.search(r"received (\d+)", result.stdout)
        self.assertEqual(int(received.group(1)), 2 * 300 + 5)


class ScriptTests(unittest.TestCase):
    """run: one connection, line numbers, --keep-going."""

    SCRIPT = "\n".join([
        "# set up the outputs",      # 1
        "power tx2 100",             # 2
        "",                          # 3
        "divider 3   # one-hot 8",   # 4
        "tx2 am amplitude 3",        # 5: refused, AM is not enabled
        "fm enable",                 # 6
    ]) + "\n"

    def write_script(self, text):
        handle = tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False)
        handle.write(text)
        handle.close()
        self.addCleanup(os.unlink, handle.name)
        return handle.name

    def test_a_failing_line_stops_the_run(self):
        result = kestrelctl("--sim", "--json", "run", self.write_script(self.SCRIPT))
        self.assertEqual(result.returncode, 1)
        docs = documents(result.stdout)
        self.assertEqual([d.get("line") for d in docs], [2, 4, 5, None])
        self.assertFalse(docs[2]["ok"])
        self.assertEqual(docs[2]["call"], "vxclk_setTx2AMAmplitude")
        self.assertEqual(docs[3]["failedLines"], [5])
        self.assertIn("line 5: vxclk_setTx2AMAmplitude: 1", result.stderr)

    def test_keep_going(self):
        result = kestrelctl("--sim", "--json", "run", "--keep-going", self.write_script(self.SCRIPT))
        self.assertEqual(result.returncode, 1)
        docs = documents(result.stdout)
        self.assertEqual([d.get("line") for d in docs], [2, 4, 5, 6, None])
        self.assertTrue(docs[3]["ok"])
        self.assertEqual(docs[4]["failedLines"], [5])

    def test_human_output_names_the_line(self):
        result = kestrelctl("--sim", "run", "-", stdin=self.SCRIPT)
        self.assertEqual(result.returncode, 1)
        self.assertIn("Tx2 power set to 100", result.stdout)
        self.assertNotIn("FM enabled", result.stdout)
        self.assertRegex(result.stderr, r"^kestrelctl: line 5: ")

    def test_a_bad_line_stops_the_run_before_anything_is_sent(self):
        script = "fm enable\nclock 1800\nclock 18000\nfm disable\n"
        result = kestrelctl("--sim", "run", "-", stdin=script)
        self.assertEqual(result.returncode, USAGE)
        self.assertEqual(result.stdout, "")
        self.assertIn("line 3: clock: MHZ: 18000 is out of range", result.stderr)

    def test_keep_going_skips_bad_lines(self):
        script = "fm enable\nfm bogus\nrun other.txt\nfm disable\n"
        result = kestrelctl("--sim", "--json", "run", "--keep-going", "-", stdin=script)
        self.assertEqual(result.returncode, USAGE)
        docs = documents(result.stdout)
        self.assertEqual([d["ok"] for d in docs[:4]], [True, False, False, True])
        self.assertEqual(docs[-1]["failedLines"], [2, 3])

    def test_quoted_paths_and_comments(self):
        directory = tempfile.mkdtemp()
        path = os.path.join(directory, "cal with space.txt")
        with open(path, "w") as f:
            for row in range(14):
                f.write("0\n0\n0\n1\n0\n%d\n%d\n" % (row, 1000 + row))
        self.addCleanup(os.rmdir, directory)
        self.addCleanup(os.unlink, path)
        script = '# calibration from a file\ncalibration file "%s"  # quoted\ncalibration limits 4\n' % path
        result = kestrelctl("--sim", "--json", "run", "-", stdin=script)
        self.assertEqual(result.returncode, 0, result.stderr)
        limits = documents(result.stdout)[1]
        self.assertEqual((limits["min"], limits["max"]), (4.0, 1004.0))


@unittest.skipUnless(os.environ.get("KESTRELD"), "needs kestreld (KESTRELD)")
class SweepTests(unittest.TestCase):
    """kestrelctl sweep through kestreld; a board of any other kind is refused."""

    @classmethod
    def setUpClass(cls):
        cls.daemon = SimDaemon()
        cls.board = "kestreld://%s:5025" % cls.daemon.address

    @classmethod
    def tearDownClass(cls):
        assert cls.daemon.stop() == 0

    def sweep(self, *args, expect=0):
        result = kestrelctl("--board", self.board, "--json", "sweep", *args)
        self.assertEqual(result.returncode, expect, result.stderr)
        return one_document(self, result.stdout)

    def test_a_list_runs_to_its_end_and_a_sweep_stops_at_abort(self):
        run = self.sweep("list", "100,200,300,400", "--dwell", "0.01", "--wait")
        self.assertEqual((run["points"], run["dwellSeconds"]), (4, 0.01))
        status = self.sweep("status")
        self.assertEqual((status["state"], status["mode"], status["index"]), ("idle", "LIST", 3))
        self.sweep("linear", "100", "2000", "1000", "--dwell", "0.5")
        self.assertEqual(self.sweep("status")["state"], "running")
        self.sweep("abort")
        self.assertEqual((self.sweep("status")["state"], self.sweep("status")["mode"]), ("idle", "SWE"))

    def test_the_daemon_refuses_what_is_out_of_its_ranges(self):
        refused = self.sweep("list", "100,200", "--dwell", "0.00001", expect=3)
        self.assertIn("-222", refused["error"])

    def test_a_board_not_served_by_kestreld_is_refused(self):
        for args in (["--sim"], ["--board", "127.0.0.1"]):
            with self.subTest(args=args):
                result = kestrelctl(*args, "sweep", "status")
                self.assertEqual(result.returncode, USAGE, result.stderr)
                self.assertIn("sweeps run in kestreld", result.stderr)


class BoardProgramCase(unittest.TestCase):
    """Starts kestrel-board once for the class, as ``self.board``."""

    @classmethod
    def setUpClass(cls):
        cls.board = BoardProgram()

    @classmethod
    def tearDownClass(cls):
        cls.board.stop()


class BoardProgramTests(BoardProgramCase):
    """Against kestrel-board, as against a board on the network."""

    def test_info_from_option_and_environment(self):
        result = kestrelctl("--board", self.board.address, "--json", "info")
        self.assertEqual(result.returncode, 0, result.stderr)
        doc = one_document(self, result.stdout)
        self.assertFalse(doc["simulated"])
        self.assertEqual(doc["address"], self.board.address)
        result = kestrelctl("info", board_env=self.board.address)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn(MARKER, result.stdout)
        self.assertIn("board ID", result.stdout)

    def test_a_board_by_host_name(self):
        # localhost is 127.0.0.1: a board there, on a port of its own.
        board = BoardProgram(port=free_port(), address="127.0.0.1")
        self.addCleanup(board.stop)
        env = {"KESTREL_PORT": str(board.port)}
        result = kestrelctl("--board", "localhost", "--json", "info", env_extra=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(one_document(self, result.stdout)["address"], "127.0.0.1")
        self.assertIn("localhost (127.0.0.1)", kestrelctl("info", board_env="localhost", env_extra=env).stdout)
        result = kestrelctl("--board", "board.invalid", "info")
        self.assertEqual(result.returncode, USAGE)
        self.assertIn("'board.invalid' has no IPv4 address", result.stderr)

    def test_unreachable_board(self):
        nowhere = random_loopback()
        result = kestrelctl("--board", nowhere, "info")
        self.assertEqual(result.returncode, NO_BOARD)
        self.assertEqual(len(result.stderr.splitlines()), 1)
        self.assertIn("vxclk_connect", result.stderr)
        self.assertIn(nowhere, result.stderr)
        result = kestrelctl("--json", "clock", "1800", board_env=nowhere)
        self.assertEqual(result.returncode, NO_BOARD)
        self.assertEqual(one_document(self, result.stdout)["status"], NO_BOARD)

    def test_each_process_keeps_the_clock_the_board_has(self):
        # Every command a process of its own: those that re-upload the
        # synthesizer must plan from the board's stored clock, not a blank model.
        for command in (["clock", "1800"], ["fm", "enable"], ["fm", "rate", "3"], ["power", "tx1", "10"]):
            result = kestrelctl("--board", self.board.address, *command)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stderr, "")
            info = one_document(self, kestrelctl("--board", self.board.address, "--json", "info").stdout)
            self.assertEqual(info["vcoLock"], 1, command)

    def test_board_memory_outlives_the_connection(self):
        result = kestrelctl("--board", self.board.address, "memory", "write", "40000", "3.25")
        self.assertEqual(result.returncode, 0, result.stderr)
        result = kestrelctl("--board", self.board.address, "--json", "memory", "read", "40000")
        self.assertEqual(one_document(self, result.stdout)["value"], 3.25)

    def test_saved_calibration_row_is_used_after_reconnecting(self):
        result = kestrelctl("--board", self.board.address, "calibration", "save", "2", "1", "0", "0", "0", "1",
                            "0", "10", "2000")
        self.assertEqual(result.returncode, 0, result.stderr)
        result = kestrelctl("--board", self.board.address, "--json", "run", "-",
                            stdin="calibration board\ncalibration limits 2\nfm custom 2\n")
        self.assertEqual(result.returncode, 5)
        limits = documents(result.stdout)[1]
        self.assertEqual((limits["min"], limits["max"]), (10.0, 2000.0))

    def test_configuration_readback(self):
        script = "clock 2500\nfm enable\nfm rate 3\npower tx2 100\ndivider 3\ntx2 buj prbs 7 1\n"
        result = kestrelctl("--board", self.board.address, "run", "-", stdin=script)
        self.assertEqual(result.returncode, 0, result.stderr)

        # stderr on a terminal: the readback animates a progress line there.
        master, slave = pty.openpty()
        proc = subprocess.Popen([KESTRELCTL, "--board", self.board.address, "--json", "config"],
                                stdout=subprocess.PIPE, stderr=slave, text=True)
        os.close(slave)
        progress = []

        def drain():
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    return
                if not chunk:
                    return
                progress.append(chunk)

        reader = threading.Thread(target=drain)
        reader.start()
        stdout, _ = proc.communicate(timeout=60)
        reader.join(timeout=10)
        os.close(master)
        self.assertEqual(proc.returncode, 0)
        self.assertIn(b"reading the board's configuration", b"".join(progress))
        config = one_document(self, stdout)["config"]
        self.assertAlmostEqual(config["generateFrequency"], 2500.0)
        self.assertEqual(config["generateOption"], 19)
        self.assertTrue(config["fmEnable"])
        self.assertEqual(config["fmFrequency"], 1000000)
        self.assertEqual(config["tx2Power"], 100)
        self.assertEqual(config["tx2Divider"], 3)
        self.assertEqual(config["tx2BUJPRBS"], 7)
        self.assertTrue(config["tx2BUJPRBSFlag"])


class LibraryEnvironmentTests(BoardProgramCase):
    """What the library takes from the environment, seen through kestrelctl:
    the trace of every exchange, the board's port and the time limits."""

    def test_trace_decodes_every_exchange(self):
        trace_file = os.path.join(tempfile.mkdtemp(), "trace.log")
        self.addCleanup(shutil.rmtree, os.path.dirname(trace_file))
        for options, env in (["--trace"], {}), ([], {"KESTREL_TRACE": trace_file}):
            with self.subTest(options=options, env=env):
                result = kestrelctl("--board", self.board.address, "--json", *options, "clock", "1800",
                                    env_extra=env)
                self.assertEqual(result.returncode, 0, result.stderr)
                if env:
                    with open(trace_file) as traced:
                        lines = traced.read().splitlines()
                    os.remove(trace_file)
                else:
                    lines = result.stderr.splitlines()
                lines = [line for line in lines if line.startswith("kestrel ")]
                sent = [line for line in lines if " -> " in line]
                self.assertEqual(len(sent), len([line for line in lines if " <- " in line]))
                numbers = [int(m.group(1)) for m in
                           (re.search(r"-> write reg 0:262 SynthNumber = 0x[0-9a-f]{4} \((\d+)\)", line)
                            for line in sent) if m]
                # Two uploads of the worked example's words, register 0 last.
                self.assertEqual(numbers, list(reversed(PLAN_1800_REGISTERS)) * 2)
                self.assertTrue(all(self.board.address in line for line in lines))
                self.assertTrue(any(re.search(r"<- block at 0x5000, 128 bytes, \d+ us", line) for line in lines))

    def test_trace_names_the_cause_of_a_failure(self):
        with socket.create_server((random_loopback(), 6653)) as hung:  # takes the connection, never answers
            result = kestrelctl("--board", hung.getsockname()[0], "--trace", "info",
                                env_extra={"KESTREL_EXCHANGE_TIMEOUT_MS": "200"})
        self.assertEqual(result.returncode, NO_BOARD)
        self.assertRegex(result.stderr, r"-> read reg 0:20 BoardId\n.*<- FAILED, timed out, 0 bytes")

    def test_port_and_time_limits_from_the_environment(self):
        other = BoardProgram(port=random.randint(20000, 30000))
        self.addCleanup(other.stop)
        cases = [({"KESTREL_PORT": str(other.port)}, 0, None),
                 ({}, NO_BOARD, None),
                 ({"KESTREL_PORT": "http", "KESTREL_CONNECT_TIMEOUT_MS": "500"}, NO_BOARD, "KESTREL_PORT"),
                 ({"KESTREL_PORT": str(other.port), "KESTREL_EXCHANGE_TIMEOUT_MS": "0"}, 0,
                  "KESTREL_EXCHANGE_TIMEOUT_MS")]
        for env, status, ignored in cases:
            with self.subTest(env=env):
                result = kestrelctl("--board", other.address, "info", env_extra=env)
                self.assertEqual(result.returncode, status, result.stderr)
                warnings = [line for line in result.stderr.splitlines() if "ignoring" in line]
                self.assertEqual(len(warnings), 1 if ignored else 0, result.stderr)
                if ignored:
                    self.assertIn(ignored, warnings[0])


if __name__ == "__main__":
    unittest.main()
