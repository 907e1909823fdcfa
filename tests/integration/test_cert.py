"""Key and certificate creation through the real nvtd: -s new_key_x509_file=1 writes the
files the configuration names, dated by the system clock (moved by faketime). The files'
contents and the failures of unwritable paths are checked by the libssl tests."""
import os
import subprocess
import unittest

from nvtd_run import TIMEOUT, NvtdCase, clean_env


def openssl(*args):
    r = subprocess.run(["openssl", *args], capture_output=True, timeout=TIMEOUT,
                       errors="replace")
    return r.returncode, r.stdout + r.stderr


class CertificateCreation(NvtdCase):
    def create(self, fake_time=None):
        """Runs the creation; returns (process, key path, certificate path)."""
        key = os.path.join(self.work, "ftps.key")
        crt = os.path.join(self.work, "ftps.crt")
        ini = self.ini("[nvtd]\nftps_key_file = %s\nftps_crt_file = %s\n" % (key, crt))
        args = [self.exe, "-c", ini, "-s", "new_key_x509_file=1"]
        env = clean_env()
        if fake_time:
            args = ["faketime", fake_time] + args
            # The preloaded clock library comes before a sanitizer runtime.
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        r = subprocess.run(args, cwd=self.work, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=TIMEOUT, errors="replace")
        return r, key, crt

    def test_validity_follows_the_clock_year(self):
        r, key, crt = self.create(fake_time="2031-07-15 12:00:00")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("Certificate creation completed", r.stdout + r.stderr)
        rc, out = openssl("rsa", "-inform", "DER", "-in", key, "-check", "-noout")
        self.assertEqual(rc, 0, out)
        rc, text = openssl("x509", "-noout", "-dates", "-in", crt)
        self.assertEqual(rc, 0, text)
        self.assertIn("notBefore=Jan  1 00:00:00 2031 GMT", text)
        self.assertIn("notAfter=Dec 31 23:59:59 2041 GMT", text)

    def test_clock_before_2024_fails_and_leaves_the_key(self):
        r, key, crt = self.create(fake_time="2023-06-01 12:00:00")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("Please set the correct time for the system", r.stdout + r.stderr)
        self.assertNotIn("Certificate creation completed", r.stdout + r.stderr)
        self.assertTrue(os.path.getsize(key) > 1000)
        self.assertFalse(os.path.exists(crt))


if __name__ == "__main__":
    unittest.main()
