"""The web console of a running nvtd over HTTP: the exact bytes of the page and of a
command's reply, the page token, Basic authentication, the icon, unknown paths, the
loopback-only default, and a start that finds its port taken."""
import http.client
import json
import re
import socket
import time
import unittest

from nvtd_run import LOOPBACK_HEX, ServerCase, free_port, listening_addresses

WAIT = 10  # seconds for any one request

# The page of these tests (debug.html beside the binary replaces the built-in page).
PAGE = "<title>$title</title><input type=hidden value=\"$token_value\">$sh_psa $other\n"
HEAD = ("HTTP/1.1 %s\r\nServer: NORVA Http Server\r\nDate: DATE\r\nConnection: close\r\n"
        "Content-Type: %s\r\nCache-Control: no-store, must-revalidate\r\nExpires: 0\r\n"
        "Pragma: no-cache\r\n\r\n")
DATE = r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT"
TOKEN = re.compile(rb'value="([0-9a-f]{16})"')
PNG = b"\x89PNG\r\n\x1a\n"


class Console(ServerCase):
    """nvtd with the web console on a free port; MORE adds lines to its [debug] section."""
    MORE = ""

    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.http_port = free_port()
        self.conf = self.ini("[nvtd]\nftp_server_port = %d\nftp_server_addr = 127.0.0.1\n"
                             "[debug]\nhttp_server_port = %d\n%s"
                             % (self.port, self.http_port, self.MORE))
        self.proc = self.start_server(ports=[self.port, self.http_port])

    def get(self, path, headers=None):
        """One GET; returns (status, reason, headers as a dict, body bytes)."""
        c = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=WAIT)
        self.addCleanup(c.close)
        c.request("GET", path, headers=headers or {})
        r = c.getresponse()
        return r.status, r.reason, dict(r.getheaders()), r.read()

    def raw(self, path):
        """The reply to GET path as bytes, up to the server's close."""
        with socket.create_connection(("127.0.0.1", self.http_port), timeout=WAIT) as s:
            s.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path.encode())
            got = b""
            while chunk := s.recv(65536):
                got += chunk
            return got

    def token(self, headers=None):
        status, _, _, body = self.get("/", headers)
        self.assertEqual(status, 200)
        m = TOKEN.search(body)
        self.assertIsNotNone(m, body[:200])
        return m.group(1).decode()

    def assert_reply(self, got, status, ctype, body):
        """got is a status line and headers as HEAD gives them (any date), then body."""
        want = re.escape(HEAD % (status, ctype)).replace("DATE", DATE).encode()
        self.assertRegex(got, b"\\A" + want + re.escape(body) + b"\\Z")


class Page(Console):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(cls.bindir + "/debug.html", "w") as f:
            f.write(PAGE)

    def test_page_bytes_with_title_prompt_and_token_whatever_the_query(self):
        got = self.raw("/?title=%3Cscript%3E&token_value=x&sh_psa=y&other=z")
        token = TOKEN.search(got).group(1)
        self.assert_reply(got, "200 Output Follows", "text/html",
                          b"<title>NVTD Web Debug Tool</title><input type=hidden value=\"%s\">"
                          b"nvtd> $other\n" % token)

    def test_cmd_reply_bytes(self):
        got = self.raw("/cmd?token=%s&command=echo%%20one%%3Becho%%20two" % self.token())
        self.assert_reply(got, "200 Output Follows", "application/json",
                          b'[{"resp":"one\\n\\u0000two\\n\\u0000"}]')

    def test_token_is_new_for_each_run(self):
        first = self.token()
        self.stop_server(self.proc)
        self.proc = self.start_server(ports=[self.port, self.http_port])
        self.assertNotEqual(self.token(), first)


