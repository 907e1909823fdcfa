"""Crash handling in the real binary: a fault inside one FTP session thread ends only that
session. nvtd runs with NVTD_TEST_FAULT=1, which makes "SITE FAULT" read through a null
pointer on the session's thread.

Skipped for a sanitizer build: the sanitizer's own fault handler takes the fault first.
"""
import ftplib
import io
import os
import socket
import time
import unittest

from nvtd_run import ServerCase, clean_env, free_port, nvtd_bin

MAX_CLIENTS = 2


def sanitized_binary():
    with open(nvtd_bin(), "rb") as f:
        return b"__asan_init" in f.read()


class SessionFault(ServerCase):

    def setUp(self):
        super().setUp()
        if sanitized_binary():
            self.skipTest("the sanitizer's fault handler takes the fault first")
        self.port = free_port()
        self.dumps = os.path.join(self.work, "dumps")
        with open(os.path.join(self.work, "hello.txt"), "wb") as f:
            f.write(b"hello after the fault\n" * 100)
        self.conf = self.ftp_ini(
            self.port, self.work,
            "max_clients = %d\n[debug]\npanic_dump_dir = %s\n" % (MAX_CLIENTS, self.dumps))
        env = clean_env()
        env["NVTD_TEST_FAULT"] = "1"
        self.proc = self.start_server("-l", "dbg", env=env)

    def login(self):
        """A logged-in session. The start-up probe's connection may still hold a slot for
        a moment: a 421 is tried again, for at most 5 s."""
        deadline = time.time() + 5
        while True:
            ftp = ftplib.FTP()
            self.addCleanup(ftp.close)
            try:
                ftp.connect("127.0.0.1", self.port, timeout=10)
                ftp.login("anonymous", "x")
                return ftp
            except ftplib.error_temp:
                if time.time() > deadline:
                    raise
                time.sleep(0.05)

    def wait_closed(self, sock):
        """True when the server closes sock within 10 s (everything before is read)."""
        sock.settimeout(10)
        try:
            while sock.recv(4096):
                pass
            return True
        except OSError:
            return False

    def test_fault_in_one_session_ends_only_that_session(self):
        other = self.login()  # a session that lives through the fault
        victim = self.login()
        with self.assertRaises((EOFError, OSError)):  # no reply: the session ends
            victim.sendcmd("SITE FAULT")
        self.assertTrue(self.wait_closed(victim.sock), "the faulting session was not closed")

        # The process goes on: the other session works, and a new one downloads.
        self.assertEqual(other.voidcmd("NOOP")[:3], "200")
        fresh = self.login()
        data = io.BytesIO()
        fresh.retrbinary("RETR hello.txt", data.write)
        self.assertEqual(data.getvalue(), b"hello after the fault\n" * 100)
        # max_clients still counts right: with two sessions open a third is refused,
        # so the faulting session's slot was given back and only that one.
        extra = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.addCleanup(extra.close)
        self.assertTrue(extra.recv(4096).startswith(
            b"421 There are too many connected users, please try later."))
        self.assertIsNone(self.proc.poll())

        err = self.stop_server(self.proc)
        self.assertIn("Cmsg: ACCESS_VIOLATION\n", err)
        self.assertIn("!ftpd_test_fault(", err)
        self.assertIn("except handle\n", err)
        self.assertNotIn("--LastLog--", err)
        self.assertFalse(os.path.exists(self.dumps), "a handled fault wrote a dump")


if __name__ == "__main__":
    unittest.main()
