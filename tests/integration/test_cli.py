"""Command line of the real nvtd: one-off options, -s, option errors, the single instance."""
import os
import socket
import unittest

from nvtd_run import BANNER, VERSION, NvtdCase, free_port

USAGE = (
    "Usage: nvtd [opt] [arguments] ...\n"
    "\t-c [config_file]  set config file\n"
    "\t-p dump current config\n"
    "\t-s [list|key=val] Set configuration options\n"
    "\t-e [\"cmd;...\"] execute string 'cmd'\n"
    "\t-v show version\n"
    "\t-q Do not display the startup banner and copyright message\n"
    "\t-d Run as a service\n"
    "\t-i Install service\n"
    "\t-u uninstall service\n"
    "\t-o [log_file]     set output log file\n"
    "\t-l [log_level]    set log level: verb, dbg, info, warn, err\n"
    "\t-h display this help\n"
)

KEYS = ["http_server_port", "debug_server_port", "create_user_pwd", "new_key_x509_file",
        "show_app_info", "update_check_url", "update_stability_minute", "if", "of",
        "new_wconf", "old_rconf", "conf_file", "conf_get_key", "ver_cmp1", "ver_cmp2"]

BAD_USER_INI = "[nvtd]\nuser = a@b\n"


class OneOffOptions(NvtdCase):
    def test_version_prints_only_the_version(self):
        # A configuration that would end start-up with 1 proves -v never reads it.
        bad = self.ini(BAD_USER_INI)
        r = self.run_nvtd("-c", bad, "-v")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, VERSION + "\n", ""))

    def test_help_prints_banner_and_usage_and_quiet_drops_the_banner(self):
        r = self.run_nvtd("-h")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "")
        lines = r.stderr.split("\n", 2)
        self.assertEqual(lines[0], BANNER)
        self.assertTrue(lines[1].startswith("Copyright"), r.stderr)
        self.assertEqual(lines[2], USAGE)
        # -q drops the banner.
        r = self.run_nvtd("-q", "-h")
        self.assertEqual((r.returncode, r.stderr), (0, USAGE))

    def test_s_list_prints_keys_before_any_configuration(self):
        bad = self.ini(BAD_USER_INI)
        r = self.run_nvtd("-c", bad, "-s", "list")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "support the following key settings\n" +
                         "".join(k + "\n" for k in KEYS))


class OptionErrors(NvtdCase):
    def test_unknown_option_prints_message_and_usage(self):
        r = self.run_nvtd("-x")
        self.assertEqual(r.returncode, 1)
        self.assertIn(": invalid option -- x\n", r.stderr)
        self.assertTrue(r.stderr.endswith(USAGE), r.stderr)
        self.assertEqual(r.stdout, "")

    def test_missing_argument(self):
        for opt in ("c", "o", "l", "e", "s"):
            with self.subTest(opt=opt):
                r = self.run_nvtd("-p", "-" + opt)
                self.assertEqual(r.returncode, 1)
                self.assertIn(": option requires an argument -- %s\n" % opt, r.stderr)
                self.assertIn("Usage: nvtd", r.stderr)
                self.assertEqual(r.stdout, "")  # -p never ran

    def test_too_many_arguments(self):
        args = ["-q"] * 16  # with the program name 17 words
        r = self.run_nvtd(*args)
        self.assertEqual(r.returncode, 1)
        self.assertIn("error: Too many args\n", r.stderr)
        r = self.run_nvtd(*(["-q"] * 14 + ["-p"]))
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_half_set_utility_pairs_start_normally(self):
        r = self.run_nvtd("-c", self.run_ini(), "-s", "ver_cmp1=2.0",
                          "-s", "if=http://127.0.0.1/x")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("waiting for the end of standard input", r.stderr)


class SettingsFromCommandLine(NvtdCase):
    def test_s_values_win_over_the_file(self):
        path = self.ini("[debug]\nhttp_server_port = 8080\nshell_server_port = 9090\n")
        d = self.dump("-c", path, "-s", "http_server_port=0", "-s", "debug_server_port=7")
        self.assertEqual((d["http_server_port"], d["debug_server_port"]), ("0", "7"))

    def test_bad_s_text_is_logged_and_startup_goes_on(self):
        r = self.run_nvtd("-s", "foo=1", "-s", "foo", "-s", "http_server_port=5", "-p")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("unsupported key [foo]\n", r.stderr)
        self.assertIn("foo syntax error Example: k=v\n", r.stderr)
        self.assertIn("\nhttp_server_port=5\n", r.stdout)

    def test_long_and_binary_s_values(self):
        r = self.run_nvtd("-s", "k" * 100000 + "=v", "-s", "update_stability_minute=" +
                          "9" * 50000 + "\x01\x7f\xff", "-p")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("unsupported key [" + "k" * 1000, r.stderr)

    def test_last_c_wins(self):
        a = self.ini("[nvtd]\nftp_server_port = 1111\n", "a.ini")
        b = self.ini("[nvtd]\nftp_server_port = 2222\n", "b.ini")
        self.assertEqual(self.dump("-c", a, "-c", b)["ftp_server_port"], "2222")
        self.assertEqual(self.dump("-c", b, "-c", a)["ftp_server_port"], "1111")

    def test_relative_paths_follow_the_starting_directory(self):
        port = free_port()
        self.ini("[nvtd]\nftp_server_port = %d\n" % port, "rel.ini")
        self.assertEqual(self.dump("-c", "rel.ini", cwd=self.work)["ftp_server_port"], str(port))
        r = self.run_nvtd("-c", "rel.ini", "-o", "out.log", cwd=self.work)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.work, "out.log"), errors="replace") as f:
            self.assertIn("waiting for the end of standard input", f.read())

    def test_log_level_option(self):
        r = self.run_nvtd("-c", os.path.join(self.work, "missing.ini"), "-l", "dbg", "-p")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("Load default nvtd.ini\n", r.stderr)
        r = self.run_nvtd("-c", os.path.join(self.work, "missing.ini"), "-p")
        self.assertNotIn("Load default", r.stderr)


class SingleInstance(NvtdCase):
    def test_a_served_ftp_port_ends_startup(self):
        with socket.socket() as other:
            other.bind(("127.0.0.1", 0))
            other.listen()
            port = other.getsockname()[1]
            for text in ("[nvtd]\nftp_server_port = %d\n" % port,
                         "[nvtd]\nftp_server_port = 1\nftps_server_port = %d\n" % port):
                with self.subTest(text=text):
                    r = self.run_nvtd("-c", self.ini(text))
                    self.assertEqual(r.returncode, 1, r.stderr)
                    self.assertIn("nvtd-linux-", r.stderr)  # after the banner
                    self.assertIn("Can only run one instance, bind port=[%d] failed" % port,
                                  r.stderr)
        # Nobody serves the port any more: start-up goes through.
        r = self.run_nvtd("-c", self.ini("[nvtd]\nftp_server_port = %d\n" % port))
        self.assertEqual(r.returncode, 0, r.stderr)


if __name__ == "__main__":
    unittest.main()
