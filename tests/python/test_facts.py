"""The package's copies of the board's facts against the library's own.

The library names each fact once, in src/protocol/board_protocol.h, and the
version once, in CMakeLists.txt; the package keeps a copy of the few it needs
without loading anything. These tests read the sources and hold the copies to
them, and hold the produced frequency to the planner itself (kestrelctl plan).
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import unittest
from pathlib import Path

import kestrel
from kestrel import limits

SOURCE = Path(__file__).resolve().parents[2]
HEADER = SOURCE / "src" / "protocol" / "board_protocol.h"
SWEEP_PLAN = SOURCE / "tools" / "kestreld" / "sweep_plan.h"


def constant(name: str) -> str:
    """The initializer text of `inline constexpr ... name = ...;` in the header."""
    text = HEADER.read_text(encoding="utf-8")
    match = re.search(r"inline constexpr [^=;]*\b" + re.escape(name) + r"\s*=\s*([^;]*);", text)
    if match is None:
        raise AssertionError(f"{name} is not in {HEADER}")
    return match.group(1)


def numbers(initializer: str) -> tuple:
    return tuple(float(x) for x in re.findall(r"-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?", initializer))


def value(name: str) -> float:
    """A scalar constant, following constants defined by other constants."""
    text = constant(name).strip()
    if re.fullmatch(r"k\w+", text):
        return value(text)
    return float(int(text, 16)) if text.lower().startswith("0x") else numbers(text)[0]


def daemon_range(name: str) -> tuple:
    """The ends of `inline constexpr Range name{low, high};` in kestreld's
    sweep_plan.h, an end named by another constant of it followed."""
    text = SWEEP_PLAN.read_text(encoding="utf-8")

    def end(word: str) -> float:
        if re.fullmatch(r"k\w+", word):
            return float(re.search(r"inline constexpr [^=;]*\b" + word + r"\s*=\s*([^;]*);", text).group(1))
        return float(word)

    match = re.search(r"inline constexpr Range " + re.escape(name) + r"\{([^}]*)\}", text)
    if match is None:
        raise AssertionError(f"{name} is not in {SWEEP_PLAN}")
    return tuple(end(word.strip()) for word in match.group(1).split(","))


class FactsTest(unittest.TestCase):
    def test_fm_rate_table_matches_the_library(self) -> None:
        self.assertEqual(kestrel.FM_RATES_MHZ, numbers(constant("kFMRatesMHz")))

    def test_memory_size_matches_the_library(self) -> None:
        self.assertEqual(kestrel.MEMORY_SIZE, int(numbers(constant("kMemorySize"))[0]))

    def test_remote_scheme_matches_the_library(self) -> None:
        text = (SOURCE / "src" / "link" / "scpi_link.h").read_text(encoding="utf-8")
        match = re.search(r'kRemoteScheme = "([^"]*)"', text)
        self.assertIsNotNone(match)
        self.assertEqual(kestrel.link.REMOTE_SCHEME, match.group(1))

    def test_a_changed_table_would_be_noticed(self) -> None:
        changed = numbers(constant("kFMRatesMHz"))[:-1] + (60.0,)
        self.assertNotEqual(kestrel.FM_RATES_MHZ, changed)

    def test_limits_match_the_library(self) -> None:
        rates = numbers(constant("kFMRatesMHz"))
        cases = [
            (limits.TX1_POWER, value("kTx1PowerMin"), value("kTx1PowerMax"), False),
            (limits.TX2_POWER, value("kTx2PowerMin"), value("kTx2PowerMax"), False),
            (limits.TX2_DIVIDER, value("kTx2DividerMin"), value("kTx2DividerMax"), False),
            (limits.CLOCK_MHZ, value("kClockMinMHz"), value("kClockMaxMHz"), True),
            (limits.REGISTER_PAGE, 0, value("kRegisterPages") - 1, False),
            (limits.REGISTER, 0, value("kRegistersPerPage") - 1, False),
            (limits.REGISTER_WORD, 0, value("kRegisterWordMax"), False),
            (limits.FM_RATE_INDEX, 0, len(rates) - 1, False),
            (limits.FM_RATE_MHZ, rates[0], rates[-1], False),
            (limits.PM_FREQUENCY_MHZ, 0, value("kTx2PMFrequencyMaxMHz"), False),
        ]
        for allowed, low, high, exclusive in cases:
            with self.subTest(str(allowed)):
                self.assertEqual((allowed.low, allowed.high, allowed.open), (low, high, exclusive))
        self.assertEqual(kestrel.VCO_MIN_MHZ, value("kVcoMinMHz"))

    def test_sweep_limits_match_the_daemon(self) -> None:
        most = daemon_range("kPoints")[1]
        cases = [
            (limits.SWEEP_POINTS, daemon_range("kPoints")),
            (limits.LIST_POINTS, (1, most)),
            (limits.DWELL_SECONDS, daemon_range("kDwellSeconds")),
            (limits.SWEEP_COUNT, daemon_range("kCount")),
        ]
        for allowed, (low, high) in cases:
            with self.subTest(str(allowed)):
                self.assertEqual((allowed.low, allowed.high, allowed.open), (low, high, False))

    def test_the_version_is_the_projects(self) -> None:
        project = re.search(r"project\(KestrelLib VERSION ([\d.]+)", (SOURCE / "CMakeLists.txt").read_text())
        pyproject = re.search(r'^version = "([\d.]+)"', (SOURCE / "python" / "pyproject.toml").read_text(), re.M)
        self.assertEqual(kestrel.__version__, project.group(1))
        self.assertEqual(pyproject.group(1), project.group(1))


@unittest.skipUnless(os.environ.get("KESTRELCTL"), "needs kestrelctl (KESTRELCTL) for the planner's own answer")
class ProducedFrequencyTest(unittest.TestCase):
    """What the package says a request produces is what the planner plans."""

    REQUESTS = (20.000001, 21.123456789, 1367.523354828, 1800.0, 3549.4, 3549.49999, 3549.5, 3550.2, 4321.3,
                5008.7, 5499.6, 5499.999)

    def planned(self, mhz: float) -> float:
        out = subprocess.run([os.environ["KESTRELCTL"], "--json", "plan", repr(mhz)], capture_output=True, text=True,
                             check=True, timeout=60).stdout
        return json.loads(out)["producedMHz"]

    def test_produced_frequency_is_the_plans(self) -> None:
        for mhz in self.REQUESTS:
            with self.subTest(mhz=mhz):
                self.assertAlmostEqual(kestrel.produced_frequency_mhz(mhz), self.planned(mhz), delta=1e-9)
        with self.assertRaises(ValueError):
            kestrel.produced_frequency_mhz(5500.0)


if __name__ == "__main__":
    unittest.main()
