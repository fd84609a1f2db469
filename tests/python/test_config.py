"""active_config() reads back what the setters stored on the board."""

from __future__ import annotations

import dataclasses
import unittest

import kestrel

from support import EmulatorTestCase


class BlankBoardTest(EmulatorTestCase):
    def test_a_blank_board_reads_as_zeros(self) -> None:
        config = self.board().active_config()  # about 3 s
        self.assertIsInstance(config, kestrel.BoardConfig)
        for field in dataclasses.fields(config):
            self.assertFalse(getattr(config, field.name), field.name)


class ReadbackTest(EmulatorTestCase):
    def test_the_setters_values_come_back(self) -> None:
        with kestrel.Board(self.address) as board:
            board.set_clock_source(1)
            board.generate_clock(1800.0)
            board.fm.enable()
            board.fm.set_frequency(3)
            board.fm.set_amplitude(300)
            board.fm.set_phase_skew(5)
            board.fm.set_rj_amplitude(7)
            board.tx2.pm.enable()
            board.tx2.pm.set_frequency(10.0)
            board.tx2.pm.set_amplitude(8)
            board.tx2.pm.set_phase_shift_amplitude(9)
            board.tx2.pm.rj.enable()
            board.tx2.pm.rj.set_amplitude(10)
            board.tx2.pm.buj.enable()
            board.tx2.pm.buj.set_amplitude(11)
            board.tx2.pm.buj.set_line_rate(12)
            board.tx2.am.enable()
            board.tx2.am.set_amplitude(13)
            board.tx2.am.rj.set_amplitude(14)
            board.tx2.buj.set_amplitude(15)
            board.tx2.buj.set_prbs(16, 1)
            board.set_tx2_divider(2)
            board.set_tx1_power(20)
            board.set_tx2_power(300)

        # A new connection reads what the board stored: nothing comes from the
        # host's memory of the settings.
        with kestrel.Board(self.address) as board:
            config = board.active_config()  # about 3 s

        expected = dict(
            clock_source=1,
            generate_option=19,
            generate_frequency=1800.0,
            fm_enable=True,
            fm_frequency=1_000_000,
            fm_amplitude=300,
            fm_phase_skew=5,
            fm_rj_amplitude=7,
            tx2_pm_enable=True,
            tx2_pm_frequency=10_000_000,
            tx2_pm_amplitude=8,
            tx2_pm_phase_shift_amplitude=9,
            tx2_pm_rj_enable=True,
            tx2_pm_rj_amplitude=10,
            tx2_pm_buj_enable=True,
            tx2_pm_buj_amplitude=11,
            tx2_pm_buj_line_rate=12,
            tx2_am_enable=True,
            tx2_am_amplitude=13,
            tx2_am_rj_amplitude=14,
            tx2_buj_amplitude=15,
            tx2_buj_prbs=16,
            tx2_buj_prbs_flag=True,
            reference_frequency=0.0,  # no setter writes it
            tx2_divider=2,
            tx1_power=20,
            tx2_power=300,
        )
        actual = config.as_dict()
        self.assertIsInstance(actual.pop("register261"), int)
        self.assertEqual(actual, expected)
        self.assertIsInstance(config.fm_enable, bool)
        self.assertIsInstance(config.generate_frequency, float)


if __name__ == "__main__":
    unittest.main()
