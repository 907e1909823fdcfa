"""The real nvtd serving FTP and FTPS: greeting and parsing, the login gate, logins and the
lockout, the login file, moving through the tree, the client limit, abuse without leaks,
signals, the single-instance check and service mode with its systemd unit."""
import ftplib
import hashlib
import base64
import os
import signal
import socket
import ssl
import stat
import subprocess
import time
import unittest

from nvtd_run import NvtdCase, ServerCase, clean_env, free_port


def sha_form(pwd):
    return "{SHA}" + base64.b64encode(hashlib.sha1(pwd.encode()).digest()).decode()


class Ctl:
    """A raw control connection: send lines, read whole replies."""

    def __init__(self, port, src=None, wrap=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5,
                                             source_address=(src, 0) if src else None)
        if wrap:
            self.sock = wrap.wrap_socket(self.sock)
        self.f = self.sock.makefile("rb")

    def reply(self):
        line = self.f.readline().decode("latin-1").rstrip("\r\n")
        if not line:
            return None, ""
        text = line
        if len(line) > 3 and line[3] == "-":
            while True:
                more = self.f.readline().decode("latin-1").rstrip("\r\n")
                text += "\n" + more
                if not more or (more[:3] == line[:3] and more[3:4] == " "):
                    break
        return int(line[:3]), text

    def cmd(self, line):
        self.sock.sendall(line.encode("latin-1") + b"\r\n")
        return self.reply()

    def login(self, user, pwd):
        self.cmd("USER " + user)
        return self.cmd("PASS " + pwd)

    def closed(self):
        try:
            return self.sock.recv(4096) == b""
        except OSError:
            return True

    def close(self):
        try:
            self.f.close()  # the socket's descriptor stays open while its file is
            self.sock.close()
        except OSError:
            pass


class FtpServerCase(ServerCase):
    """Starts nvtd with an FTP root and the given [nvtd]/[login] lines; stops it after."""

    nvtd_lines = ""
    login_lines = ""

    def setUp(self):
        super().setUp()
        self.root = os.path.join(self.work, "root")
        os.makedirs(os.path.join(self.root, "a", "b"))
        with open(os.path.join(self.root, "a", "file.txt"), "w") as f:
            f.write("hello\n")
        self.port = free_port()
        self.loginfile = os.path.join(self.work, "login.log")
        self.conf = self.ftp_ini(self.port, self.root, "%s[login]\nlogin_file = %s\n%s"
                                 "[log]\nlevel = info\n"
                                 % (self.nvtd_lines, self.loginfile, self.login_lines))
        self.proc = self.start_server()

    def ctl(self, src=None, limit=0):
        """A greeted session. With a limit, retries that many seconds until the server
        admits one: sessions that ended a moment ago may still hold their places for a
        while on a loaded machine (a 421 then)."""
        deadline = time.time() + limit
        while True:
            c = Ctl(self.port, src)
            code, text = c.reply()
            if code == 220 or time.time() > deadline:
                self.addCleanup(c.close)
                self.assertEqual(text, "220 (nvtd 1.0.0.0)")
                return c
            c.close()
            time.sleep(0.1)

    def describe(self):
        pid = self.proc.pid
        fds = sorted(os.readlink("/proc/%d/fd/%s" % (pid, n)) for n in os.listdir("/proc/%d/fd" % pid))
        names = sorted(open("/proc/%d/task/%s/comm" % (pid, t)).read().strip()
                       for t in os.listdir("/proc/%d/task" % pid))
        return "%s %s" % (names, fds)

    def counts(self):
        pid = self.proc.pid
        return (len(os.listdir("/proc/%d/task" % pid)), len(os.listdir("/proc/%d/fd" % pid)))


