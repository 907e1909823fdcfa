"""Configuration keys of the real nvtd, observed through the dump (-p): defaults, every key
reaching its setting, quoting, the credential check and credential generation. The bounds
of each value are checked by the libftpd settings tests."""
import os
import re
import unittest

from nvtd_run import NvtdCase

FORBIDDEN = ";/\\\"'?:@# "

DEFAULTS = {
    "ftp_server_port": "21", "ftp_server_addr": "''", "ftps_server_port": "0",
    "ftps_server_addr": "''", "ftps_key_file": "nvtd.key", "ftps_crt_file": "nvtd.crt",
    "ftpd_login_user": "''", "ftpd_login_passwd": "''", "ftpd_file_readonly": "0",
    "ftpd_read_bs": "2097152", "ftpd_max_clients": "0", "ftpd_read_timeout": "5000",
    "ftpd_idle_session_timeout": "600000", "ftpd_upload_max_rate": "0",
    "ftpd_download_max_rate": "0", "ftpd_passive_begin_port": "0",
    "ftpd_passive_end_port": "0", "ftp_root": "''", "pasv_address": "''",
    "panic_dump_dir": "''", "ftpd_login_file": "''", "ftpd_login_file_size": "2097152",
    "ftpd_login_fail_count": "5", "ftpd_login_fail_wait_m": "15", "ftpd_max_per_ip": "0",
    "ftpd_login_timeout": "0", "ftpd_extensions": "0", "ftpd_ftps_required": "0",
    "ftpd_ftps_data_reuse": "0",
    "debug_pipe_name": "''", "http_server_addr": "''",
    "debug_server_addr": "''",
}

ORDER = ["ftp_server_port", "ftp_server_addr", "ftps_server_port", "ftps_server_addr",
         "ftps_key_file", "ftps_crt_file", "ftpd_login_user", "ftpd_login_passwd",
         "ftpd_file_readonly", "ftpd_read_bs", "ftpd_max_clients", "ftpd_read_timeout",
         "ftpd_idle_session_timeout", "ftpd_upload_max_rate", "ftpd_download_max_rate",
         "ftpd_passive_begin_port", "ftpd_passive_end_port", "ftp_root", "pasv_address",
         "http_server_port", "http_server_addr", "debug_server_port", "debug_server_addr",
         "panic_dump_dir", "ftpd_login_file", "ftpd_login_file_size",
         "ftpd_login_fail_count", "ftpd_login_fail_wait_m", "ftpd_max_per_ip",
         "ftpd_login_timeout", "ftpd_extensions", "ftpd_ftps_required",
         "ftpd_ftps_data_reuse",
         "panic_dump_dir", "debug_pipe_name", "debug_server_port", "debug_server_addr",
         "http_server_port", "http_server_addr"]

class Dump(NvtdCase):
    def test_defaults_without_a_file(self):
        d = self.dump("-c", os.path.join(self.work, "missing.ini"))
        for name, value in DEFAULTS.items():
            self.assertEqual(d[name], value, name)
        # Without a file the debug shell and the web console keep their own ports.
        self.assertEqual((d["debug_server_port"], d["http_server_port"]), ("12681", "12680"))

    def test_order_of_lines_then_log_settings(self):
        r = self.run_nvtd("-c", self.ini(""), "-p")
        self.assertEqual(r.returncode, 0, r.stderr)
        names = [line.partition("=")[0] for line in r.stdout.splitlines()]
        self.assertEqual(names[:len(ORDER)], ORDER)
        self.assertIn("log_level", names[len(ORDER):])

    def test_a_file_without_debug_keys_turns_both_debug_ports_off(self):
        d = self.dump("-c", self.ini("[nvtd]\nreadonly = 1\n"))
        self.assertEqual((d["debug_server_port"], d["http_server_port"]), ("0", "0"))
        self.assertEqual(d["ftpd_file_readonly"], "1")
        self.assertEqual(d["ftps_key_file"], "nvtd.key")

    def test_every_key_reaches_its_setting(self):
        path = self.ini(
            "; comment\n[nvtd]\nftp_server_port = 2121\nftp_server_addr = 127.0.0.1\n"
            "ftps_server_port = 990\nftps_server_addr = ::1\nftps_crt_file = /c/x.crt\n"
            "ftps_key_file = /c/x.key\nuser = alice\npasswd = S3cret!x\nreadonly = 1\n"
            "max_clients = 10\nread_timeout = 7\nidle_session_timeout = 60\nbs = 64k\n"
            "upload_max_rate = 1M\ndownload_max_rate = 1MB\npassive_begin_port = 50000\n"
            "passive_end_port = 50100\nftp_root = /srv/ftp\npasv_address = 192.0.2.7\n"
            "[login]\nlogin_fail_count = 3\nlogin_fail_wait_m = 2\nlogin_file = login.log\n"
            "login_file_size = 10k\n"
            "[debug]\npanic_dump_dir = /tmp/dumps\ndebug_pipe_name = nvtd_dbg\n"
            "shell_server_port = 12681\nshell_server_addr = 127.0.0.1\n"
            "http_server_port = 12680\nhttp_server_addr = 127.0.0.1\n")
        d = self.dump("-c", path)
        want = {
            "ftp_server_port": "2121", "ftp_server_addr": "127.0.0.1",
            "ftps_server_port": "990", "ftps_server_addr": "::1",
            "ftps_crt_file": "/c/x.crt", "ftps_key_file": "/c/x.key",
            "ftpd_login_user": "alice", "ftpd_login_passwd": "S3cret!x",
            "ftpd_file_readonly": "1", "ftpd_max_clients": "10", "ftpd_read_timeout": "7000",
            "ftpd_idle_session_timeout": "60000", "ftpd_read_bs": "65536",
            "ftpd_upload_max_rate": "1048576", "ftpd_download_max_rate": "1000000",
            "ftpd_passive_begin_port": "50000", "ftpd_passive_end_port": "50100",
            "ftp_root": "/srv/ftp", "pasv_address": "192.0.2.7",
            "ftpd_login_fail_count": "3", "ftpd_login_fail_wait_m": "2",
            "ftpd_login_file": "login.log", "ftpd_login_file_size": "10240",
            "panic_dump_dir": "/tmp/dumps", "debug_pipe_name": "nvtd_dbg",
            "debug_server_port": "12681", "debug_server_addr": "127.0.0.1",
            "http_server_port": "12680", "http_server_addr": "127.0.0.1",
        }
        for name, value in want.items():
            self.assertEqual(d[name], value, name)

    def test_quoting_of_texts(self):
        path = self.ini('[nvtd]\nftp_root = "/srv/my ftp"\nftps_crt_file = "a\tb.crt"\n'
                        'ftps_key_file = "k;1.key"\npasv_address = "\'x y"\n'
                        'ftp_server_addr = \n')
        d = self.dump("-c", path)
        self.assertEqual(d["ftp_root"], "'/srv/my ftp'")
        self.assertEqual(d["ftps_crt_file"], "'a\tb.crt'")
        self.assertEqual(d["ftps_key_file"], "'k;1.key'")
        self.assertEqual(d["pasv_address"], "'x y")  # starts with a quote: as it is
        self.assertEqual(d["ftp_server_addr"], "''")

    def test_exe_directory_file_is_the_default(self):
        with open(os.path.join(self.bindir, "nvtd.ini"), "w") as f:
            f.write("[nvtd]\nftp_server_port = 4444\n")
        try:
            self.assertEqual(self.dump()["ftp_server_port"], "4444")
            # A named file that is missing falls back to that default name too.
            self.assertEqual(self.dump("-c", "nope.ini")["ftp_server_port"], "4444")
        finally:
            os.unlink(os.path.join(self.bindir, "nvtd.ini"))


