"""The real nvtd with real FTP clients: curl in passive and active mode over IPv4 and IPv6
(listing, download, upload, resumed download and upload), lftp mirroring a tree of odd
sizes and names down and up, and Python's ftplib through the file and listing commands.
Reply texts and failure replies are checked by the libftpd tests."""
import os
import socket
import ftplib
import io
import subprocess
import unittest

from nvtd_run import ServerCase, free_port



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


def has_ipv6():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class CurlTest(ClientsCase):
    nvtd_lines = "ftp_server_addr = 127.0.0.1,::1\n" if has_ipv6() else ""

    def test_every_mode_and_family(self):
        body = os.urandom(3 << 20) + b"end"
        self.put(os.path.join(self.root, "f.bin"), body)
        up = os.path.join(self.work, "up.bin")
        self.put(up, body)
        v4, v6 = "ftp://127.0.0.1:%d" % self.port, "ftp://[::1]:%d" % self.port
        modes = [("epsv", v4, []), ("pasv", v4, ["--disable-epsv"]),
                 ("eprt", v4, ["-P", "127.0.0.1"]),
                 ("port", v4, ["-P", "127.0.0.1", "--disable-eprt"])]
        if has_ipv6():
            modes += [("epsv6", v6, []), ("eprt6", v6, ["-P", "::1"])]
        for name, base, opts in modes:
            with self.subTest(mode=name):
                curl = ["curl", "-sS", "--max-time", "30"] + opts
                listing = self.sh(*curl, base + "/")
                self.assertIn(b" 3145731  ", listing)
                self.assertIn(b" f.bin\n", listing)
                out = os.path.join(self.work, "got_" + name)
                self.sh(*curl, "-o", out, base + "/f.bin")
                self.assertEqual(self.get(out), body)
                target = os.path.join(self.root, "up_%s.bin" % name)
                self.sh(*curl, "-T", up, base + "/up_%s.bin" % name)
                self.assertEqual(self.get(target), body)
                # Resumed download (the local file holds a head) and upload (the server
                # holds one).
                self.put(out, body[:12345])
                self.sh(*curl, "-C", "-", "-o", out, base + "/f.bin")
                self.assertEqual(self.get(out), body)
                self.put(target, body[:777777])
                self.sh(*curl, "-C", "-", "-T", up, base + "/up_%s.bin" % name)
                self.assertEqual(self.get(target), body)


class LftpTest(ClientsCase):
    def test_mirror_down_and_up(self):
        files = {"empty": b"", "one byte": b"1", "page minus one": os.urandom(4095),
                 "a page": os.urandom(4096), "ünï/日本語 ファイル.txt": os.urandom(4097),
                 "two MiB plus one": os.urandom((2 << 20) + 1),
                 "fifty MiB.bin": os.urandom(50 << 20)}
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
    def test_file_and_listing_commands(self):
        body = bytes(range(256)) * 4
        self.put(os.path.join(self.root, "sub", "in sub.txt"), b"x")
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.port, timeout=20)
        self.addCleanup(f.close)
        f.login()

        def retr(name, rest=None):
            buf = io.BytesIO()
            f.retrbinary("RETR " + name, buf.write, rest=rest)
            return buf.getvalue()
        f.storbinary("STOR f.bin", io.BytesIO(body))
        self.assertEqual(retr("f.bin"), body)
        self.assertEqual(retr("f.bin", rest=1000), body[1000:])
        f.storbinary("STOR f.bin", io.BytesIO(b"ab"), rest=4)
        self.assertEqual(self.get(os.path.join(self.root, "f.bin")), body[:4] + b"ab" + body[6:])
        f.storbinary("APPE f.bin", io.BytesIO(b"end"))
        self.assertEqual(f.size("f.bin"), len(body) + 3)
        self.assertTrue(f.sendcmd("MDTM f.bin").startswith("213 20"))
        lines = []
        f.dir("sub", lines.append)
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].endswith(" in sub.txt"), lines)
        self.assertEqual(sorted(f.nlst()), ["f.bin", "sub"])
        self.assertEqual(f.mkd("made"), "/made")
        f.rename("f.bin", "made/moved.bin")
        f.delete("made/moved.bin")
        f.rmd("made")
        self.assertEqual(sorted(os.listdir(self.root)), ["sub"])
        f.quit()


if __name__ == "__main__":
    unittest.main()