class AnonymousSession(FtpServerCase):

    def test_greeting_parsing_and_unimplemented_words(self):
        c = self.ctl()
        self.assertEqual(c.cmd("HELLO"), (500, "500 Bad command"))
        for w in ("ACCT x", "SMNT x", "REIN", "STOU", "ALLO 5"):
            self.assertEqual(c.cmd(w), (500, "500 Bad command"), w)
        self.assertEqual(c.cmd("noop")[0], 200)
        self.assertEqual(c.cmd("QUIT"), (221, "221 Goodbye."))
        self.assertTrue(c.closed())

    def test_login_gate_and_anonymous_login(self):
        c = self.ctl()
        for w in ("RETR a/file.txt", "LIST", "CWD a", "PWD", "STOR x", "MODE S"):
            self.assertEqual(c.cmd(w), (530, "530 Please login with USER and PASS."), w)
        self.assertEqual(c.cmd("USER someone")[0], 530)
        self.assertEqual(c.login("anonymous", "guest@"), (230, "230 Login successful"))
        self.assertEqual(c.cmd("RETR"), (501, "501 Syntax error in parameters or arguments."))
        self.assertEqual(c.cmd("STRU F"), (200, "200 Structure set to F."))
        self.assertEqual(c.cmd("SITE IDLE 5"), (500, "500 Unknown SITE command."))

    def test_navigation_with_ftplib(self):
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.port, timeout=5)
        self.addCleanup(f.close)
        f.login()
        self.assertEqual(f.pwd(), "/")
        f.cwd("a")
        f.cwd("b")
        self.assertEqual(f.pwd(), "/a/b")
        self.assertTrue(f.sendcmd("CDUP").startswith("250"))
        self.assertEqual(f.pwd(), "/a")
        with self.assertRaises(ftplib.error_perm) as e:
            f.cwd("file.txt")
        self.assertEqual(str(e.exception), "550 Failured to change directory.")
        f.cwd("/../../..")
        self.assertEqual(f.pwd(), "/")
        f.quit()

    def test_odd_input_and_bursts_leave_no_threads_or_descriptors(self):
        time.sleep(0.6)  # the start-up probe's session ends first
        threads0, fds0 = self.counts()
        before = self.describe()
        conns = [socket.create_connection(("127.0.0.1", self.port), timeout=10)
                 for _ in range(300)]
        got = sum(1 for s in conns if s.recv(64).startswith(b"220"))
        self.assertEqual(got, 300)
        for i, s in enumerate(conns):
            if i % 3 == 0:
                s.sendall(b"\x00\xff\xfe binary\r\n")
            elif i % 3 == 1:
                s.sendall(b"X" * 9000 + b"\r\n")
            s.close()

        def settled():
            t, f = self.counts()
            return t <= threads0 and f <= fds0

        def wait_settled():
            deadline = time.time() + 20
            while not settled() and time.time() < deadline:
                time.sleep(0.1)
            self.assertTrue(settled(), "now %s, before %s" % (self.describe(), before))
        wait_settled()
        c = self.ctl()
        c.sock.sendall(b"\n")
        self.assertEqual(c.reply()[0], 500)
        c.sock.sendall(b"PASS before-user\r\n")
        self.assertEqual(c.reply()[0], 230)  # anonymous: any password
        c.close()
        wait_settled()

    def test_signals_and_end_of_input_stop_with_status_zero(self):
        self.stop_server(self.proc)
        for sig in (signal.SIGTERM, signal.SIGINT, None):
            with self.subTest(sig=sig):
                proc = self.start_server("-l", "dbg")
                if sig:
                    proc.send_signal(sig)
                else:
                    proc.stdin.close()
                self.assertEqual(proc.wait(10), 0)
                err = self.stop_server(proc)
                self.assertIn("waiting for the end of standard input", err)
                for want in (("signal=%d\n" % sig, "stop_server ==>") if sig else
                             ("end of standard input, stopping\n",)):
                    self.assertIn(want, err)

    def test_second_instance_exits_one(self):
        r = self.run_nvtd("-c", self.conf)
        self.assertEqual(r.returncode, 1)
        self.assertIn("Can only run one instance, bind port=[%d] failed" % self.port, r.stderr)


class ConfiguredUser(FtpServerCase):
    nvtd_lines = "user = alice\npasswd = s3cret\nmax_clients = 3\n"
    login_lines = "login_fail_count = 3\nlogin_fail_wait_m = 1\n"

    def test_plain_sha_and_wrong_passwords(self):
        self.assertEqual(self.ctl().login("alice", "s3cret")[0], 230)
        self.assertEqual(self.ctl().login("alice", sha_form("s3cret"))[0], 230)
        c = self.ctl()
        self.assertEqual(c.login("alice", "nope"), (530, "530 Wrong user or password"))
        self.assertEqual(c.cmd("USER anonymous"), (530, "530 Login incorrect"))

    def test_lockout_from_the_settings_and_its_login_file(self):
        c = self.ctl("127.0.0.5")
        for _ in range(3):
            self.assertEqual(c.login("alice", "bad"), (530, "530 Wrong user or password"))
        code, text = c.login("alice", "s3cret")
        self.assertEqual(code, 530)
        self.assertRegex(text, r"^530 Login failed 3 times, Please try again in "
                               r"(0\.9\d|1\.00) minutes$")
        with open(self.loginfile) as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 3, lines)
        for line in lines:
            self.assertTrue(line.endswith("\twarn\talice\tlogin\tlogin failed form 127.0.0.5"),
                            line)
        self.assertEqual(stat.S_IMODE(os.stat(self.loginfile).st_mode), 0o600)

    def test_colon_user_and_login_file_lines(self):
        c = self.ctl("127.0.0.4")
        c.cmd("USER")
        self.assertEqual(c.cmd("PASS x")[0], 530)
        self.assertEqual(c.login("alice", "s3cret")[0], 230)
        with open(self.loginfile) as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 2, lines)
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \twarn\t\tlogin\t"
                                   r"login failed form 127\.0\.0\.4$")
        self.assertRegex(lines[1], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \tinfo\talice\tlogin\t"
                                   r"login from 127\.0\.0\.4$")
        err = self.stop_server(self.proc)
        self.assertNotIn("s3cret", err)
        self.assertNotIn("PASS x", err)

    def test_max_clients(self):
        keep = [self.ctl(limit=10) for _ in range(3)]
        extra = Ctl(self.port)
        self.addCleanup(extra.close)
        self.assertEqual(extra.reply(),
                         (421, "421 There are too many connected users, please try later."))
        self.assertTrue(extra.closed())
        keep[0].cmd("QUIT")
        self.ctl(limit=10)


