"""The real nvtd at the edges of its resources and settings: out of descriptors, and the
warning for a server that lets anyone write anywhere."""
import os
import resource
import socket
import time
import unittest

from nvtd_run import ServerCase, free_port


def cpu_ticks(pid):
    """User plus system clock ticks the process has used."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def greeting(port, timeout=5):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        return s.recv(100)


class DescriptorLimit(ServerCase):
    def test_listener_rests_instead_of_spinning_and_recovers(self):
        # Silent clients on the FTPS port each hold one descriptor while their handshake
        # waits, so the process runs out of descriptors with connections still queued.
        self.port = free_port()
        ftps = free_port()
        self.conf = self.ftp_ini(
            self.port, self.work, "ftps_server_port = %d\nftps_server_addr = 127.0.0.1\n"
            "ftps_crt_file = c.pem\nftps_key_file = k.der\nread_timeout = 60\n" % ftps)
        r = self.run_nvtd("-c", self.conf, "-s", "new_key_x509_file=1")
        self.assertEqual(r.returncode, 0, r.stderr)

        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40))

        proc = self.start_server(ports=[self.port, ftps], preexec=low_limit)
        held = []
        try:
            for _ in range(60):
                held.append(socket.create_connection(("127.0.0.1", ftps), timeout=5))
            before = cpu_ticks(proc.pid)
            time.sleep(2)  # the measured interval itself, not a wait for a condition
            used = cpu_ticks(proc.pid) - before
            # A spinning event thread burns about 200 ticks in 2 s.
            self.assertLess(used, 40)
        finally:
            for s in held:
                s.close()
        deadline = time.time() + 10
        got = b""
        while time.time() < deadline and not got.startswith(b"220 "):
            try:
                got = greeting(self.port)
            except OSError:
                time.sleep(0.1)
        self.assertTrue(got.startswith(b"220 "), got)
        err = self.stop_server(proc)
        self.assertIn("pausing the listener", err)
        # At most one line a second while it lasted.
        self.assertLessEqual(err.count("pausing the listener"), 4)


class OpenDefault(ServerCase):
    def start_with(self, more):
        self.port = free_port()
        self.conf = self.ini("[nvtd]\nftp_server_port = %d\nftp_server_addr = 127.0.0.1\n%s"
                             % (self.port, more))
        return self.stop_server(self.start_server("-l", "warn"))

    def test_warns_only_when_anyone_may_write_everywhere(self):
        warning = "anonymous users may read and write the whole file system"
        self.assertIn(warning, self.start_with(""))
        root = os.path.join(self.work, "root")
        os.mkdir(root)
        for closed in ("readonly = 1\n", "user = u\npasswd = Pw1\n", "ftp_root = %s\n" % root):
            self.assertNotIn(warning, self.start_with(closed), closed)


if __name__ == "__main__":
    unittest.main()
