"""The board's stored configuration as a Python value."""

from __future__ import annotations

import dataclasses
from typing import Any, Dict

from .native import ActiveConfig

__all__ = ["BoardConfig"]


@dataclasses.dataclass(frozen=True)
class BoardConfig:
    """The configuration stored on the board, as :meth:`kestrel.Board.active_config`
    reads it back.

    Every setter of the library mirrors the value it applied into the board's
    non-volatile memory; this is what the board holds there, including values
    left by an earlier connection. Slots never written read as 0. The names
    are those of the C record ``ActiveConfig`` in snake case.
    ``generate_frequency`` and ``reference_frequency`` are in MHz,
    ``fm_frequency`` and ``tx2_pm_frequency`` in Hz.
    """

    clock_source: int
    register261: int
    generate_option: int
    generate_frequency: float
    fm_enable: bool
    fm_frequency: int
    fm_amplitude: int
    fm_phase_skew: int
    fm_rj_amplitude: int
    tx2_pm_enable: bool
    tx2_pm_frequency: int
    tx2_pm_amplitude: int
    tx2_pm_phase_shift_amplitude: int
    tx2_pm_rj_enable: bool
    tx2_pm_rj_amplitude: int
    tx2_pm_buj_enable: bool
    tx2_pm_buj_amplitude: int
    tx2_pm_buj_line_rate: int
    tx2_am_enable: bool
    tx2_am_amplitude: int
    tx2_am_rj_amplitude: int
    tx2_buj_amplitude: int
    tx2_buj_prbs: int
    tx2_buj_prbs_flag: bool
    reference_frequency: float
    tx2_divider: int
    tx1_power: int
    tx2_power: int

    @classmethod
    def from_record(cls, record: ActiveConfig) -> "BoardConfig":
        """Converts the C record filled by ``vxclk_getActiveConfig``."""
        return cls(**{field: getattr(record, c_name) for field, c_name in _C_NAMES.items()})

    def as_dict(self) -> Dict[str, Any]:
        """The fields as a plain dictionary, in declaration order."""
        return dataclasses.asdict(self)


#: Field of BoardConfig -> field of the C record, in the record's order.
_C_NAMES: Dict[str, str] = {
    "clock_source": "clockSource",
    "register261": "register261",
    "generate_option": "generateOption",
    "generate_frequency": "generateFrequency",
    "fm_enable": "fmEnable",
    "fm_frequency": "fmFrequency",
    "fm_amplitude": "fmAmplitude",
    "fm_phase_skew": "fmPhaseSkew",
    "fm_rj_amplitude": "fmRJAmplitude",
    "tx2_pm_enable": "tx2PMEnable",
    "tx2_pm_frequency": "tx2PMFrequency",
    "tx2_pm_amplitude": "tx2PMAmplitude",
    "tx2_pm_phase_shift_amplitude": "tx2PMPhaseShiftAmplitude",
    "tx2_pm_rj_enable": "tx2PMRJEnable",
    "tx2_pm_rj_amplitude": "tx2PMRJAmplitude",
    "tx2_pm_buj_enable": "tx2PMBUJEnable",
    "tx2_pm_buj_amplitude": "tx2PMBUJAmplitude",
    "tx2_pm_buj_line_rate": "tx2PMBUJLineRate",
    "tx2_am_enable": "tx2AMEnable",
    "tx2_am_amplitude": "tx2AMAmplitude",
    "tx2_am_rj_amplitude": "tx2AMRJAmplitude",
    "tx2_buj_amplitude": "tx2BUJAmplitude",
    "tx2_buj_prbs": "tx2BUJPRBS",
    "tx2_buj_prbs_flag": "tx2BUJPRBSFlag",
    "reference_frequency": "referenceFrequency",
    "tx2_divider": "tx2Divider",
    "tx1_power": "tx1Power",
    "tx2_power": "tx2Power",
}

assert list(_C_NAMES) == [f.name for f in dataclasses.fields(BoardConfig)]
assert list(_C_NAMES.values()) == [name for name, _ in ActiveConfig._fields_]