class Ftps(FtpServerCase):

    def setUp(self):
        NvtdCase.setUp(self)
        self.port = free_port()
        self.ftps = free_port()
        self.root = self.work
        self.loginfile = os.path.join(self.work, "login.log")
        self.conf = self.ftp_ini(
            self.port, self.work, "ftps_server_port = %d\nftps_server_addr = 127.0.0.1\n"
            "ftps_crt_file = %s/c.pem\nftps_key_file = %s/k.der\n"
            % (self.ftps, self.work, self.work))
        r = self.run_nvtd("-c", self.conf, "-s", "new_key_x509_file=1")
        self.assertEqual(r.returncode, 0, r.stderr)
        # The FTPS listener opens after the TLS configuration is loaded, a moment after
        # the FTP one.
        self.proc = self.start_server(ports=[self.port, self.ftps])

    def test_login_over_implicit_tls_past_a_stalled_handshake(self):
        stall = socket.create_connection(("127.0.0.1", self.ftps), timeout=5)
        self.addCleanup(stall.close)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        t0 = time.time()
        c = Ctl(self.ftps, wrap=ctx)
        self.addCleanup(c.close)
        self.assertEqual(c.reply(), (220, "220 (nvtd 1.0.0.0)"))
        # Served well before the stalled handshake's own time-out (the data read time-out,
        # 5 s here) would have released a single waiting worker.
        self.assertLess(time.time() - t0, 4)
        self.assertEqual(c.sock.version(), "TLSv1.2")
        self.assertEqual(c.login("anonymous", "x")[0], 230)
        self.assertEqual(c.cmd("PWD"), (257, '257 "/"'))


class ServiceMode(ServerCase):

    def test_unit_written_by_i_and_w_removed_by_u(self):
        units = os.path.join(self.work, "units")
        os.mkdir(units)
        env = dict(clean_env(), NVTD_UNIT_DIR=units)

        def run(opt):
            return subprocess.run([self.exe, opt], env=env, capture_output=True, timeout=30,
                                  errors="replace", stdin=subprocess.DEVNULL)
        for opt in ("-i", "-w"):
            r = run(opt)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("nvtd service installed.", r.stderr)
            with open(os.path.join(units, "nvtd.service")) as f:
                unit = f.read()
            for line in ("ExecStart=%s -d" % self.exe, "Restart=on-failure", "RestartSec=5",
                         "StartLimitBurst=3", "StartLimitIntervalSec=86400",
                         "WantedBy=multi-user.target"):
                self.assertIn(line + "\n", unit)
        r = run("-u")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.exists(os.path.join(units, "nvtd.service")))
        self.assertEqual(run("-u").returncode, 1)

    def test_d_announces_readiness_and_stops_on_sigterm(self):
        self.port = free_port()
        self.conf = self.ftp_ini(self.port, self.work)
        sock_path = os.path.join(self.work, "notify.sock")
        srv = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        srv.bind(sock_path)
        srv.settimeout(10)
        self.addCleanup(srv.close)
        proc = self.start_server("-d", env=dict(clean_env(), NOTIFY_SOCKET=sock_path))
        self.assertEqual(srv.recv(64), b"READY=1")
        c = Ctl(self.port)
        self.addCleanup(c.close)
        self.assertEqual(c.reply()[0], 220)
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0)

    def test_d_with_a_taken_port_exits_one(self):
        with socket.socket() as hold:
            hold.bind(("127.0.0.1", 0))
            hold.listen(1)
            port = hold.getsockname()[1]
            conf = self.ini("[nvtd]\nftp_server_port = %d\nftp_server_addr = 127.0.0.1\n"
                            % port)
            r = self.run_nvtd("-d", "-c", conf)
            self.assertEqual(r.returncode, 1)


if __name__ == "__main__":
    unittest.main()
