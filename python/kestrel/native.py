"""The C interface of KestrelLib, declared for ctypes.

Most users want :class:`kestrel.Board`; this module is for those who need the
library's functions as they are. :func:`library` finds and loads the shared
library once and returns it with every ``vxclk_`` function declared: exact
argument and result types, and, for each function that returns a status, a
check that raises the matching :class:`~kestrel.KestrelError` for any status
other than 0::

    from ctypes import byref, c_int32
    from kestrel import native

    lib = native.library()
    handle = lib.vxclk_createInstance()           # int, or None when out of memory
    try:
        lib.vxclk_connect(handle, b"192.168.1.20")  # raises NotConnected on failure
        board_id = c_int32()
        lib.vxclk_getBoardID(handle, byref(board_id))
        lib.vxclk_disconnect(handle)
    finally:
        lib.vxclk_destroyInstance(handle)

Where the library is looked for, in this order:

1. the file named by the ``KESTREL_LIBRARY`` environment variable (when it is
   set, nothing else is tried);
2. next to the package: in the ``kestrel`` package folder, then in the folder
   that holds it;
3. the system loader: ``ctypes.util.find_library("KestrelLib")``, then the plain
   names ``libKestrelLib.so.2`` / ``libKestrelLib.so`` (Linux),
   ``libKestrelLib.2.dylib`` (macOS) or ``KestrelLib.dll`` (Windows), which the
   loader looks up in its usual places (``LD_LIBRARY_PATH``, the cache of
   ``ldconfig``, ``PATH`` on Windows).

When none loads, :class:`~kestrel.LibraryNotFoundError` says where it looked.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import (
    POINTER,
    Structure,
    c_bool,
    c_char_p,
    c_double,
    c_int32,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from .errors import LibraryNotFoundError, error_for_status

__all__ = [
    "ActiveConfig",
    "API_VERSION",
    "FUNCTIONS",
    "LIBRARY_ENV",
    "library",
    "library_path",
    "load_library",
]

#: Environment variable naming the library file to load.
LIBRARY_ENV = "KESTREL_LIBRARY"

#: The version of the C interface this module declares. A library whose major
#: number differs is refused.
API_VERSION: Tuple[int, int, int] = (2, 2, 1)


class ActiveConfig(Structure):
    """The ``ActiveConfig`` record of ``KestrelLib.h``: the configuration stored
    on the board, as ``vxclk_getActiveConfig`` reads it back. 128 bytes,
    natural alignment, booleans one byte. :meth:`kestrel.Board.active_config`
    returns it as a :class:`kestrel.BoardConfig` instead."""

    _fields_ = [
        ("clockSource", c_int32),
        ("register261", c_int32),
        ("generateOption", c_int32),
        ("generateFrequency", c_double),  # MHz
        ("fmEnable", c_bool),
        ("fmFrequency", c_int32),  # Hz
        ("fmAmplitude", c_int32),
        ("fmPhaseSkew", c_int32),
        ("fmRJAmplitude", c_int32),
        ("tx2PMEnable", c_bool),
        ("tx2PMFrequency", c_int32),  # Hz
        ("tx2PMAmplitude", c_int32),
        ("tx2PMPhaseShiftAmplitude", c_int32),
        ("tx2PMRJEnable", c_bool),
        ("tx2PMRJAmplitude", c_int32),
        ("tx2PMBUJEnable", c_bool),
        ("tx2PMBUJAmplitude", c_int32),
        ("tx2PMBUJLineRate", c_int32),
        ("tx2AMEnable", c_bool),
        ("tx2AMAmplitude", c_int32),
        ("tx2AMRJAmplitude", c_int32),
        ("tx2BUJAmplitude", c_int32),
        ("tx2BUJPRBS", c_int32),
        ("tx2BUJPRBSFlag", c_bool),
        ("referenceFrequency", c_double),  # MHz
        ("tx2Divider", c_int32),
        ("tx1Power", c_int32),
        ("tx2Power", c_int32),
    ]


# The record crosses the library boundary: a layout that differs from the C
# header's would corrupt memory, so a mismatch stops the import.
_LAYOUT = {"generateFrequency": 16, "fmFrequency": 28, "referenceFrequency": 104, "tx2Power": 120}
if ctypes.sizeof(ActiveConfig) != 128 or any(
    getattr(ActiveConfig, name).offset != offset for name, offset in _LAYOUT.items()
):
    raise ImportError(
        f"ActiveConfig has size {ctypes.sizeof(ActiveConfig)} and offsets "
        f"{ {name: getattr(ActiveConfig, name).offset for name in _LAYOUT} }; "
        "the library expects 128 bytes and offsets 16, 28, 104, 120"
    )

_handle = c_void_p
_status = c_int32

#: Every function of the library: name -> (result type, argument types). A
#: result type of ``c_int32`` is a status code and is checked.
FUNCTIONS: Dict[str, Tuple[Any, List[Any]]] = {
    # Instance, connection, identity
    "vxclk_APIVersion": (POINTER(c_int32), [POINTER(c_int32)]),
    "vxclk_createInstance": (c_void_p, []),
    "vxclk_destroyInstance": (None, [_handle]),
    "vxclk_connect": (_status, [_handle, c_char_p]),
    "vxclk_disconnect": (_status, [_handle]),
    "vxclk_getBoardID": (_status, [_handle, POINTER(c_int32)]),
    "vxclk_getSerialNumber": (_status, [_handle, POINTER(c_uint64)]),
    "vxclk_checkVCOLock": (_status, [_handle, POINTER(c_int32)]),
    "vxclk_checkVCOVoltage": (_status, [_handle, POINTER(c_double)]),
    "vxclk_setClock": (_status, [_handle, c_uint8, c_uint16, c_uint16, POINTER(c_uint16)]),
    # Board memory
    "vxclk_getTemperature": (_status, [_handle, c_int32, POINTER(c_int32)]),
    "vxclk_getEEPROMAddress": (_status, [_handle, c_uint32, POINTER(c_double)]),
    "vxclk_writeEEPROMAddress": (_status, [_handle, c_uint32, POINTER(c_double)]),
    "vxclk_saveFMCalibrationValues": (_status, [_handle, c_double, c_uint16, POINTER(c_double)]),
    # FM modulation
    "vxclk_enableFM": (_status, [_handle, c_int32]),
    "vxclk_setFMFrequency": (_status, [_handle, c_int32]),
    "vxclk_setCustomFMFrequency": (_status, [_handle, c_double]),
    "vxclk_setFMAmplitude": (_status, [_handle, c_int32]),
    "vxclk_setFMPhaseSkew": (_status, [_handle, c_int32]),
    "vxclk_setFMRJAmplitude": (_status, [_handle, c_int32]),
    # Tx2 modulation, jitter, clock source
    "vxclk_enableTx2PM": (_status, [_handle, c_int32]),
    "vxclk_setTx2PMFrequency": (_status, [_handle, c_double]),
    "vxclk_setTx2PMAmplitude": (_status, [_handle, c_int32]),
    "vxclk_setTx2PMPhaseShiftAmplitude": (_status, [_handle, c_int32]),
    "vxclk_enableTx2PMRJ": (_status, [_handle, c_int32]),
    "vxclk_setTx2PMRJAmplitude": (_status, [_handle, c_int32]),
    "vxclk_enableTx2PMBUJ": (_status, [_handle, c_int32]),
    "vxclk_setTx2PMBUJAmplitude": (_status, [_handle, c_int32]),
    "vxclk_setTx2PMBUJLineRate": (_status, [_handle, c_int32]),
    "vxclk_setTx2BUJAmplitude": (_status, [_handle, c_int32]),
    "vxclk_setTx2BUJPRBS": (_status, [_handle, c_int32, c_int32]),
    "vxclk_setTx2BUJUserDefinedPattern": (_status, [_handle, c_uint32]),
    "vxclk_enableTx2AM": (_status, [_handle, c_int32]),
    "vxclk_setTx2AMAmplitude": (_status, [_handle, c_int32]),
    "vxclk_setTx2AMRJAmplitude": (_status, [_handle, c_int32]),
    "vxclk_setClockSource": (_status, [_handle, c_int32]),
    # Clock and outputs
    "vxclk_generateClock": (_status, [_handle, c_double, c_int32]),
    "vxclk_setTx1Power": (_status, [_handle, c_int32]),
    "vxclk_setTx2Power": (_status, [_handle, c_int32]),
    "vxclk_setTx2Divider": (_status, [_handle, c_int32]),
    # Configuration and calibration
    "vxclk_getActiveConfig": (_status, [_handle, POINTER(ActiveConfig)]),
    "vxclk_initializeInstance": (_status, [_handle, c_int32, c_char_p]),
    "vxclk_getMinMaxCalibration": (_status, [_handle, c_int32, POINTER(c_double), POINTER(c_double)]),
}


def _check_status(result: int, function: Any, arguments: Tuple[Any, ...]) -> int:
    """ctypes errcheck: a status other than 0 becomes an exception."""
    if result != 0:
        raise error_for_status(result, function.__name__)
    return result


def _declare(lib: ctypes.CDLL, where: str) -> None:
    for name, (restype, argtypes) in FUNCTIONS.items():
        try:
            function = getattr(lib, name)
        except AttributeError:
            raise LibraryNotFoundError(f"{where} does not export {name}; is it KestrelLib 2.x?") from None
        function.restype = restype
        function.argtypes = argtypes
        if restype is _status:
            function.errcheck = _check_status


def _plain_names() -> List[str]:
    if sys.platform == "win32":
        return ["KestrelLib.dll"]
    if sys.platform == "darwin":
        return ["libKestrelLib.2.dylib", "libKestrelLib.dylib"]
    return ["libKestrelLib.so.2", "libKestrelLib.so"]


def _package_dirs() -> List[Path]:
    here = Path(__file__).resolve().parent
    return [here, here.parent]


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_library_path: Optional[str] = None


def _open(name: str) -> ctypes.CDLL:
    # A full path on Windows also has the library's own folder searched for the
    # DLLs it depends on (ctypes' default there).
    return ctypes.CDLL(name)


def load_library(path: Optional[Union[str, "os.PathLike[str]"]] = None) -> ctypes.CDLL:
    """Loads the library and declares its functions, without caching.

    Args:
        path: the library file; when None, the places listed in the module
            documentation are tried in order.

    Raises:
        LibraryNotFoundError: nothing loadable was found; the message lists
            every place tried and why each failed.
    """
    lib, _ = _find(path)
    return lib


def _find(path: Optional[Union[str, "os.PathLike[str]"]]) -> Tuple[ctypes.CDLL, Optional[str]]:
    tried: List[str] = []

    def attempt(name: str, how: str) -> Optional[ctypes.CDLL]:
        try:
            lib = _open(name)
        except OSError as error:
            tried.append(f"{how}: {name} ({error})")
            return None
        _declare(lib, name)
        _check_version(lib, name)
        return lib

    if path is not None:
        name = os.fspath(path)
        lib = attempt(name, "given path")
        if lib is None:
            raise LibraryNotFoundError("KestrelLib could not be loaded from " + tried[0])
        return lib, name

    from_env = os.environ.get(LIBRARY_ENV)
    if from_env:
        lib = attempt(from_env, LIBRARY_ENV)
        if lib is None:
            raise LibraryNotFoundError(f"KestrelLib could not be loaded from {tried[0]}")
        return lib, from_env
    tried.append(f"{LIBRARY_ENV}: not set")

    for folder in _package_dirs():
        for plain in _plain_names():
            candidate = folder / plain
            if candidate.is_file():
                lib = attempt(str(candidate), "next to the package")
                if lib is not None:
                    return lib, str(candidate)
            else:
                tried.append(f"next to the package: {candidate} (no such file)")

    found = ctypes.util.find_library("KestrelLib")
    if found:
        lib = attempt(found, "find_library('KestrelLib')")
        if lib is not None:
            return lib, _resolved(found)
    else:
        tried.append("find_library('KestrelLib'): found nothing")

    for plain in _plain_names():
        lib = attempt(plain, "system loader")
        if lib is not None:
            return lib, _resolved(plain)

    raise LibraryNotFoundError(
        "KestrelLib could not be found. Looked at:\n  "
        + "\n  ".join(tried)
        + f"\nSet {LIBRARY_ENV} to the library file (for example build/src/libKestrelLib.so.2), "
        "copy the library next to the kestrel package, or install it where the system loader finds it."
    )


def _resolved(name: str) -> Optional[str]:
    """The file a library loaded by plain name came from, where that is known."""
    if os.path.isabs(name):
        return name
    return None


def _check_version(lib: ctypes.CDLL, where: str) -> None:
    version = (c_int32 * 3)()
    lib.vxclk_APIVersion(version)
    found = tuple(version)
    if found[0] != API_VERSION[0]:
        raise LibraryNotFoundError(
            f"{where} reports version {'.'.join(map(str, found))}; this package needs {API_VERSION[0]}.x"
        )


def library() -> ctypes.CDLL:
    """The library with its functions declared, loaded on the first call.

    Raises:
        LibraryNotFoundError: see :func:`load_library`.
    """
    global _library, _library_path
    with _lock:
        if _library is None:
            _library, _library_path = _find(None)
        return _library


def library_path() -> Optional[str]:
    """The file the library was loaded from, when it was loaded by path (None
    when it has not been loaded yet or came from the system loader by name)."""
    return _library_path


def api_version(lib: Optional[ctypes.CDLL] = None) -> Tuple[int, int, int]:
    """The version triple the library reports, e.g. ``(2, 2, 1)``."""
    version = (c_int32 * 3)()
    (lib or library()).vxclk_APIVersion(version)
    return (version[0], version[1], version[2])


def as_doubles(values: Sequence[float]) -> Any:
    """A C array of doubles holding ``values``."""
    return (c_double * len(values))(*values)
