"""kestreld as installed: the installed program serves the installed front
panel (not the source tree's), refuses a web root without a page, and comes
with its manual page and manuals.

    python installed_kestreld.py PREFIX DATADIR MANDIR DOCDIR
"""

from __future__ import annotations

import random
import select
import subprocess
import sys
import urllib.request
from pathlib import Path


def started(command):
    """The daemon once it says it is ready, or None."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
    while select.select([proc.stdout], [], [], 20)[0]:
        line = proc.stdout.readline()
        if b"ready" in line:
            return proc
        if not line:
            break
    proc.kill()
    proc.communicate()
    return None


def main() -> int:
    prefix = Path(sys.argv[1])
    datadir, mandir, docdir = (prefix / part for part in sys.argv[2:5])
    program = prefix / "bin" / "kestreld"
    for path in (datadir / "kestreld" / "web" / "index.html", mandir / "man1" / "kestreld.1",
                 docdir / "scpi.md", docdir / "http.md"):
        if not path.is_file():
            print("the installation lacks", path)
            return 1
    refused = subprocess.run([str(program), "--sim", "bench", "--web-root", str(prefix)], capture_output=True,
                             text=True, timeout=60)
    if refused.returncode != 64 or "holds no front panel" not in refused.stderr:
        print("a web root without a page was not refused:", refused.returncode, refused.stderr)
        return 1
    address = "127.%d.%d.%d" % (random.randint(20, 130), random.randint(0, 255), random.randint(1, 254))
    proc = started([str(program), "--sim", "bench", "--listen", address, "--no-vxi11", "--no-mdns"])
    if proc is None:
        print("the installed kestreld did not start")
        return 1
    try:
        with urllib.request.urlopen("http://%s:8080/" % address, timeout=30) as response:
            page = response.read().decode()
        with urllib.request.urlopen("http://%s:8080/app.js" % address, timeout=30) as response:
            script = response.read()
    finally:
        proc.terminate()
        proc.communicate(timeout=15)
    installed = (datadir / "kestreld" / "web" / "app.js").read_bytes()
    if "Kestrel front panel" not in page or script != installed:
        print("the installed daemon did not serve the installed page")
        return 1
    print("the installed kestreld serves", datadir / "kestreld" / "web")
    return 0


if __name__ == "__main__":
    sys.exit(main())
