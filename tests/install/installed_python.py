"""The Python package as a user installs it: pip-installed from python/ (offline,
no build isolation) into a scratch folder, using the library and the emulator
program of an installed prefix.

    python installed_python.py SOURCE_DIR PREFIX LIBDIR WORK_DIR

Exits 77 (skipped) when this Python has no pip.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

CHECK = r"""
import sys
from pathlib import Path
import kestrel, kestrel.testing
site, prefix = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
assert Path(kestrel.__file__).resolve().is_relative_to(site), kestrel.__file__
program = Path(kestrel.testing.find_board_program()).resolve()
assert program.is_relative_to(prefix / "bin"), program
with kestrel.testing.emulator() as address, kestrel.Board(address) as board:
    board.generate_clock(1800.0)
    print(".".join(map(str, kestrel.api_version())), board.vco_locked())
"""


def main() -> int:
    source, prefix, libdir, work = (Path(a) for a in sys.argv[1:5])
    if subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode != 0:
        print("no pip for", sys.executable)
        return 77
    site = work / "site"
    shutil.rmtree(site, ignore_errors=True)
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--disable-pip-version-check",
         "--target", str(site), str(source / "python")],
        check=True,
    )
    names = {"win32": "KestrelLib.dll", "darwin": "libKestrelLib.2.dylib"}
    library = prefix / ("bin" if sys.platform == "win32" else libdir) / names.get(sys.platform, "libKestrelLib.so.2")
    env = {k: v for k, v in os.environ.items() if k not in ("KESTREL_BOARD_PROGRAM", "PYTHONPATH")}
    env.update(KESTREL_LIBRARY=str(library), PYTHONPATH=str(site))
    result = subprocess.run([sys.executable, "-c", CHECK, str(site), str(prefix)], env=env, cwd=work,
                            capture_output=True, text=True, timeout=120)
    print(result.stdout, result.stderr)
    return 0 if result.returncode == 0 and result.stdout.strip() == "2.2.1 True" else 1


if __name__ == "__main__":
    sys.exit(main())
