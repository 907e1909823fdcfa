"""The real nvtd with nvtd:ftp_extensions = 1 and real FTPS clients: curl with --ssl-reqd
(AUTH TLS on the plain port) and ftps:// (implicit), both with protected data, lftp
mirroring a tree down and up over explicit FTPS with MLSD, Python's ftplib.FTP_TLS with
prot_p(), and rclone's ftp backend (MLSD listings, MFMT times). Reply details are checked
by the libftpd tests."""
import ftplib
import io
import os
import shutil
import ssl
import subprocess
import unittest

from nvtd_run import ServerCase, free_port


class FtpsCase(ServerCase):
    """nvtd with the extensions, a certificate, an FTPS port and a 1 MiB file f.bin."""

    reuse = 0

    def setUp(self):
        super().setUp()
        self.root = os.path.join(self.work, "root")
        os.makedirs(self.root)
        self.port = free_port()
        self.ftps = free_port()
        self.conf = self.ftp_ini(
            self.port, self.root, "ftp_extensions = 1\nftps_data_reuse = %d\nftps_server_port = %d\n"
            "ftps_server_addr = 127.0.0.1\nftps_crt_file = %s/c.pem\nftps_key_file = %s/k.der\n"
            "[log]\nlevel = warn\n" % (self.reuse, self.ftps, self.work, self.work))
        r = self.run_nvtd("-c", self.conf, "-s", "new_key_x509_file=1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.start_server(ports=[self.port, self.ftps])
        self.body = os.urandom(1 << 20) + b"end"
        with open(os.path.join(self.root, "f.bin"), "wb") as f:
            f.write(self.body)

    def curl(self, *args):
        r = subprocess.run(["curl", "-sS", "--insecure", "--max-time", "30", *args],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout


class ResumingClients(FtpsCase):
    """curl and lftp resume the control connection's TLS session on every data connection,
    so they run with nvtd:ftps_data_reuse = 1."""

    reuse = 1

    def test_curl_explicit_and_implicit_with_protected_data(self):
        up = os.path.join(self.work, "up.bin")
        with open(up, "wb") as f:
            f.write(self.body)
        plain = "ftp://127.0.0.1:%d/" % self.port
        self.assertEqual(self.curl("--ssl-reqd", plain + "f.bin"), self.body)
        self.curl("--ssl-reqd", "-T", up, plain + "up1.bin")
        implicit = "ftps://127.0.0.1:%d/" % self.ftps
        self.assertEqual(self.curl(implicit + "f.bin"), self.body)
        self.curl("-T", up, implicit + "up2.bin")
        names = self.curl("--ssl-reqd", "-l", plain).decode().split()
        self.assertEqual(sorted(names), ["f.bin", "up1.bin", "up2.bin"])
        for name in ("up1.bin", "up2.bin"):
            with open(os.path.join(self.root, name), "rb") as f:
                self.assertEqual(f.read(), self.body, name)

    def test_lftp_mirrors_over_explicit_ftps_with_mlsd(self):
        tree = {"a.txt": b"a" * 10, "sub/b b.bin": os.urandom(70000), "sub/deep/c": b""}
        for name, data in tree.items():
            path = os.path.join(self.root, "t", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        down = os.path.join(self.work, "down")
        script = ("set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                  "set ssl:verify-certificate no; set ftp:use-mlsd true; set net:max-retries 1; "
                  "set net:timeout 10; open -u anonymous,x -p %d 127.0.0.1; "
                  "mirror t %s; mirror -R %s t2; quit" % (self.port, down, down))
        r = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        for name, data in tree.items():
            for top in (down, os.path.join(self.root, "t2")):
                with open(os.path.join(top, name), "rb") as f:
                    self.assertEqual(f.read(), data, (top, name))


    def test_openssl_starttls_ftp_completes_the_handshake(self):
        r = subprocess.run(["openssl", "s_client", "-starttls", "ftp", "-connect",
                            "127.0.0.1:%d" % self.port, "-brief"], input=b"QUIT\r\n",
                           capture_output=True, timeout=30)
        out = (r.stdout + r.stderr).decode(errors="replace")
        self.assertIn("CONNECTION ESTABLISHED", out)
        self.assertIn("TLSv1.2", out)


class PythonClient(FtpsCase):
    """Python's ftplib starts a fresh TLS session on each data connection."""

    def test_ftplib_ftp_tls_prot_p_session(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        ftp = ftplib.FTP_TLS(context=ctx, timeout=10)
        ftp.connect("127.0.0.1", self.port)
        ftp.auth()
        ftp.login("anonymous", "x")
        ftp.prot_p()
        got = io.BytesIO()
        ftp.retrbinary("RETR f.bin", got.write)
        self.assertEqual(got.getvalue(), self.body)
        ftp.storbinary("STOR back.bin", io.BytesIO(self.body))
        self.assertIn("back.bin", ftp.nlst())
        ftp.quit()
        with open(os.path.join(self.root, "back.bin"), "rb") as f:
            self.assertEqual(f.read(), self.body)


class RcloneClient(FtpsCase):
    """rclone's ftp backend over explicit TLS: it lists with MLSD, sets modification times
    with MFMT and opens a fresh TLS session on each data connection."""

    TREE = {"a.txt": b"alpha\n", "sub/b b.bin": os.urandom(300000), "sub/deep/c": b"",
            "sub/deep/d.bin": os.urandom(70000)}

    def rclone(self, *args):
        """Runs rclone with the remote nv: (this server, explicit TLS, our own certificate
        accepted); returns its output, failing the test when rclone fails."""
        pw = subprocess.run(["rclone", "obscure", "x"], capture_output=True, timeout=30)
        env = dict(os.environ, RCLONE_CONFIG="/dev/null", RCLONE_CONFIG_NV_TYPE="ftp",
                   RCLONE_CONFIG_NV_HOST="127.0.0.1", RCLONE_CONFIG_NV_PORT=str(self.port),
                   RCLONE_CONFIG_NV_USER="anonymous",
                   RCLONE_CONFIG_NV_PASS=pw.stdout.decode().strip(),
                   RCLONE_CONFIG_NV_EXPLICIT_TLS="true",
                   RCLONE_CONFIG_NV_NO_CHECK_CERTIFICATE="true")
        r = subprocess.run(["rclone", "--contimeout", "10s", "--timeout", "30s",
                            "--low-level-retries", "1", "--retries", "1", *args], env=env,
                           capture_output=True, timeout=120)
        out = (r.stdout + r.stderr).decode(errors="replace")
        self.assertEqual(r.returncode, 0, out)
        return out

    def make_tree(self, top):
        stamp = 1600000000
        for name, data in sorted(self.TREE.items()):
            path = os.path.join(top, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            stamp += 3600
            os.utime(path, (stamp, stamp))

    def assert_tree(self, top, like):
        for name, data in self.TREE.items():
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data, path)
            self.assertEqual(int(os.stat(path).st_mtime),
                             int(os.stat(os.path.join(like, name)).st_mtime), path)

    def test_rclone_copy_check_and_delete_over_explicit_tls(self):
        if shutil.which("rclone") is None:
            self.skipTest("rclone is not installed")
        local = os.path.join(self.work, "local")
        self.make_tree(local)
        self.rclone("copy", local, "nv:up")
        # MFMT carried the modification times, so the server's files have them too (rclone
        # copies files one by one, each with PROT P).
        self.assert_tree(os.path.join(self.root, "up"), local)
        back = os.path.join(self.work, "back")
        self.rclone("copy", "nv:up", back)
        # MLSD gave the times back: rclone set them on the files it wrote.
        self.assert_tree(back, local)
        self.rclone("check", local, "nv:up")
        with open(os.path.join(local, "a.txt"), "ab") as f:
            f.write(b"more")
        with self.assertRaises(AssertionError):
            self.rclone("check", local, "nv:up")
        self.rclone("delete", "nv:up")
        left = [n for _, _, files in os.walk(os.path.join(self.root, "up")) for n in files]
        self.assertEqual(left, [])


if __name__ == "__main__":
    unittest.main()
