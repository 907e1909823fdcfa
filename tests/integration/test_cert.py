"""Key and certificate creation through the real nvtd: -s new_key_x509_file=1."""
import os
import subprocess
import time
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

    def test_writes_der_key_and_self_signed_certificate(self):
        r, key, crt = self.create()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("Certificate creation completed", r.stdout + r.stderr)
        year = time.localtime().tm_year
        rc, text = openssl("x509", "-noout", "-text", "-in", crt)
        self.assertEqual(rc, 0, text)
        for want in ("Version: 3 (0x2)", "Serial Number: 1 (0x1)",
                     "Signature Algorithm: sha256WithRSAEncryption",
                     "Issuer: CN = CA, O = norva, C = CN",
                     "Subject: CN = CA, O = norva, C = CN",
                     "Not Before: Jan  1 00:00:00 %d GMT" % year,
                     "Not After : Dec 31 23:59:59 %d GMT" % (year + 10),
                     "Public-Key: (2048 bit)", "Exponent: 65537 (0x10001)",
                     "CA:FALSE", "X509v3 Subject Key Identifier",
                     "X509v3 Authority Key Identifier"):
            self.assertIn(want, text)
        self.assertNotIn("Key Usage", text)
        self.assertNotIn("Netscape Cert Type", text)
        # The key file is DER and holds the certificate's key.
        rc, out = openssl("rsa", "-inform", "DER", "-in", key, "-check", "-noout")
        self.assertEqual(rc, 0, out)
        self.assertIn("RSA key ok", out)
        _, pub_key = openssl("pkey", "-inform", "DER", "-in", key, "-pubout")
        _, pub_crt = openssl("x509", "-noout", "-pubkey", "-in", crt)
        self.assertIn("BEGIN PUBLIC KEY", pub_key)
        self.assertEqual(pub_key, pub_crt)

    def test_validity_follows_the_clock_year(self):
        r, _, crt = self.create(fake_time="2031-07-15 12:00:00")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
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

    def test_unwritable_key_file_fails(self):
        key = os.path.join(self.work, "no", "such", "dir", "ftps.key")
        crt = os.path.join(self.work, "ftps.crt")
        ini = self.ini("[nvtd]\nftps_key_file = %s\nftps_crt_file = %s\n" % (key, crt))
        r = self.run_nvtd("-c", ini, "-s", "new_key_x509_file=1")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("os_file_write_bin [%s] error: " % key, r.stdout + r.stderr)
        self.assertFalse(os.path.exists(crt))


if __name__ == "__main__":
    unittest.main()
