"""The debug shell of a running nvtd: its wire protocol spoken byte for byte by a Python
socket client, the loopback-only default, the local socket, and `nvtd -e` as a second
process, also interactively in a pseudo-terminal."""
import fcntl
import os
import pty
import re
import select
import shutil
import socket
import struct
import subprocess
import termios
import time
import unittest

from nvtd_run import LOOPBACK_HEX, ServerCase, clean_env, free_port, listening_addresses

WAIT = 10  # seconds for any one expected text


class DebugShell(ServerCase):
    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.shell_port = free_port()
        self.pipe = "nvtd_it_%d_%d" % (os.getpid(), self.shell_port)
        self.conf = self.ini("[nvtd]\nftp_server_port = %d\nftp_server_addr = 127.0.0.1\n"
                             "[debug]\nshell_server_port = %d\nhttp_server_port = 0\n"
                             "debug_pipe_name = %s\n" % (self.port, self.shell_port, self.pipe))
        self.proc = self.start_server(ports=[self.port, self.shell_port])

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.shell_port), timeout=WAIT)
        self.addCleanup(s.close)
        return s

    def replies(self, s, count):
        """Reads until count NUL bytes came; returns the bytes."""
        got = b""
        while got.count(b"\0") < count:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
        return got

    def test_wire_bytes_of_two_commands(self):
        s = self.connect()
        s.sendall(b"echo one;echo two  \0")
        self.assertEqual(self.replies(s, 2), b"one\r\n\0two\r\n\0")

    def test_line_without_command_gets_nothing(self):
        s = self.connect()
        s.sendall(b"# a comment\0X=1\0echo after\0")
        self.assertEqual(self.replies(s, 1), b"after\r\n\0")

    def test_bad_input_leaves_the_server_serving(self):
        for data in (b"x" * 20000, bytes(range(1, 256)) + b"\0", b"\0" * 10):
            s = self.connect()
            s.sendall(data)
            s.close()
        s = self.connect()
        s.sendall(b"echo fine\0")
        self.assertEqual(self.replies(s, 1), b"fine\r\n\0")

    def test_listens_on_loopback_only(self):
        self.assertEqual(listening_addresses(self.shell_port), LOOPBACK_HEX)

    def run_e(self, cmd, conf=None):
        r = self.run_nvtd("-q", "-c", conf or self.conf, "-e", cmd)
        return r

    def test_e_prints_both_replies(self):
        r = self.run_e("show info;show memory")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("ver=1.0.0.0\n", r.stdout)
        self.assertIn("VmRSS=", r.stdout)
        self.assertLess(r.stdout.index("ver="), r.stdout.index("VmRSS="))
        self.assertNotIn("\r", r.stdout)

    def test_e_over_tcp_without_pipe_name(self):
        conf = self.ini("[debug]\nshell_server_port = %d\n" % self.shell_port, "tcp.ini")
        r = self.run_e("echo via_tcp;quit;echo never", conf)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "via_tcp\n")
        self.assertIn("use=tcp://127.0.0.1:%d" % self.shell_port, r.stderr)

    def test_e_without_a_server_fails(self):
        conf = self.ini("[debug]\nshell_server_port = %d\n" % free_port(), "none.ini")
        r = self.run_e("show info", conf)
        self.assertEqual(r.returncode, 1)
        self.assertIn("sock_connect 127.0.0.1", r.stderr)

    def test_local_socket_is_private(self):
        run_dir = os.environ.get("XDG_RUNTIME_DIR") or "/tmp"
        path = os.path.join(run_dir, self.pipe + ".sock")
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)

    def test_exit_stops_the_server(self):
        s = self.connect()
        s.sendall(b"exit\0")
        self.assertEqual(self.proc.wait(WAIT), 0)

    def test_e_sh_in_a_terminal(self):
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
        env = clean_env()
        env["TERM"] = "xterm"
        cli = subprocess.Popen([self.exe, "-q", "-c", self.conf, "-e", "sh"], cwd=self.work,
                               env=env, stdin=slave, stdout=slave, stderr=slave,
                               start_new_session=True)
        os.close(slave)
        out = b""

        def expect(text):
            nonlocal out
            deadline = time.time() + WAIT
            while text.encode() not in out and time.time() < deadline:
                r, _, _ = select.select([master], [], [], 0.1)
                if r:
                    try:
                        out += os.read(master, 65536)
                    except OSError:
                        break
            self.assertIn(text.encode(), out)
            out = out[out.index(text.encode()) + len(text):]

        try:
            expect("nvtd>")
            os.write(master, b"echo interactive\r")
            expect("interactive\r\n")
            expect("nvtd>")
            os.write(master, b"q\r")
            self.assertEqual(cli.wait(WAIT), 0)
        finally:
            if cli.poll() is None:
                cli.kill()
                cli.wait()
            os.close(master)
        self.assertIsNone(self.proc.poll())  # q ends only the client


