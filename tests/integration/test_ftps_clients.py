"""The real nvtd with nvtd:ftp_extensions = 1 and real FTPS clients: curl with --ssl-reqd
(AUTH TLS on the plain port) and ftps:// (implicit), both with protected data, lftp
mirroring a tree down and up over explicit FTPS with MLSD, and Python's ftplib.FTP_TLS
with prot_p(). Reply details are checked by the libftpd tests."""
import ftplib
import io
import os
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


if __name__ == "__main__":
    unittest.main()
