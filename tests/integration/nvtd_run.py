"""Runs the real nvtd binary for the integration tests.

The binary comes from the environment variable NVTD_BIN. nvtd changes into its own
directory and reads nvtd.ini there when no -c is given, so every test class works on a
private copy of the binary in a temporary directory: no stray nvtd.ini can leak in.
"""
import os
import platform
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

TIMEOUT = 30  # seconds for one run; a run normally takes a few milliseconds

VERSION = "1.0.0.0"
SANITIZER_REPORT = r"(AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error:)"
BANNER = "nvtd-linux-%s v1.0.0.0 (2024-7-18) - NORVA FTP Server" % platform.machine()


def nvtd_bin():
    path = os.environ.get("NVTD_BIN")
    if not path or not os.path.isfile(path):
        raise unittest.SkipTest("NVTD_BIN does not name the nvtd binary")
    return path


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# 127.0.0.1 and ::1 as /proc/net/tcp and tcp6 print them.
LOOPBACK_HEX = {"0100007F", "00000000000000000000000001000000"}


def listening_addresses(port):
    """The local addresses (as /proc/net/tcp* prints them) with a listener on port."""
    addrs = set()
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(name) as f:
            for row in f.read().splitlines()[1:]:
                local, state = row.split()[1], row.split()[3]
                ip, p = local.split(":")
                if state == "0A" and int(p, 16) == port:
                    addrs.add(ip)
    return addrs


def clean_env():
    env = dict(os.environ)
    env.pop("NVDBGLOG", None)
    env.pop("POSIXLY_CORRECT", None)
    return env


class NvtdCase(unittest.TestCase):
    """Base class: a temporary directory with a copy of nvtd in bin/."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="nvtd-it-")
        cls.bindir = os.path.join(cls.tmp, "bin")
        os.mkdir(cls.bindir)
        cls.exe = os.path.join(cls.bindir, "nvtd")
        shutil.copy2(nvtd_bin(), cls.exe)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.tmp)

    def run_nvtd(self, *args, cwd=None, stdin=subprocess.DEVNULL):
        """Runs nvtd to its end; returns the completed process (text output). A sanitizer
        report fails the test whatever the exit status."""
        r = subprocess.run([self.exe, *args], cwd=cwd or self.work, env=clean_env(),
                           stdin=stdin, capture_output=True, timeout=TIMEOUT,
                           errors="replace")
        self.assert_no_sanitizer_report(r.stderr)
        return r

    def assert_no_sanitizer_report(self, err):
        self.assertNotRegex(err, SANITIZER_REPORT)

    def write(self, name, text, mode="w"):
        path = os.path.join(self.work, name)
        with open(path, mode) as f:
            f.write(text)
        return path

    def ini(self, text, name="nvtd.ini"):
        return self.write(name, text)

    def run_ini(self, name="run.ini"):
        """A configuration that lets nvtd run: its FTP port is one nothing serves, so the
        single-instance check passes whatever else runs on this machine."""
        return self.ini("[nvtd]\nftp_server_port = %d\n" % free_port(), name)

    def dump(self, *args, cwd=None):
        """Runs with -p and returns the dump as a dict (first value of a repeated name)."""
        r = self.run_nvtd(*args, "-p", cwd=cwd)
        self.assertEqual(r.returncode, 0, r.stderr)
        values = {}
        for line in r.stdout.splitlines():
            name, sep, value = line.partition("=")
            if sep and name not in values:
                values[name] = value
        return values

    def ftp_ini(self, port, root, more=""):
        """A configuration serving root on 127.0.0.1:port, then the lines in more."""
        return self.ini("[nvtd]\nftp_server_port = %d\nftp_server_addr = 127.0.0.1\n"
                        "ftp_root = %s\n%s" % (port, root, more))


class ServerCase(NvtdCase):
    """start_server runs nvtd on self.conf in the background until it listens on
    self.port; the test's clean-up stops it and checks its standard error."""

    def start_server(self, *extra, env=None, ports=None, preexec=None):
        """Starts nvtd and returns once every port of ports (default: self.port) accepts;
        preexec runs in the child before nvtd starts (limits)."""
        proc = subprocess.Popen([self.exe, "-q", "-c", self.conf, *extra], cwd=self.work,
                                env=env or clean_env(), preexec_fn=preexec,
                                stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(self.stop_server, proc)
        waiting = list(ports or [self.port])
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", waiting[0]), timeout=1).close()
                waiting.pop(0)
                if not waiting:
                    return proc
            except OSError:
                if proc.poll() is not None:
                    self.fail("nvtd ended early: %s" % proc.stderr.read().decode())
                time.sleep(0.05)
        self.fail("nvtd did not listen")

    def stop_server(self, proc):
        """SIGTERM (a kill after 10 s); returns standard error."""
        if proc.stderr.closed:
            return ""
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        err = proc.stderr.read().decode(errors="replace")
        proc.stderr.close()
        proc.stdin.close()
        self.assert_no_sanitizer_report(err)
        return err
