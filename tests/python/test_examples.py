"""The example scripts run end to end, against their own emulator or a given address."""

from __future__ import annotations

import subprocess
import sys
import unittest

from support import EXAMPLES_DIR, EmulatorTestCase


def run_example(name: str, *arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, str(EXAMPLES_DIR / name), *arguments],
        capture_output=True,
        text=True,
        timeout=120,
    )


class ExampleTest(EmulatorTestCase):
    def check(self, result: subprocess.CompletedProcess, *expected: str) -> None:
        self.assertEqual(result.returncode, 0, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")
        for text in expected:
            self.assertIn(text, result.stdout)

    def test_clock_and_power_with_its_own_emulator(self) -> None:
        result = run_example("clock_and_power.py")
        self.check(result, "using the board emulator", "VCO locked", "tx2_power            300")

    def test_fm_sweep_with_its_own_emulator(self) -> None:
        result = run_example("fm_sweep.py")
        self.check(result, "using the board emulator", "50000000 locked", "custom")
        self.assertEqual(result.stdout.count(" locked"), 12)

    def test_calibration_with_its_own_emulator(self) -> None:
        result = run_example("calibration.py")
        self.check(result, "row 13:   113.0 ..  4013.0", "reads back as 12.5 .. 2047.5")

    def test_verbose_logs_each_call(self) -> None:
        result = run_example("clock_and_power.py", self.address, "--verbose")
        self.check(result, "VCO locked")
        self.assertIn("kestrel DEBUG: vxclk_generateClock(1800.0, 19)", result.stderr)

    def test_a_failure_names_the_address_and_cause(self) -> None:
        result = run_example("clock_and_power.py", "300.1.1.1")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("error: connect on 300.1.1.1:", result.stderr)
        self.assertIn("cause: bad address", result.stderr)

    def test_an_address_on_the_command_line(self) -> None:
        result = run_example("fm_sweep.py", self.address, "--amplitude", "100")
        self.check(result, "50000000 locked")
        self.assertNotIn("using the board emulator", result.stdout)


if __name__ == "__main__":
    unittest.main()
