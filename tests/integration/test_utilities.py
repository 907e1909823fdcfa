"""The -s utilities of the real nvtd against real loopback peers: Python's http.server
(speaking HTTP/1.1), a raw socket server for exact replies, and tinyproxy."""
import http.server
import os
import platform
import pty
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import zlib

from nvtd_run import TIMEOUT, NvtdCase, clean_env, free_port


def direct_env():
    """The environment without proxies, so that every fetch goes straight to the peer."""
    env = clean_env()
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "NV_PROXY_FILE"):
        env.pop(name, None)
    return env


def signed_record(ver):
    """A version record whose crc covers every byte through its last '='."""
    covered = "; published\n[update]\nver=%s\ncrc=" % ver
    return covered + "%x" % zlib.crc32(covered.encode()) + "\n"


class Http11Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass


class QuietServer(http.server.ThreadingHTTPServer):
    """nvtd hangs up on a reply it refuses before the body is sent: not worth a trace."""

    def handle_error(self, request, client_address):
        pass


class FileServer:
    """http.server on 127.0.0.1 serving the files of root until stopped."""

    def __init__(self, root):
        handler = lambda *a, **kw: Http11Handler(*a, directory=root, **kw)
        self.httpd = QuietServer(("127.0.0.1", 0), handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(5)


class RawServer:
    """Answers one connection with reply bytes, then closes it, or with hold keeps it
    open until stopped."""

    def __init__(self, reply, hold=False):
        self.reply, self.hold = reply, hold
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.sock.settimeout(10)
        self.port = self.sock.getsockname()[1]
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(5)
            request = b""
            while b"\r\n\r\n" not in request:
                data = conn.recv(4096)
                if not data:
                    return
                request += data
            conn.sendall(self.reply)
            if self.hold:
                self.stopped.wait(TIMEOUT)

    def stop(self):
        self.stopped.set()
        self.sock.close()
        self.thread.join(5)


class UtilityCase(NvtdCase):
    def run_util(self, *settings, env=None):
        args = ["-q"]
        for s in settings:
            args += ["-s", s]
        r = subprocess.run([self.exe, *args], cwd=self.work, env=env or direct_env(),
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT,
                           errors="replace")
        self.assert_no_sanitizer_report(r.stderr)
        return r

    def file_server(self):
        root = os.path.join(self.work, "www")
        os.makedirs(root, exist_ok=True)
        srv = FileServer(root)
        self.addCleanup(srv.stop)
        return root, srv

    def raw_server(self, reply, hold=False):
        srv = RawServer(reply, hold)
        self.addCleanup(srv.stop)
        return srv

    def read(self, path, mode="r"):
        with open(path, mode) as f:
            return f.read()


class ShowAppInfo(UtilityCase):
    def test_prints_platform_and_processor(self):
        r = self.run_util("show_app_info=1")
        self.assertEqual((r.returncode, r.stdout),
                         (0, "plat=linux\narch=%s\n" % platform.machine()), r.stderr)

    def test_runs_first_in_order(self):
        r = self.run_util("ver_cmp1=2.0", "ver_cmp2=1.0", "show_app_info=1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("plat=linux", r.stdout)


class Download(UtilityCase):
    def test_writes_file_and_creates_parent_directories(self):
        root, srv = self.file_server()
        data = bytes(range(256)) * 400  # more than one 32768-byte piece
        with open(os.path.join(root, "pkg.bin"), "wb") as f:
            f.write(data)
        out = os.path.join(self.work, "new", "deep", "pkg.bin")
        r = self.run_util("if=" + srv.url("/pkg.bin"), "of=" + out)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read(out, "rb"), data)
        self.assertNotIn("/%d bytes" % len(data), r.stderr)  # no progress line on a pipe

    def test_missing_file_keeps_existing_output(self):
        _, srv = self.file_server()
        out = self.write("keep.txt", "old content")
        r = self.run_util("if=" + srv.url("/absent"), "of=" + out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("status [HTTP/1.1 404 File not found]", r.stderr)
        self.assertIn("get [%s] failed" % srv.url("/absent"), r.stderr)
        self.assertEqual(self.read(out), "old content")

    def test_faulty_replies_fail_without_output(self):
        cases = [
            (b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", False,
             "the body ended after 5 of 100 bytes"),
            (b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nstalled", True,
             "time-out after 7 of 100 bytes"),
            (b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nno length", False,
             "Don't know file length"),
            (b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi", False,
             "status [HTTP/1.0 200 OK]"),
            (b"HTTP/1.1 200 OK\r\nContent-Length: 1000000000000000\r\n\r\nhi", True,
             "Content-Length 1000000000000000 is above the limit"),
            (b"H" * 40000 + b"\r\nContent-Length: 2\r\n\r\nhi", False, "net_gets failed"),
        ]
        for reply, hold, message in cases:
            with self.subTest(message=message):
                srv = self.raw_server(reply, hold)
                out = os.path.join(self.work, "sub", "out.bin")
                r = self.run_util("if=" + srv.url("/f"), "of=" + out)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.work, "sub")))
                srv.stop()

    def test_output_that_is_a_directory_fails(self):
        root, srv = self.file_server()
        self.write("www/f.txt", "data")
        out = os.path.join(self.work, "adir")
        os.mkdir(out)
        r = self.run_util("if=" + srv.url("/f.txt"), "of=" + out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("write [%s] error" % out, r.stderr)
        self.assertEqual(os.listdir(out), [])
        self.assertEqual(sorted(os.listdir(self.work)), ["adir", "www"])

    def test_unwritable_output_path_fails(self):
        _, srv = self.file_server()
        self.write("www/f.txt", "data")
        blocker = self.write("plain", "x")
        r = self.run_util("if=" + srv.url("/f.txt"), "of=" + blocker + "/f.txt")
        self.assertEqual(r.returncode, 1)
        self.assertIn("mkdir [%s] error" % blocker, r.stderr)

    def test_unreachable_server_fails(self):
        out = os.path.join(self.work, "o.txt")
        r = self.run_util("if=http://127.0.0.1:%d/x" % free_port(), "of=" + out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("failed", r.stderr)
        self.assertFalse(os.path.exists(out))

    def test_progress_line_on_a_terminal(self):
        _, srv = self.file_server()
        self.write("www/f.txt", "x" * 70000)
        out = os.path.join(self.work, "o.txt")
        master, slave = pty.openpty()
        try:
            p = subprocess.run([self.exe, "-q", "-s", "if=" + srv.url("/f.txt"), "-s",
                                "of=" + out], cwd=self.work, env=direct_env(),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=slave, timeout=TIMEOUT)
            os.close(slave)
            slave = -1
            seen = b""
            while True:
                try:
                    data = os.read(master, 4096)
                except OSError:
                    break
                if not data:
                    break
                seen += data
        finally:
            if slave >= 0:
                os.close(slave)
            os.close(master)
        self.assertEqual(p.returncode, 0, seen)
        self.assertIn(b"70000/70000 bytes", seen)


class Proxied(UtilityCase):
    def start_tinyproxy(self):
        if not shutil.which("tinyproxy"):
            self.skipTest("tinyproxy is not installed")
        port = free_port()
        log = os.path.join(self.work, "tp.log")
        conf = self.write("tp.conf", "Port %d\nListen 127.0.0.1\nTimeout 10\nMaxClients 10\n"
                          "Allow 127.0.0.1\nLogLevel Info\nLogFile \"%s\"\n" % (port, log))
        proc = subprocess.Popen(["tinyproxy", "-d", "-c", conf], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (proc.terminate(), proc.wait(10)))
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return port, log
            except OSError:
                self.assertIsNone(proc.poll(), "tinyproxy ended early")
                time.sleep(0.05)
        self.fail("tinyproxy did not listen")

    def test_download_through_http_proxy(self):
        port, log = self.start_tinyproxy()
        root, srv = self.file_server()
        self.write("www/f.txt", "through the proxy")
        target = "CONNECT 127.0.0.1:%d" % srv.port
        env = direct_env()
        env["http_proxy"] = "http://127.0.0.1:%d" % port
        ways = [("http_proxy", srv.url("/f.txt"), env),
                ("proxy_url", srv.url("/f.txt") + "?proxy_url=http://127.0.0.1:%d" % port,
                 direct_env())]
        for name, url, run_env in ways:
            with self.subTest(way=name):
                with open(log, "w"):
                    pass  # empty the log: the CONNECT line must come from this run
                out = os.path.join(self.work, name + ".txt")
                r = self.run_util("if=" + url, "of=" + out, env=run_env)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.read(out), "through the proxy")
                self.assertIn(target, self.read(log))

    def test_unreachable_proxy_fails(self):
        _, srv = self.file_server()
        self.write("www/f.txt", "x")
        env = direct_env()
        env["http_proxy"] = "http://127.0.0.1:%d" % free_port()
        out = os.path.join(self.work, "o.txt")
        r = self.run_util("if=" + srv.url("/f.txt"), "of=" + out, env=env)
        self.assertEqual(r.returncode, 1)
        self.assertFalse(os.path.exists(out))


class ConfMerge(UtilityCase):
    def test_takes_over_old_values_and_keeps_new_comments(self):
        new = self.write("new.ini", "; shipped with 1.1\n[nvtd]\n; where we listen\n"
                                    "ftp_server_port = 21\nmax_clients = 10\n")
        old = self.write("old.ini", "[nvtd]\nftp_server_port = 2121\nold_only = 1\n")
        r = self.run_util("new_wconf=" + new, "old_rconf=" + old)
        self.assertEqual(r.returncode, 0, r.stderr)
        text = self.read(new)
        for part in ("; shipped with 1.1", "; where we listen", "2121", "max_clients"):
            self.assertIn(part, text)
        self.assertNotIn("old_only", text)

    def test_missing_old_file_fails(self):
        new = self.write("new.ini", "[nvtd]\nftp_server_port = 21\n")
        r = self.run_util("new_wconf=" + new, "old_rconf=" + os.path.join(self.work, "no.ini"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("no.ini] error", r.stderr)
        self.assertEqual(self.read(new), "[nvtd]\nftp_server_port = 21\n")


class UpdateCheck(UtilityCase):
    def serve_record(self, text):
        root, srv = self.file_server()
        self.write("www/ver.ini", text)
        return srv.url("/ver.ini")

    def test_newer_version_exits_2(self):
        r = self.run_util("update_check_url=" + self.serve_record(signed_record("1.0.1")))
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("published version [1.0.1]", r.stderr)

    def test_same_or_older_version_exits_0(self):
        for ver in ("1.0.0.0", "1.0", "0.9.9"):
            with self.subTest(ver=ver):
                r = self.run_util("update_check_url=" + self.serve_record(signed_record(ver)))
                self.assertEqual(r.returncode, 0, r.stderr)

    def test_bad_checksum_exits_1(self):
        record = signed_record("9.0").replace("9.0", "9.1")
        r = self.run_util("update_check_url=" + self.serve_record(record))
        self.assertEqual(r.returncode, 1)
        self.assertIn("Version conf file integrity error", r.stderr)

    def test_unreachable_record_exits_1(self):
        url = "http://127.0.0.1:%d/ver.ini" % free_port()
        r = self.run_util("update_check_url=" + url)
        self.assertEqual(r.returncode, 1)
        self.assertIn("get [%s] failed" % url, r.stderr)


class ConfGet(UtilityCase):
    def test_prints_value_or_empty_line(self):
        path = self.write("c.ini", "[nvtd]\nuser = alice\n")
        r = self.run_util("conf_file=" + path, "conf_get_key=nvtd:user")
        self.assertEqual((r.returncode, r.stdout), (0, "alice\n"), r.stderr)
        r = self.run_util("conf_file=" + path, "conf_get_key=nvtd:absent")
        self.assertEqual((r.returncode, r.stdout), (0, "\n"), r.stderr)

    def test_missing_file_exits_1(self):
        r = self.run_util("conf_file=" + os.path.join(self.work, "no.ini"),
                          "conf_get_key=nvtd:user")
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertIn("no.ini] error", r.stderr)


class VersionCompare(UtilityCase):
    def test_exit_1_only_when_first_is_greater(self):
        for first, second, status in [("2.0", "1.9.9.9", 1), ("1.9.9.9", "2.0", 0),
                                      ("1.2", "1.2.0.0", 0), ("1.10", "1.9", 1),
                                      ("0.9", "0.1", 0)]:
            with self.subTest(first=first, second=second):
                r = self.run_util("ver_cmp1=" + first, "ver_cmp2=" + second)
                self.assertEqual(r.returncode, status, r.stderr)


if __name__ == "__main__":
    unittest.main()