class Token(Console):
    def test_missing_or_wrong_token_is_forbidden_and_runs_nothing(self):
        token = self.token()
        wrong = token[:-1] + ("0" if token[-1] != "0" else "1")
        for query in ("", "token=%s&" % wrong, "token=%s0&" % token, "x&token=%s&" % token):
            for path in ("/cmd?%scommand=set%%20log.level%%20dbg" % query, "/log?" + query,
                         "/config?" + query, "/update?%sname=log.level&value=dbg" % query):
                status, reason, headers, _ = self.get(path)
                self.assertEqual((status, reason), (403, "Forbidden"), path)
        status, _, _, body = self.get("/config?token=" + token)
        self.assertEqual(status, 200)
        self.assertIn(b'"name":"log.level","value":"info"', body)

    def test_update_with_the_token_changes_the_setting(self):
        token = self.token()
        status, _, headers, body = self.get("/update?token=%s&name=log.level&value=dbg" % token)
        self.assertEqual((status, body), (200, b'{ "success" : true, "msg" : "ok" }'))
        self.assertEqual(headers["Content-Type"], "application/json")
        _, _, _, body = self.get("/cmd?token=%s&command=show%%20dvar" % token)
        self.assertIn(b"log.level=dbg", body)
        # At debug level each request's query is logged, the token's value left out.
        lines, deadline = [], time.time() + WAIT
        while not any("command=show%20dvar" in line for line in lines) and time.time() < deadline:
            lines += [r["log"] for r in json.loads(self.get("/log?token=" + token)[3])]
        self.assertIn("[token=***&command=show%20dvar]", "".join(lines))
        self.assertNotIn(token, "".join(lines))

    def test_log_view_gets_each_line_once_as_valid_json(self):
        token = self.token()
        # The failure's log line carries the decoded name: a quote, a backslash, a control
        # byte and a non-ASCII character.
        self.get("/update?token=%s&name=q%%22b%%5Cc%%01%%C3%%A9&value=1" % token)
        want = 'q"b\\c\x01\u00e9'
        seen, deadline = [], time.time() + WAIT
        while not seen and time.time() < deadline:
            status, _, _, body = self.get("/log?token=" + token)
            self.assertEqual(status, 200)
            seen = [r for r in json.loads(body) if want in r["log"]]
        self.assertEqual([r["level"] for r in seen], ["error"])
        _, _, _, body = self.get("/log?token=" + token)
        self.assertFalse([r for r in json.loads(body) if want in r["log"]])

    def test_unknown_paths_are_not_found(self):
        for path in ("/x", "/cmd/", "/x/cmd"):
            status, reason, _, body = self.get(path)
            self.assertEqual((status, reason), (404, "Not Found"), path)
            self.assertIn(b"The request URL was not found!", body)

    def test_listens_on_loopback_only(self):
        self.assertEqual(listening_addresses(self.http_port), LOOPBACK_HEX)

    def test_exit_command_stops_the_server(self):
        status, _, _, _ = self.get("/cmd?token=%s&command=exit" % self.token())
        self.assertEqual(status, 200)
        self.assertEqual(self.proc.wait(WAIT), 0)


class Login(Console):
    MORE = "http_server_user = admin\nhttp_server_pwd = s3cret\n"
    GOOD = {"Authorization": "Basic YWRtaW46czNjcmV0"}  # admin:s3cret

    def test_every_path_but_the_icon_asks_for_credentials(self):
        for path in ("/", "/cmd?command=echo%20x", "/log", "/config", "/update", "/metrics"):
            for headers in ({}, {"Authorization": "Basic YWRtaW46czNjcmVU"},  # admin:s3creT
                            {"Authorization": "Basic YWRtaW4="}):  # admin, no password
                status, reason, h, body = self.get(path, headers)
                self.assertEqual((status, reason), (401, "Please Authenticate"), path)
                self.assertEqual(h["WWW-Authenticate"], 'Basic realm="norva"')
                self.assertEqual(body, b"\n")

    def test_credentials_open_the_page_and_the_token_the_commands(self):
        token = self.token(self.GOOD)
        status, _, _, body = self.get("/cmd?token=%s&command=echo%%20in" % token, self.GOOD)
        self.assertEqual((status, body), (200, b'[{"resp":"in\\n\\u0000"}]'))

    def test_icon_needs_no_credentials(self):
        status, _, headers, body = self.get("/favicon.ico")
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "image/png")
        self.assertTrue(body.startswith(PNG))


class UserWithoutPassword(Console):
    MORE = "http_server_user = admin\nhttp_server_pwd =\n"

    def test_no_challenge(self):
        status, _, _, body = self.get("/")
        self.assertEqual(status, 200)
        self.assertRegex(body, TOKEN)


class PortTaken(ServerCase):
    def test_ftp_goes_on_without_the_console(self):
        self.port = free_port()
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            self.conf = self.ini("[nvtd]\nftp_server_port = %d\nftp_server_addr = 127.0.0.1\n"
                                 "[debug]\nhttp_server_port = %d\nhttp_server_addr = 127.0.0.1\n"
                                 % (self.port, taken.getsockname()[1]))
            proc = self.start_server()
            with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT) as s:
                self.assertTrue(s.recv(100).startswith(b"220"))
            err = self.stop_server(proc)
        self.assertIn("debug_http_server_init failed", err)


if __name__ == "__main__":
    unittest.main()