def complete_packets(data):
    """The pcap header and the whole packets of a little-endian capture stream."""
    at = 24
    while at + 16 <= len(data):
        size = struct.unpack_from("<I", data, at + 8)[0]
        if at + 16 + size > len(data):
            break
        at += 16 + size
    return data[:at]


@unittest.skipUnless(shutil.which("tshark"), "tshark is not installed (scripts/deps)")
class BinaryLog(ServerCase):
    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.shell_port = free_port()
        self.conf = self.ini("[nvtd]\nftp_server_port = %d\nftp_server_addr = 127.0.0.1\n"
                             "[debug]\nshell_server_port = %d\nhttp_server_port = 0\n"
                             % (self.port, self.shell_port))

    def shell(self, line):
        with socket.create_connection(("127.0.0.1", self.shell_port), timeout=WAIT) as s:
            s.sendall(line.encode() + b"\0")
            got = b""
            while not got.endswith(b"\0"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
            return got.decode(errors="replace")

    def tshark_times(self, path):
        r = subprocess.run(["tshark", "-r", path, "-T", "fields", "-e", "frame.time_epoch"],
                           capture_output=True, text=True, timeout=60)
        return [float(t) for t in r.stdout.split()]

    def test_socket_streams_a_capture_that_tshark_reads(self):
        self.start_server(ports=[self.port, self.shell_port])
        name = re.search(r"bsv_pipe_name=(\S+)", self.shell("show info")).group(1)
        self.assertRegex(name, r"^norva_nvtd_\d+$")
        path = os.path.join(os.environ.get("XDG_RUNTIME_DIR") or "/tmp", name + ".sock")
        reader = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(reader.close)
        reader.connect(path)
        reader.settimeout(0.2)
        start = time.time()
        self.shell("set log.level dbg")  # every shell line now makes a debug record
        data = b""
        deadline = time.time() + WAIT
        while len(complete_packets(data)) < 24 + 3 * 16 + 60 and time.time() < deadline:
            self.shell("echo tick")
            try:
                data += reader.recv(65536)
            except socket.timeout:
                pass
        end = time.time()
        capture = self.write("stream.pcap", "")
        with open(capture, "wb") as f:
            f.write(complete_packets(data))
        self.assertEqual(struct.unpack_from("<II", data, 0)[0], 0xa1b2c3d4)
        self.assertEqual(struct.unpack_from("<I", data, 20)[0], 147)
        times = self.tshark_times(capture)
        self.assertGreaterEqual(len(times), 3)
        for t in times:
            self.assertTrue(start - 1 <= t <= end + 1, (start, t, end))

    def test_pcap_log_file(self):
        capture = os.path.join(self.work, "run.pcap")
        proc = self.start_server("-o", capture, ports=[self.port, self.shell_port])
        start = time.time()
        self.shell("set log.level dbg")
        for _ in range(5):
            self.shell("echo tock")
        self.stop_server(proc)
        times = self.tshark_times(capture)
        self.assertGreaterEqual(len(times), 5)
        for t in times:
            self.assertTrue(start - 30 <= t <= time.time() + 1)
        r = subprocess.run(["capinfos", "-E", capture], capture_output=True, text=True,
                           timeout=60)
        self.assertIn("USER 0", r.stdout)
        with open(capture, "rb") as f:
            self.assertIn(b"cmd=[echo tock]", f.read())