class Credentials(NvtdCase):
    def test_forbidden_characters_end_startup(self):
        # Each character once, alternating between the two keys ("@" in the user name).
        for i, ch in enumerate(FORBIDDEN):
            key, label = (("passwd", "passwd"), ("user", "User"))[i % 2]
            with self.subTest(ch=ch, key=key):
                value = "ab" + ch + "cd"
                q = "'" if ch == '"' else '"'  # the store has no escapes
                path = self.ini("[nvtd]\n%s = %s%s%s\n" % (key, q, value, q))
                r = self.run_nvtd("-c", path, "-p")
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("%s=[%s] is invalid, Cannot use [%s]" % (label, value, FORBIDDEN),
                              r.stderr)
                self.assertEqual(r.stdout, "")  # the dump never ran

    def test_harmless_unusual_bytes_pass(self):
        path = self.write("nvtd.ini", b"[nvtd]\nuser = r\xc3\xa9my!\npasswd = p\x01w%\n",
                          mode="wb")
        d = self.dump("-c", path)
        self.assertEqual(d["ftpd_login_user"], "r\u00e9my!")
        self.assertEqual(d["ftpd_login_passwd"], "p\x01w%")

    def assert_credential(self, text):
        self.assertRegex(text, r"^[0-9a-zA-Z]{8}$")
        self.assertRegex(text, "[0-9]")
        self.assertRegex(text, "[a-z]")
        self.assertRegex(text, "[A-Z]")

    def test_create_user_pwd_rewrites_the_file_keeping_comments(self):
        original = ("; nvtd settings\n[nvtd]\n# the port\nftp_server_port = 2121\n"
                    "user = old\n\n[login]\nlogin_fail_count = 4 ; inline note\n")
        path = self.ini(original)
        seen = set()
        for _ in range(2):
            r = self.run_nvtd("-c", path, "-s", "create_user_pwd=1")
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(path, encoding="utf-8-sig") as f:
                text = f.read()
            # Comment lines stay; the store drops inline comments on every save.
            for comment in ("; nvtd settings", "# the port"):
                self.assertIn(comment, text)
            d = self.dump("-c", path)
            self.assertEqual(d["ftp_server_port"], "2121")
            self.assertEqual(d["ftpd_login_fail_count"], "4")
            self.assert_credential(d["ftpd_login_user"])
            self.assert_credential(d["ftpd_login_passwd"])
            self.assertNotEqual(d["ftpd_login_user"], d["ftpd_login_passwd"])
            self.assertRegex(text, r"user\s*=\s*%s" % re.escape(d["ftpd_login_user"]))
            seen.add(d["ftpd_login_user"])
        self.assertEqual(len(seen), 2)

    def test_create_user_pwd_without_a_file_fails(self):
        r = self.run_nvtd("-c", os.path.join(self.work, "missing.ini"),
                          "-s", "create_user_pwd=1")
        self.assertEqual(r.returncode, 1)
        self.assertIn("user and password not written", r.stderr)


if __name__ == "__main__":
    unittest.main()
