"""The real nvtd with nvtd:ftp_extensions = 1 and real FTPS clients: curl with --ssl-reqd
(AUTH TLS on the plain port) and ftps:// (implicit), both with protected data, lftp
mirroring a tree down and up over explicit FTPS with MLSD, Python's ftplib.FTP_TLS with
prot_p(), and rclone's ftp backend (MLSD listings, MFMT times). A capture on lo shows that
PROT P data carries no plain file bytes. Reply details are checked by the libftpd tests."""
import ftplib
import io
import os
import shutil
import signal
import socket
import ssl
import subprocess
import threading
import time
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
    """rclone's ftp backend over explicit TLS (PROT P): it lists with MLSD and sets
    modification times with MFMT."""

    TREE = {"a.txt": b"alpha\n", "sub/b b.bin": os.urandom(300000), "sub/deep/c": b"",
            "sub/deep/d.bin": os.urandom(70000)}

    def rclone(self, *args, status=0):
        """Runs rclone with the remote nv: (this server, explicit TLS, our own certificate
        accepted); returns its output, failing the test unless rclone ends with status."""
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
        self.assertEqual(r.returncode, status, out)
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
        out = self.rclone("check", local, "nv:up", status=1)
        self.assertIn("a.txt: sizes differ", out)
        self.rclone("delete", "nv:up")
        left = [n for _, _, files in os.walk(os.path.join(self.root, "up")) for n in files]
        self.assertEqual(left, [])


class RcloneResuming(RcloneClient):
    """rclone (Go's TLS) resumes sessions only by ticket; with nvtd:ftps_data_reuse = 1 its
    data connections must be recognised as resuming the control connection's session."""

    reuse = 1


class Capture:
    """dumpcap on lo for one port, from its start until stop(). The packets come through a
    pipe, which dumpcap flushes after every packet, so what arrived can be waited for."""

    PROBE = b"nvtd capture probe"

    def __init__(self, port):
        self.port = port
        self.proc = subprocess.Popen(["dumpcap", "-q", "-B", "16", "-i", "lo", "-f",
                                      "port %d" % port, "-w", "-"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.err = b""
        self.data = bytearray()
        self.readers = [threading.Thread(target=self.read_err, daemon=True),
                        threading.Thread(target=self.read_out, daemon=True)]
        for t in self.readers:
            t.start()

    def read_err(self):
        for line in self.proc.stderr:
            self.err += line

    def read_out(self):
        while chunk := self.proc.stdout.read1(1 << 16):
            self.data += chunk

    def wait_ready(self):
        """True once packets are being captured, False when dumpcap could not start. dumpcap
        says "Capturing on" before its filter is in place, so a UDP datagram to the port is
        sent until the capture shows it."""
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            deadline = time.time() + 15
            while time.time() < deadline and self.proc.poll() is None:
                probe.sendto(self.PROBE, ("127.0.0.1", self.port))
                if self.PROBE in self.data:
                    return True
                time.sleep(0.05)
        return False

    def wait_size(self, size):
        """Waits (bounded) until at least size bytes of packets came through."""
        deadline = time.time() + 15
        while time.time() < deadline and len(self.data) < size:
            time.sleep(0.05)

    def stop(self):
        """Ends the capture; returns the packets (pcapng)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for t in self.readers:
            t.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return bytes(self.data)


class CaptureOnLoopback(FtpsCase):
    """What a listener on lo sees of a download's data connection."""

    MARKER = b"<nvtd plain marker 8d41c07e>"

    def setUp(self):
        super().setUp()
        if shutil.which("dumpcap") is None:
            self.skipTest("dumpcap is not installed")
        self.body = self.MARKER * (1 << 13)
        with open(os.path.join(self.root, "m.bin"), "wb") as f:
            f.write(self.body)

    def captured_download(self, prot):
        """Downloads m.bin with PROT prot while capturing its data port; returns the
        captured packets."""
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        ftp = ftplib.FTP_TLS(context=ctx, timeout=10)
        self.addCleanup(ftp.close)
        ftp.connect("127.0.0.1", self.port)
        ftp.auth()
        ftp.login("anonymous", "x")
        ftp.voidcmd("PBSZ 0")
        ftp.voidcmd("PROT " + prot)
        ftp.voidcmd("TYPE I")
        host, port = ftplib.parse227(ftp.sendcmd("PASV"))
        cap = Capture(port)
        try:
            if not cap.wait_ready():
                self.skipTest("capturing on lo is not permitted here: %s" %
                              cap.err.decode(errors="replace").strip())
            conn = socket.create_connection((host, port), timeout=10)
            self.assertEqual(ftp.sendcmd("RETR m.bin")[:3], "150")
            if prot == "P":
                conn = ctx.wrap_socket(conn)
            got = bytearray()
            while chunk := conn.recv(1 << 16):
                got += chunk
            conn.close()
            ftp.voidresp()
            ftp.quit()
            self.assertEqual(bytes(got), self.body)
            cap.wait_size(len(self.body))
        finally:
            pcap = cap.stop()
        # Every byte of the file went through the capture, in whatever form.
        self.assertGreater(len(pcap), len(self.body))
        return pcap

    def test_protected_data_shows_no_file_bytes_where_clear_data_does(self):
        # The same capture of PROT C data finds the marker, so its absence below means
        # something.
        self.assertIn(self.MARKER, self.captured_download("C"))
        protected = self.captured_download("P")
        self.assertNotIn(self.MARKER, protected)
        self.assertNotIn(self.MARKER[:12], protected)


if __name__ == "__main__":
    unittest.main()
