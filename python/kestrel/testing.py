"""Helpers for trying scripts without a board: the ``kestrel-board`` emulator.

:func:`emulator` starts the board emulator program on a free loopback address
and stops it again::

    import kestrel
    from kestrel.testing import emulator

    with emulator() as address, kestrel.Board(address) as board:   # Board connects when made
        board.generate_clock(1800.0)

The program is looked for, in this order:

1. the file named by the ``KESTREL_BOARD_PROGRAM`` environment variable (when it
   is set, nothing else is tried);
2. next to the loaded library: in its folder, in ``../bin`` (an installed
   prefix) and in ``../sim`` (a build tree);
3. on ``PATH``;
4. in the build folders of a source checkout that holds this package
   (``build*/sim/`` and ``build*/bin/`` beside ``python/``).

The emulator listens on the board's port (6653, or ``KESTREL_PORT`` when it is
set, as for the library) at a random address 127.x.y.z so that several
emulators (parallel tests) never meet; on macOS, which only answers on
127.0.0.1, that address is used.
"""

from __future__ import annotations

import contextlib
import os
import random
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import IO, Iterator, List, Optional, Sequence, Union

from . import environment, native

__all__ = ["BOARD_PORT", "PROGRAM_ENV", "EmulatorError", "board_or_emulator", "emulator", "find_board_program"]

#: Environment variable naming the emulator program.
PROGRAM_ENV = "KESTREL_BOARD_PROGRAM"

#: The board's TCP port (the emulator uses ``KESTREL_PORT`` instead when it is set).
BOARD_PORT = environment.DEFAULT_PORT

_PROGRAM = "kestrel-board.exe" if sys.platform == "win32" else "kestrel-board"


class EmulatorError(RuntimeError):
    """The emulator program could not be found or did not start listening."""


def find_board_program() -> str:
    """The path of the ``kestrel-board`` program (see the module documentation
    for the places tried).

    Raises:
        EmulatorError: it was found nowhere; the message lists the places tried.
    """
    from_env = os.environ.get(PROGRAM_ENV)
    if from_env:
        if not os.path.isfile(from_env):
            raise EmulatorError(f"{PROGRAM_ENV}={from_env} is not a file")
        return from_env

    tried: List[str] = [f"{PROGRAM_ENV} (not set)"]
    candidates: List[Path] = []
    library_file = native.library_path() or os.environ.get(native.LIBRARY_ENV)
    if library_file:
        folder = Path(library_file).resolve().parent
        candidates += [folder / _PROGRAM, folder.parent / "bin" / _PROGRAM, folder.parent / "sim" / _PROGRAM]
    for candidate in candidates:
        if candidate.is_file():
            return str(candidate)
        tried.append(str(candidate))

    on_path = shutil.which(_PROGRAM)
    if on_path:
        return on_path
    tried.append("PATH")

    checkout = Path(__file__).resolve().parent.parent.parent
    if (checkout / "python" / "kestrel").is_dir():
        for build in sorted(checkout.glob("build*")):
            for candidate in (build / "sim" / _PROGRAM, build / "bin" / _PROGRAM):
                if candidate.is_file():
                    return str(candidate)
        tried.append(f"{checkout}/build*/sim, build*/bin")

    raise EmulatorError(
        f"the board emulator program {_PROGRAM} was not found; looked at: " + ", ".join(tried)
        + f". Set {PROGRAM_ENV} to its path."
    )


def _loopback_address() -> str:
    if sys.platform == "darwin":
        return "127.0.0.1"
    return f"127.{random.randint(0, 255)}.{random.randint(0, 255)}.{random.randint(1, 254)}"


def _port_free(address: str) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        try:
            probe.bind((address, environment.board_port()))
        except OSError:
            return False
    return True


def _drain(stream: IO[str], listening: threading.Event, kept: List[str]) -> None:
    """Reads the emulator's output until it closes, so that the program never
    blocks on a full pipe. Lines up to the "listening" line are kept for error
    messages; later ones (the trace) are dropped."""
    for line in stream:
        if not listening.is_set():
            kept.append(line)
            if "listening" in line:
                listening.set()


@contextlib.contextmanager
def emulator(
    *,
    address: Optional[str] = None,
    memory_file: Optional[Union[str, "os.PathLike[str]"]] = None,
    trace: bool = False,
    extra_arguments: Sequence[str] = (),
    program: Optional[str] = None,
    start_timeout: float = 10.0,
    stop_timeout: float = 5.0,
    attempts: int = 5,
) -> Iterator[str]:
    """Runs the board emulator for the ``with`` block and yields its address.

    Args:
        address: the loopback address to listen on; by default a random free
            127.x.y.z (a few are tried when one is taken).
        memory_file: keep the board's memory in this file (65536 bytes, created
            when missing), so it outlives the emulator; by default the memory
            starts blank (all bytes 0xFF).
        trace: have the emulator print each frame (the lines are read and dropped).
        extra_arguments: further options for the program (see ``kestrel-board --help``,
            e.g. ``["--board-id", "7"]``).
        program: the program to run instead of the one :func:`find_board_program` finds.
        start_timeout: seconds to wait for the program's "listening" line.
        stop_timeout: seconds to wait for it to end after the stop request,
            before it is killed.
        attempts: how many random addresses to try.

    Raises:
        EmulatorError: the program was not found or did not start.
    """
    executable = program or find_board_program()
    problems: List[str] = []
    for _ in range(max(1, attempts) if address is None else 1):
        here = address or _loopback_address()
        port = environment.board_port()
        if address is None and not _port_free(here):
            problems.append(f"{here}:{port} is taken")
            continue
        command = [executable, "--address", here, "--port", str(port)]
        if memory_file is not None:
            command += ["--memory", os.fspath(memory_file)]
        if trace:
            command.append("--trace")
        command += list(extra_arguments)
        process = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            errors="replace",
        )
        listening = threading.Event()
        output: List[str] = []
        reader = threading.Thread(target=_drain, args=(process.stdout, listening, output), daemon=True)
        try:
            reader.start()
            if _wait_listening(listening, reader, start_timeout):
                yield here
                return
        finally:
            _stop(process, stop_timeout)
            reader.join(stop_timeout)
            if process.stdout is not None and not reader.is_alive():
                process.stdout.close()
        problems.append(f"{' '.join(command)}: {''.join(output).strip() or 'no output'}")
    raise EmulatorError("the board emulator did not start: " + "; ".join(problems))


def _wait_listening(listening: threading.Event, reader: threading.Thread, timeout: float) -> bool:
    """Waits for the "listening" line; False when the program ended or the time ran out."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if listening.wait(0.05):
            return True
        if not reader.is_alive():  # the program closed its output: it ended
            return listening.is_set()
    return False


def _stop(process: "subprocess.Popen[str]", timeout: float) -> None:
    """Stops the emulator by its process: a stop request, then a kill when it
    has not ended within ``timeout`` seconds."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@contextlib.contextmanager
def board_or_emulator(address: Optional[str]) -> Iterator[str]:
    """Yields ``address`` when one is given, else the address of an emulator
    started for the ``with`` block: a script runs against a real board or,
    without one, against the emulator::

        with board_or_emulator(args.address) as address, kestrel.Board(address) as board:
            ...
    """
    if address:
        yield address
        return
    with emulator() as emulated:
        print(f"no address given: using the board emulator at {emulated}")
        yield emulated
