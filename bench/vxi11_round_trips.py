#!/usr/bin/python3
"""Medians of one query from PyVISA (pyvisa-py) over VXI-11 (inst0::INSTR) and
over the raw socket, in turns, to kestreld serving its built-in emulator;
rpcbind is started when it does not run. Prints them as JSON (seconds).
Usage: vxi11_round_trips.py KESTRELD [COUNT]"""

import json
import os
import random
import select
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "kestreld"))
import host_services  # noqa: E402
import pyvisa  # noqa: E402

QUERY = "DIAG:REG? 0,20"


def main():
    kestreld = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    host_services.ensure_rpcbind()
    address = "127.%d.%d.%d" % (random.randint(20, 130), random.randint(0, 255), random.randint(1, 254))
    daemon = subprocess.Popen([kestreld, "--sim", "bench", "--listen", address, "--scpi-port", "5025", "--http-port",
                               "0", "--no-mdns"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
    try:
        while select.select([daemon.stdout], [], [], 20)[0] and b"ready" not in daemon.stdout.readline():
            pass
        rm = pyvisa.ResourceManager("@py")
        resources = {
            "instr": rm.open_resource("TCPIP0::%s::inst0::INSTR" % address, timeout=10000),
            "socket": rm.open_resource("TCPIP0::%s::5025::SOCKET" % address, read_termination="\n",
                                       write_termination="\n", timeout=10000),
        }
        samples = {name: [] for name in resources}
        for _ in range(count):
            for name, resource in resources.items():
                start = time.perf_counter()
                resource.query(QUERY)
                samples[name].append(time.perf_counter() - start)
        for resource in resources.values():
            resource.close()
        rm.close()
        print(json.dumps({name: statistics.median(values) for name, values in samples.items()}))
    finally:
        daemon.terminate()
        daemon.wait(15)


if __name__ == "__main__":
    main()
