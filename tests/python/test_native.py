"""The ctypes declarations against the C header, and finding the library."""

from __future__ import annotations

import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from ctypes import POINTER, byref, c_char_p, c_double, c_int32, c_uint8, c_uint16, c_uint32, c_uint64, c_void_p
from pathlib import Path

import kestrel
from kestrel import native
from kestrel.testing import _loopback_address

from support import HEADER, SOURCE_DIR

_C_TYPES = {
    "void*": c_void_p,
    "int32_t": c_int32,
    "uint8_t": c_uint8,
    "uint16_t": c_uint16,
    "uint32_t": c_uint32,
    "double": c_double,
    "const char*": c_char_p,
    "int32_t*": POINTER(c_int32),
    "uint16_t*": POINTER(c_uint16),
    "uint64_t*": POINTER(c_uint64),
    "double*": POINTER(c_double),
    "const double*": POINTER(c_double),
    "ActiveConfig*": POINTER(native.ActiveConfig),
    "void": None,
}


def _c_type(declaration: str):
    """The ctypes type of a C parameter or result declaration such as
    'const double* values' or 'int32_t*'."""
    text = re.sub(r"\s*\*\s*", "* ", declaration.strip()).strip()
    words = text.split()
    if len(words) > 1 and not words[-1].endswith("*") and words[-1] not in ("int32_t", "void", "double"):
        words = words[:-1]  # drop the parameter name
    return _C_TYPES[" ".join(words).replace("* ", "*").replace(" *", "*")]


def header_functions():
    """name -> (result type, [argument types]) from KestrelLib.h."""
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    functions = {}
    for result, name, arguments in re.findall(r"KESTREL_API\s+([\w\s\*]+?)\s*(vxclk_\w+)\(([^)]*)\);", text):
        args = [] if arguments.strip() == "void" else [_c_type(a) for a in arguments.split(",")]
        functions[name] = (_c_type(result), args)
    return functions


class DeclarationTest(unittest.TestCase):
    def test_api_version(self) -> None:
        self.assertEqual(kestrel.api_version(), (2, 2, 1))
        self.assertEqual(native.API_VERSION, (2, 2, 1))

    def test_every_function_of_the_header_is_declared_exactly(self) -> None:
        expected = header_functions()
        self.assertEqual(len(expected), 43)
        self.assertEqual(sorted(native.FUNCTIONS), sorted(expected))
        lib = native.library()
        for name, (restype, argtypes) in expected.items():
            with self.subTest(function=name):
                declared_result, declared_arguments = native.FUNCTIONS[name]
                self.assertIs(declared_result, restype)
                self.assertEqual(declared_arguments, argtypes)
                function = getattr(lib, name)
                self.assertIs(function.restype, restype)
                self.assertEqual(list(function.argtypes), argtypes)
                checked = getattr(function, "errcheck", None) is not None
                self.assertEqual(checked, restype is c_int32, "status results and only they are checked")

    def test_active_config_matches_the_header_layout(self) -> None:
        self.assertEqual(ctypes.sizeof(native.ActiveConfig), 128)
        body = HEADER.read_text().split("typedef struct ActiveConfig {", 1)[1].split("} ActiveConfig;", 1)[0]
        fields = re.findall(r"(bool|int32_t|double)\s+(\w+);\s*/\*\s*(?:offset\s+)?(\d+)", body)
        self.assertEqual(len(fields), 28)
        kinds = {"bool": ctypes.c_bool, "int32_t": c_int32, "double": c_double}
        self.assertEqual([name for _, name, _ in fields], [name for name, _ in native.ActiveConfig._fields_])
        for kind, name, offset in fields:
            with self.subTest(field=name):
                self.assertEqual(getattr(native.ActiveConfig, name).offset, int(offset))
                self.assertIs(dict(native.ActiveConfig._fields_)[name], kinds[kind])
        for name, offset in (("generateFrequency", 16), ("fmFrequency", 28), ("referenceFrequency", 104),
                             ("tx2Power", 120)):
            self.assertEqual(getattr(native.ActiveConfig, name).offset, offset)

    def test_board_config_takes_every_field_of_the_record(self) -> None:
        record = native.ActiveConfig()
        expected = []
        for number, (name, kind) in enumerate(native.ActiveConfig._fields_, start=1):
            value = (number % 2 == 1) if kind is ctypes.c_bool else number * 1.5 if kind is c_double else number
            setattr(record, name, value)
            expected.append(value)
        config = kestrel.BoardConfig.from_record(record)
        self.assertEqual(list(config.as_dict().values()), expected)
        self.assertEqual(config.generate_frequency, 6.0)
        self.assertEqual(config.tx2_power, 28)
        with self.assertRaises(Exception):
            config.tx2_power = 1  # frozen


