#!/usr/bin/env python3
"""The Wireshark dissector on a capture kestrel-board makes while kestrelctl
sets a 1800 MHz clock and reads the board's identity: every frame the
emulator logged must come out of tshark with the same fields, and every
answer with the value the emulator answered."""
import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from kestrelctl_test import PLAN_1800_REGISTERS, PLAN_1800_VALUES  # noqa: E402  the worked example's 43 words

BOARD_PROGRAM = os.environ["KESTREL_BOARD_PROGRAM"]
KESTRELCTL = os.environ["KESTRELCTL"]
DISSECTOR = os.environ["KESTREL_DISSECTOR"]
SKIP = 77  # ctest's SKIP_RETURN_CODE

FIELDS = ["frame.number", "tcp.stream", "kestrel.answer", "kestrel.kind", "kestrel.page", "kestrel.reg",
          "kestrel.reg_name", "kestrel.value", "kestrel.mem_addr", "kestrel.request_in", "kestrel.block_data",
          "kestrel.answer_offset"]
# kestrel-board --trace: "frame 7: write page 0 register 10 value 0x2040", "frame 1: block read address 20480 (...)"
TRACE = re.compile(r"frame \d+: (?:(read|write) page (\d+) register (\d+) value (0x[0-9A-F]+)|block (read|write) address (\d+))")


def capture_session(workdir):
    """Runs the emulator with --pcap and --trace while kestrelctl works: the
    capture file and the emulator's frame log."""
    pcap = os.path.join(workdir, "board.pcap")
    for _ in range(10):
        address = "127.%d.%d.%d" % (random.randint(140, 250), random.randint(0, 255), random.randint(1, 254))
        board = subprocess.Popen([BOARD_PROGRAM, "--address", address, "--trace", "--pcap", pcap],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([board.stdout], [], [], 10)
        if ready and "listening" in board.stdout.readline():
            break
        board.kill()
        board.communicate()
    else:
        raise RuntimeError("kestrel-board did not start")
    try:
        for args in (["clock", "1800"], ["info"]):
            result = subprocess.run([KESTRELCTL, "--board", address] + args, capture_output=True, text=True, timeout=60)
            if result.returncode != 0:
                raise RuntimeError("kestrelctl %s: %s" % (" ".join(args), result.stderr))
    finally:
        board.send_signal(signal.SIGTERM)
        trace, _ = board.communicate(timeout=10)
    return pcap, trace


def write_capture(path, segments):
    """A capture of one TCP stream from (from_board, payload) segments, as a
    board that splits its answers and pads them would send them."""
    host, board = (bytes([127, 0, 0, 1]), 50000), (bytes([127, 0, 0, 9]), 6653)
    seq = {False: 1000, True: 5000}
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        for number, (from_board, payload) in enumerate(segments):
            (src, sport), (dst, dport) = (board, host) if from_board else (host, board)
            tcp = struct.pack(">HHIIBBHHH", sport, dport, seq[from_board], seq[not from_board], 0x50, 0x18,
                              65535, 0, 0)
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 40 + len(payload), number, 0, 64, 6, 0, src, dst)
            out.write(struct.pack("<IIII", 1700000000, number, 40 + len(payload), 40 + len(payload)))
            out.write(ip + tcp + payload)
            seq[from_board] += len(payload)


def frame(*pairs):
    """A 256-byte frame with the given (offset, byte) pairs set."""
    data = bytearray(256)
    for offset, byte in pairs:
        data[offset] = byte
    return bytes(data)


def tshark(pcap, *options):
    command = ["tshark", *options, "-r", pcap, "-X", "lua_script:" + DISSECTOR, "-Y", "kestrel", "-T", "fields",
               "-E", "separator=/t", "-E", "occurrence=f"]
    for field in FIELDS:
        command += ["-e", field]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if result.returncode != 0 or "Lua" in result.stderr:
        raise RuntimeError("tshark failed: " + result.stderr)
    rows = [dict(zip(FIELDS, line.split("\t"))) for line in result.stdout.splitlines()]
    for row in rows:
        row["kestrel.answer"] = row["kestrel.answer"] in ("1", "True")
    return rows


def as_number(text):
    return int(text, 0) if text else None


class DissectorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.TemporaryDirectory()
        cls.pcap, trace = capture_session(cls.workdir.name)
        cls.logged = [m.groups() for m in TRACE.finditer(trace)]
        cls.rows = tshark(cls.pcap)
        cls.frames = [r for r in cls.rows if not r["kestrel.answer"]]
        cls.answers = {r["kestrel.request_in"]: r for r in cls.rows if r["kestrel.answer"]}

    @classmethod
    def tearDownClass(cls):
        cls.workdir.cleanup()

    def test_every_logged_frame_and_its_answer(self):
        self.assertGreater(len(self.logged), 2 * len(PLAN_1800_REGISTERS))
        self.assertEqual(len(self.frames), len(self.logged))
        for logged, frame in zip(self.logged, self.frames):
            access, page, reg, value, block, address = logged
            answer = self.answers.get(frame["frame.number"])
            self.assertIsNotNone(answer, "no answer to frame %s" % frame["frame.number"])
            if access:
                kind = "register " + access
                self.assertEqual((frame["kestrel.kind"], as_number(frame["kestrel.page"]), as_number(frame["kestrel.reg"])),
                                 (kind, int(page), int(reg)), frame)
                # A write carries its value; a read's value comes back in the answer.
                self.assertEqual(as_number((frame if access == "write" else answer)["kestrel.value"]), int(value, 0), frame)
                self.assertEqual((answer["kestrel.kind"], answer["kestrel.reg"]), (kind, reg))
            else:
                self.assertEqual((frame["kestrel.kind"], as_number(frame["kestrel.mem_addr"])),
                                 ("block " + block, int(address)), frame)
                if block == "read":  # the emulator's memory starts blank
                    self.assertEqual(answer["kestrel.block_data"], "ff" * 128)

    def test_clock_frames_carry_the_library_names(self):
        writes = [(r["kestrel.reg"], r["kestrel.reg_name"], as_number(r["kestrel.value"]))
                  for r in self.frames if r["kestrel.kind"] == "register write"]
        self.assertIn("MemoryAddress", {name for reg, name, _ in writes if reg == "10"})
        self.assertIn("MemoryData", {name for reg, name, _ in writes if reg == "11"})
        # Synthesizer words go as a number to 262, then its value to 263: the
        # worked example's plan, then the same registers again when Tx1's
        # power is applied (which changes only the power's word).
        words = [(number, value) for (reg, name, number), (next_reg, next_name, value) in zip(writes, writes[1:])
                 if (reg, name, next_reg, next_name) == ("262", "SynthNumber", "263", "SynthValue")]
        plan = sorted(zip(PLAN_1800_REGISTERS, PLAN_1800_VALUES))
        self.assertEqual(len(words), 2 * len(plan))
        self.assertEqual(sorted(words[:len(plan)]), plan)
        self.assertEqual(sorted(n for n, _ in words[len(plan):]), PLAN_1800_REGISTERS)
        self.assertEqual((words[len(plan) - 1][0], words[-1][0]), (0, 0), "register 0 goes last")
        reads = {r["kestrel.reg_name"] for r in self.frames if r["kestrel.kind"] == "register read"}
        self.assertLessEqual({"BoardId", "Serial0", "Temperature"}, reads)

class SplitAnswerTest(unittest.TestCase):
    """Answers in pieces, with bytes after them: each is matched to its frame
    and decoded once the host would have the bytes it needs."""

    def test_pieces_and_padding(self):
        block = bytes(range(128))
        read_board_id = frame((0, 0xF0), (4, 20))
        read_block = frame((0, 0xF1), (2, 1), (3, 0x80), (5, 0x00), (6, 0x50))
        write_261 = frame((0, 0xF0), (4, 0x05), (5, 0x81), (6, 1))
        aux_3 = frame((0, 0xF1), (1, 3), (2, 5), (3, 6), (4, 7))
        segments = [(False, read_board_id), (True, b"\xf0"), (True, b"\x31\x4b\x00\xaa\xbb"),
                    (False, read_block), (True, block[:50]), (True, block[50:100]), (True, block[100:]),
                    (False, write_261), (True, b"\xf0\x01\x00\x00"), (True, b"\xcc\xdd"),
                    (False, aux_3), (True, b"\xf1\x00\x00\x00")]
        with tempfile.TemporaryDirectory() as workdir:
            pcap = os.path.join(workdir, "split.pcap")
            write_capture(pcap, segments)
            # One pass, as tshark reads by default, and two, as the GUI does.
            runs = {"one pass": tshark(pcap), "two passes": tshark(pcap, "-2")}
        for run, rows in runs.items():
            found = [(r["frame.number"], r["kestrel.answer"], r["kestrel.kind"], r["kestrel.reg_name"],
                      r["kestrel.value"], r["kestrel.mem_addr"], r["kestrel.request_in"], r["kestrel.block_data"])
                     for r in rows]
            self.assertEqual(found, [
                ("1", False, "register read", "BoardId", "", "", "", ""),
                ("3", True, "register read", "BoardId", "0x4b31", "", "1", ""),
                ("4", False, "block read", "", "", "20480", "", ""),
                ("7", True, "block read", "", "", "20480", "4", block.hex()),
                ("8", False, "register write", "Register261", "0x0001", "", "", ""),
                ("9", True, "register write", "Register261", "", "", "8", ""),
                ("10", True, "register write", "", "", "", "8", ""),
                ("11", False, "auxiliary read 3", "", "", "", "", ""),
                ("12", True, "auxiliary read 3", "", "", "", "11", ""),
            ], run)
            padding = next(r for r in rows if r["frame.number"] == "10")
            self.assertEqual(padding["kestrel.answer_offset"], "4", run)


if __name__ == "__main__":
    if shutil.which("tshark") is None:
        print("tshark not found: the dissector test is skipped (scripts/setup installs Debian's tshark)")
        sys.exit(SKIP)
    unittest.main()
