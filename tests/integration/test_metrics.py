"""The metrics page of a running nvtd: promtool accepts it as served, a real FTP session
with curl (login, upload, download, a failed login) moves the counters by what it did, and
with console credentials set /metrics wants Basic authentication but no page token."""
import base64
import http.client
import os
import re
import shutil
import subprocess
import time
import unittest

from nvtd_run import ServerCase, free_port

WAIT = 10  # seconds for any one request or client
CONTENT_TYPE = "text/plain; version=0.0.4"
SAMPLE = re.compile(r"([a-zA-Z_:][a-zA-Z0-9_:]*(?:\{[^}]*\})?) (\S+)")
REPLY = re.compile(rb"^< ([1-5])\d\d ", re.M)  # the last line of each reply curl -v shows


def samples(body):
    """The page's samples as {'name{labels}': value}."""
    out = {}
    for line in body.decode().splitlines():
        if line.startswith("#"):
            continue
        m = SAMPLE.fullmatch(line)
        assert m, "not a sample line: %r" % line
        out[m.group(1)] = float(m.group(2))
    return out


class MetricsCase(ServerCase):
    """nvtd with a user and password for FTP and the web console on a free port; DEBUG
    adds lines to its [debug] section."""
    DEBUG = ""

    def setUp(self):
        super().setUp()
        self.root = os.path.join(self.work, "root")
        os.mkdir(self.root)
        self.port = free_port()
        self.http_port = free_port()
        self.conf = self.ftp_ini(self.port, self.root,
                                 "user = alice\npasswd = S3cret\n[log]\nlevel = warn\n"
                                 "[debug]\nhttp_server_port = %d\n%s"
                                 % (self.http_port, self.DEBUG))
        self.start_server(ports=[self.port, self.http_port])

    def get(self, path, headers=None):
        """One GET; returns (status, headers as a dict, body bytes)."""
        c = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=WAIT)
        self.addCleanup(c.close)
        c.request("GET", path, headers=headers or {})
        r = c.getresponse()
        return r.status, dict(r.getheaders()), r.read()

    def metrics(self, headers=None):
        status, head, body = self.get("/metrics", headers)
        self.assertEqual(status, 200, body[:200])
        self.assertEqual(head.get("Content-Type"), CONTENT_TYPE)
        return body


class Page(MetricsCase):
    def test_promtool_accepts_the_page(self):
        if shutil.which("promtool") is None:
            self.skipTest("promtool is not installed (Debian package prometheus)")
        body = self.metrics()
        r = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True,
                           timeout=WAIT)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(r.stdout + r.stderr, b"")  # no lint remarks either


class CurlSession(MetricsCase):
    maxDiff = None

    def curl(self, url, *args, status=0):
        """curl -v against the server; returns its verbose output (the replies it read)."""
        r = subprocess.run(["curl", "-sS", "-v", "--max-time", str(WAIT), *args,
                            "ftp://127.0.0.1:%d/%s" % (self.port, url)],
                           capture_output=True, timeout=WAIT + 5)
        self.assertEqual(r.returncode, status, r.stderr.decode(errors="replace"))
        return r.stderr

    def idle(self, sessions):
        """The samples once sessions FTP sessions have begun and none is open any more, so
        that every reply of theirs has gone out."""
        deadline = time.time() + WAIT
        while True:
            s = samples(self.metrics())
            if (s['nvtd_ftp_sessions_total{proto="ftp"}'] >= sessions and
                    s['nvtd_ftp_sessions_active{proto="ftp"}'] == 0):
                return s
            self.assertLess(time.time(), deadline, "FTP sessions stay open")
            time.sleep(0.05)

    def test_login_upload_download_and_failed_login_move_the_counters(self):
        down = os.urandom(700000) + b"down"
        with open(os.path.join(self.root, "f.bin"), "wb") as f:
            f.write(down)
        up = os.urandom(300000) + b"up"
        up_path = os.path.join(self.work, "up.bin")
        with open(up_path, "wb") as f:
            f.write(up)
        out = os.path.join(self.work, "out.bin")
        before = self.idle(1)  # the start-up's probe connection has had its greeting

        talk = self.curl("up.bin", "-u", "alice:S3cret", "-T", up_path)
        talk += self.curl("f.bin", "-u", "alice:S3cret", "-o", out)
        talk += self.curl("", "-u", "alice:wrong", status=67)  # 67: login denied
        with open(out, "rb") as f:
            self.assertEqual(f.read(), down)
        after = self.idle(before['nvtd_ftp_sessions_total{proto="ftp"}'] + 3)

        moved = {k: after[k] - before[k] for k in after
                 if k.startswith(("nvtd_ftp_", "nvtd_login")) and after[k] != before[k]}
        classes = REPLY.findall(talk)
        # curl ends a session it logged in with QUIT as it exits and does not show the 221.
        classes += [b"2"] * talk.count(b"Connection #0 to host 127.0.0.1 left intact")
        replies = {'nvtd_ftp_replies_total{class="%sxx"}' % c: n
                   for c in "12345" if (n := classes.count(c.encode()))}
        self.assertEqual(moved, {
            'nvtd_ftp_sessions_total{proto="ftp"}': 3,
            'nvtd_logins_total{result="ok"}': 2,
            'nvtd_logins_total{result="failed"}': 1,
            'nvtd_ftp_transfers_total{command="STOR",result="ok"}': 1,
            'nvtd_ftp_transfers_total{command="RETR",result="ok"}': 1,
            "nvtd_ftp_data_received_bytes_total": len(up),
            "nvtd_ftp_data_sent_bytes_total": len(down),
            **replies,
        })
        self.assertEqual(replies['nvtd_ftp_replies_total{class="5xx"}'], 1)  # the 530
        self.assertGreater(after['nvtd_log_lines_total{level="warn"}'],
                           before['nvtd_log_lines_total{level="warn"}'])  # the wrong password


class Authenticated(MetricsCase):
    DEBUG = "http_server_user = ops\nhttp_server_pwd = pa55\n"

    @staticmethod
    def basic(user, pwd):
        return {"Authorization": "Basic " + base64.b64encode(b"%s:%s" % (user, pwd)).decode()}

    # Without them or with wrong ones /metrics gets the challenge as every console path does
    # (test_web_console's Login).
    def test_metrics_wants_credentials_but_no_token(self):
        body = self.metrics(self.basic(b"ops", b"pa55"))
        self.assertIn(b'nvtd_build_info{version="1.0.0.0",name="nvtd"} 1\n', body)
        # The token guards the endpoints that run or change things, not this one.
        status, _, _ = self.get("/cmd?command=echo%20hi", self.basic(b"ops", b"pa55"))
        self.assertEqual(status, 403)


if __name__ == "__main__":
    unittest.main()