class RawCallTest(unittest.TestCase):
    def test_a_null_instance_gives_invalid_instance(self) -> None:
        lib = native.library()
        value = c_int32(-1)
        with self.assertRaises(kestrel.InvalidInstance) as caught:
            lib.vxclk_getBoardID(None, byref(value))
        self.assertEqual(caught.exception.status, 4)
        self.assertEqual(caught.exception.function, "vxclk_getBoardID")
        self.assertIsInstance(caught.exception, kestrel.KestrelError)
        self.assertEqual(value.value, -1)
        self.assertIsNone(lib.vxclk_destroyInstance(None))

    def test_a_new_instance_is_not_connected(self) -> None:
        lib = native.library()
        handle = lib.vxclk_createInstance()
        self.assertIsInstance(handle, int)
        try:
            with self.assertRaises(kestrel.NotConnected) as caught:
                lib.vxclk_getBoardID(handle, byref(c_int32()))
            self.assertEqual(caught.exception.function, "vxclk_getBoardID")
        finally:
            lib.vxclk_destroyInstance(handle)

    def test_version_pointer_comes_back(self) -> None:
        version = (c_int32 * 3)()
        result = native.library().vxclk_APIVersion(version)
        self.assertEqual(ctypes.addressof(result.contents), ctypes.addressof(version))
        self.assertEqual(list(version), [2, 2, 1])

    def test_connecting_where_no_board_listens_fails_and_frees_the_instance(self) -> None:
        for address in (_loopback_address(), "not-an-address"):
            with self.subTest(address=address):
                board = kestrel.Board(address, connect=False)
                with self.assertRaises(kestrel.NotConnected) as caught:
                    board.open()
                self.assertEqual(caught.exception.function, "vxclk_connect")
                self.assertTrue(board.closed)
                self.assertFalse(board.connected)


def _run_python(code: str, env: dict, cwd: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True, text=True,
                          timeout=60)


class LibraryLookupTest(unittest.TestCase):
    def setUp(self) -> None:
        self.library_file = os.environ[native.LIBRARY_ENV]
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)

    def _env(self, **changes: str) -> dict:
        env = {k: v for k, v in os.environ.items() if k not in (native.LIBRARY_ENV, "LD_LIBRARY_PATH")}
        # The child runs in a scratch folder: the package by its absolute path.
        env["PYTHONPATH"] = str(Path(kestrel.__file__).resolve().parent.parent)
        env.update(changes)
        return env

    def test_a_missing_library_file_is_named(self) -> None:
        missing = os.path.join(self.scratch.name, "libKestrelLib.so.2")
        result = _run_python("import kestrel; kestrel.api_version()",
                             self._env(KESTREL_LIBRARY=missing), self.scratch.name)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("LibraryNotFoundError", result.stderr)
        self.assertIn(missing, result.stderr)

    def test_the_error_lists_every_place_tried(self) -> None:
        code = (
            "import kestrel\n"
            "try:\n    kestrel.api_version()\n"
            "except kestrel.LibraryNotFoundError as e:\n    print(e)\n"
            "else:\n    print('LOADED')\n"
        )
        result = _run_python(code, self._env(), self.scratch.name)
        self.assertEqual(result.returncode, 0, result.stderr)
        if "LOADED" in result.stdout:
            self.skipTest("KestrelLib is installed where the system loader finds it")
        for part in ("KESTREL_LIBRARY: not set", "next to the package", "find_library('KestrelLib')",
                     native._plain_names()[0]):
            self.assertIn(part, result.stdout)

    def test_a_library_next_to_the_package_is_found(self) -> None:
        copy = Path(self.scratch.name) / "site"
        shutil.copytree(SOURCE_DIR / "python" / "kestrel", copy / "kestrel")
        target = copy / "kestrel" / native._plain_names()[0]
        shutil.copy2(self.library_file, target)
        code = "import kestrel; from kestrel import native; print(kestrel.api_version(), native.library_path())"
        result = _run_python(code, self._env(PYTHONPATH=str(copy)), self.scratch.name)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), f"(2, 2, 1) {target}")


if __name__ == "__main__":
    unittest.main()
