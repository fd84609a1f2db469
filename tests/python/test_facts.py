"""The package's copies of the board's facts against the library's own.

The library names each fact once, in src/protocol/board_protocol.h; the
package keeps a copy of the few it needs without loading anything. These
tests read the header and hold the copies to it.
"""

from __future__ import annotations

import re
import unittest
from pathlib import Path

import kestrel

HEADER = Path(__file__).resolve().parents[2] / "src" / "protocol" / "board_protocol.h"


def constant(name: str) -> str:
    """The initializer text of `inline constexpr ... name = ...;` in the header."""
    text = HEADER.read_text(encoding="utf-8")
    match = re.search(r"inline constexpr [^=;]*\b" + re.escape(name) + r"\s*=\s*([^;]*);", text)
    if match is None:
        raise AssertionError(f"{name} is not in {HEADER}")
    return match.group(1)


def numbers(initializer: str) -> tuple:
    return tuple(float(x) for x in re.findall(r"-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?", initializer))


class FactsTest(unittest.TestCase):
    def test_fm_rate_table_matches_the_library(self) -> None:
        self.assertEqual(kestrel.FM_RATES_MHZ, numbers(constant("kFMRatesMHz")))

    def test_memory_size_matches_the_library(self) -> None:
        self.assertEqual(kestrel.MEMORY_SIZE, int(numbers(constant("kMemorySize"))[0]))

    def test_a_changed_table_would_be_noticed(self) -> None:
        changed = numbers(constant("kFMRatesMHz"))[:-1] + (60.0,)
        self.assertNotEqual(kestrel.FM_RATES_MHZ, changed)


if __name__ == "__main__":
    unittest.main()
