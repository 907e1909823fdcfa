"""The real nvtd with real FTP clients: curl in passive and active mode (listing, download,
upload, resumed download), lftp mirroring a small tree down and up, and Python's ftplib
through every file and listing command with its failure replies."""
import os
import subprocess
import sys
import unittest

from nvtd_run import ServerCase, free_port

HERE = os.path.dirname(os.path.abspath(__file__))
FTPLIB_SCRIPT = os.path.join(HERE, "..", "libftpd", "ftplib_session.py")


class ClientsCase(ServerCase):
    """Starts nvtd serving a fresh root with the given [nvtd] lines; stops it after."""

    nvtd_lines = ""

    def setUp(self):
        super().setUp()
        self.root = os.path.join(self.work, "root")
        os.makedirs(self.root)
        self.port = free_port()
        self.conf = self.ftp_ini(self.port, self.root, self.nvtd_lines + "[log]\nlevel = warn\n")
        self.start_server()

    def sh(self, *args, timeout=60):
        r = subprocess.run(list(args), capture_output=True, timeout=timeout)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout

    def put(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def get(self, path):
        with open(path, "rb") as f:
            return f.read()

    def ftplib_session(self, mode):
        r = subprocess.run([sys.executable, FTPLIB_SCRIPT, "127.0.0.1", str(self.port),
                            self.root, mode], capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())


class CurlTest(ClientsCase):
    def test_passive_and_active(self):
        body = os.urandom(1 << 20) + b"end"
        self.put(os.path.join(self.root, "f.bin"), body)
        self.put(os.path.join(self.work, "up.bin"), body)
        base = "ftp://127.0.0.1:%d" % self.port
        for name, opts in (("epsv", []), ("pasv", ["--disable-epsv"]),
                           ("eprt", ["-P", "127.0.0.1"]),
                           ("port", ["-P", "127.0.0.1", "--disable-eprt"])):
            with self.subTest(mode=name):
                curl = ["curl", "-sS", "--max-time", "30"] + opts
                listing = self.sh(*curl, base + "/")
                self.assertIn(b" f.bin", listing)
                out = os.path.join(self.work, "got_" + name)
                self.sh(*curl, "-o", out, base + "/f.bin")
                self.assertEqual(self.get(out), body)
                self.sh(*curl, "-T", os.path.join(self.work, "up.bin"),
                        base + "/up_%s.bin" % name)
                self.assertEqual(self.get(os.path.join(self.root, "up_%s.bin" % name)), body)
                self.put(out, body[:12345])
                self.sh(*curl, "-C", "-", "-o", out, base + "/f.bin")
                self.assertEqual(self.get(out), body)


class LftpTest(ClientsCase):
    def test_mirror_down_and_up(self):
        files = {"empty": b"", "one": b"1", "a page": os.urandom(4096),
                 "ünï/cödé file": os.urandom(4097), "big.bin": os.urandom((2 << 20) + 1)}
        for name, data in files.items():
            self.put(os.path.join(self.root, "src", name), data)
        down = os.path.join(self.work, "down")
        script = ("set net:max-retries 1; set net:timeout 20; set ftp:ssl-allow no; "
                  "set ftp:use-site-utime no; set ftp:use-site-utime2 no; set ftp:use-mfmt no; "
                  "set cmd:fail-exit yes; open -u anonymous,x ftp://127.0.0.1:%d; "
                  % self.port)
        self.sh("lftp", "-c", script + "mirror /src '%s'" % down, timeout=90)
        self.sh("lftp", "-c", script + "mirror -R --no-perms '%s' /up" % down, timeout=90)
        for name, data in files.items():
            self.assertEqual(self.get(os.path.join(down, name)), data, name)
            self.assertEqual(self.get(os.path.join(self.root, "up", name)), data, name)


class FtplibTest(ClientsCase):
    nvtd_lines = "download_max_rate = 1M\n"

    def test_every_command(self):
        self.ftplib_session("rw")


class FtplibReadonlyTest(ClientsCase):
    nvtd_lines = "readonly = 1\n"

    def test_refusals(self):
        self.ftplib_session("ro")


if __name__ == "__main__":
    unittest.main()
