"""The host services kestreld's LXI faces use, as the tests provide them.

- rpcbind, the host's portmapper: started when it does not run (it keeps
  running afterwards, as the system service it is). Needs root.
- avahi-daemon on a private D-Bus system bus: its own configuration limited
  to the loopback interface (allow-interfaces=lo), its own bus socket in a
  temporary directory, stopped with the test. Needs root (avahi keeps its pid
  file in /run); refused when a system avahi-daemon runs, whose announcements
  could leave the loopback interface.
"""

import os
import shutil
import subprocess
import tempfile
import threading
import time

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""

# Loopback only, IPv4 only, no wide-area, no reflector: nothing leaves this host.
AVAHI_CONFIG = """[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
"""

AVAHI_PID_FILE = "/run/avahi-daemon/pid"


class Unavailable(Exception):
    """The service cannot be had on this host; the message says why."""


def program(name):
    found = shutil.which(name) or shutil.which(name, path="/usr/sbin:/sbin:/usr/bin")
    if not found:
        raise Unavailable("%s is not installed (scripts/setup installs it)" % name)
    return found


def portmapper_answers():
    return subprocess.run([program("rpcinfo"), "-p", "127.0.0.1"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=30).returncode == 0


def ensure_rpcbind():
    """rpcbind answers on this host, started when it did not."""
    if portmapper_answers():
        return
    if os.geteuid() != 0:
        raise Unavailable("rpcbind does not run and only root may start it")
    # It forks into the background and leaves our pipes alone.
    subprocess.run([program("rpcbind")], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, start_new_session=True, timeout=30, check=True)
    deadline = time.monotonic() + 10
    while not portmapper_answers():
        if time.monotonic() > deadline:
            raise Unavailable("rpcbind was started but does not answer")
        time.sleep(0.1)


def registrations(program_number):
    """The ports the portmapper maps `program_number` to."""
    out = subprocess.run([program("rpcinfo"), "-p", "127.0.0.1"], capture_output=True, text=True, timeout=30).stdout
    return [int(line.split()[3]) for line in out.splitlines()[1:] if line.split()[:1] == [str(program_number)]]


def system_avahi_runs():
    try:
        with open(AVAHI_PID_FILE) as f:
            os.kill(int(f.read().strip()), 0)
        return True
    except (OSError, ValueError):
        return False


class PrivateAvahi:
    """dbus-daemon and avahi-daemon of our own, on loopback. `env` is the
    environment in which clients (kestreld, avahi-browse, lxi) reach them."""

    def __init__(self):
        program("avahi-daemon")
        if os.geteuid() != 0:
            raise Unavailable("a private avahi-daemon needs root (its pid file is in /run)")
        if system_avahi_runs():
            raise Unavailable("a system avahi-daemon runs: its announcements could leave the loopback interface")
        self.directory = tempfile.mkdtemp(prefix="kestrel-avahi-")
        self.bus = self.avahi = None
        try:
            self.start()
        except BaseException:
            self.stop()
            raise

    def start(self):
        socket_path = os.path.join(self.directory, "system_bus_socket")
        bus_config = self.write("bus.conf", BUS_CONFIG.format(socket=socket_path))
        avahi_config = self.write("avahi-daemon.conf", AVAHI_CONFIG)
        self.bus = subprocess.Popen([program("dbus-daemon"), "--config-file", bus_config, "--nofork", "--nopidfile"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + socket_path)
        wait_for(lambda: os.path.exists(socket_path), "the private D-Bus did not start")
        self.avahi = subprocess.Popen([program("avahi-daemon"), "--file", avahi_config, "--no-drop-root", "--no-chroot",
                                       "--no-rlimits", "--no-proc-title"], env=self.env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        started = threading.Event()
        self.log = []
        threading.Thread(target=self.drain, args=(started,), daemon=True).start()
        if not started.wait(20):
            raise Unavailable("the private avahi-daemon did not start: " + "".join(self.log))

    def drain(self, started):
        for line in self.avahi.stdout:
            self.log.append(line)
            if "Server startup complete" in line:
                started.set()

    def write(self, name, text):
        path = os.path.join(self.directory, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def stop(self):
        for proc in (self.avahi, self.bus):
            if proc is not None and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        shutil.rmtree(self.directory, ignore_errors=True)


def wait_for(condition, failure, seconds=20, period=0.1):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(failure)
        time.sleep(period)
