"""The real nvtd serving FTP and FTPS: settings from the file reaching the sessions (the
login lockout with its login file, implicit TLS with a created certificate), signals and
the end of standard input, and service mode with its systemd unit. The session's commands
themselves are checked by the libftpd tests."""
import os
import signal
import socket
import ssl
import stat
import subprocess
import unittest

from nvtd_run import NvtdCase, ServerCase, clean_env, free_port


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
        os.makedirs(self.root)
        self.port = free_port()
        self.loginfile = os.path.join(self.work, "login.log")
        self.conf = self.ftp_ini(self.port, self.root, "%s[login]\nlogin_file = %s\n%s"
                                 "[log]\nlevel = info\n"
                                 % (self.nvtd_lines, self.loginfile, self.login_lines))
        self.proc = self.start_server()

    def ctl(self, src=None):
        """A greeted session."""
        c = Ctl(self.port, src)
        self.addCleanup(c.close)
        self.assertEqual(c.reply(), (220, "220 (nvtd 1.0.0.0)"))
        return c


class Signals(FtpServerCase):

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


class ConfiguredUser(FtpServerCase):
    nvtd_lines = "user = alice\npasswd = s3cret\n"
    login_lines = "login_fail_count = 3\nlogin_fail_wait_m = 1\n"

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

    def test_login_over_implicit_tls(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        c = Ctl(self.ftps, wrap=ctx)
        self.addCleanup(c.close)
        self.assertEqual(c.reply(), (220, "220 (nvtd 1.0.0.0)"))
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
