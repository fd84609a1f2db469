"""kestrel.pymeasure is optional: the package imports without PyMeasure, and
the instrument module says what to install. (The instrument itself is tried
against kestreld in tests/kestreld/lxi_test.py.)"""

from __future__ import annotations

import subprocess
import sys
import unittest

# Runs in a fresh interpreter in which `import pymeasure` fails, as where it is not installed.
WITHOUT_PYMEASURE = """
import sys
sys.modules["pymeasure"] = None
import kestrel
print("kestrel", kestrel.__version__)
try:
    import kestrel.pymeasure
except ImportError as e:
    print("refused:", e)
"""


class OptionalPyMeasureTest(unittest.TestCase):
    def test_the_package_imports_without_pymeasure_and_the_instrument_says_what_is_missing(self) -> None:
        result = subprocess.run([sys.executable, "-c", WITHOUT_PYMEASURE], capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[0].startswith("kestrel "), lines)
        self.assertIn("python3-pymeasure", lines[1])
        self.assertIn("pip install pymeasure", lines[1])


if __name__ == "__main__":
    unittest.main()
