"""The command shell on nvtd's console: the real binary in a pseudo-terminal, and lines
from a pipe when standard input is not a terminal."""
import fcntl
import os
import pty
import select
import struct
import subprocess
import termios
import time

from nvtd_run import NvtdCase, clean_env, free_port

WAIT = 10  # seconds for any one expected text


class ConsoleShell(NvtdCase):
    def spawn(self):
        """nvtd on a new terminal; returns the process and the master side."""
        conf = self.run_ini()
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
        env = clean_env()
        env["TERM"] = "xterm"
        proc = subprocess.Popen([self.exe, "-q", "-c", conf], cwd=self.work, env=env,
                                stdin=slave, stdout=slave, stderr=slave,
                                start_new_session=True)
        os.close(slave)
        self.master = master
        self.out = b""
        self.mark = 0
        self.addCleanup(self.finish, proc)
        return proc

    def finish(self, proc):
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        os.close(self.master)
        self.assert_no_sanitizer_report(self.out.decode(errors="replace"))

    def read_some(self, timeout):
        r, _, _ = select.select([self.master], [], [], timeout)
        if not r:
            return
        try:
            self.out += os.read(self.master, 65536)
        except OSError:  # the terminal closed: nvtd has ended
            time.sleep(0.05)

    def expect(self, text):
        """Waits until text appears after the mark and moves the mark past it."""
        want = text.encode()
        deadline = time.time() + WAIT
        while time.time() < deadline:
            at = self.out.find(want, self.mark)
            if at >= 0:
                self.mark = at + len(want)
                return
            self.read_some(0.1)
        self.fail("no %r in %r" % (text, self.out[self.mark:].decode(errors="replace")))

    def send(self, keys):
        os.write(self.master, keys.encode())

    def wait_exit(self, proc):
        deadline = time.time() + WAIT
        while proc.poll() is None and time.time() < deadline:
            self.read_some(0.1)
        self.assertIsNotNone(proc.poll(), "nvtd did not end")
        return proc.returncode

    def test_prompt_info_and_exit(self):
        proc = self.spawn()
        self.expect("nvtd>")
        self.send("si\r")
        self.expect("ver=1.0.0.0")
        self.expect("is_root=")
        self.expect("os_info=Linux ")
        self.expect("nvtd>")
        self.send("exit\r")
        self.assertEqual(self.wait_exit(proc), 0)

    def test_q_stops_the_program(self):
        proc = self.spawn()
        self.expect("nvtd>")
        self.send("q\r")
        self.assertEqual(self.wait_exit(proc), 0)

    def test_end_of_input_ends_with_zero(self):
        proc = self.spawn()
        self.expect("nvtd>")
        self.send("\x04")
        self.assertEqual(self.wait_exit(proc), 0)

    def test_set_changes_the_running_log_level(self):
        proc = self.spawn()
        self.expect("nvtd>")
        self.send("set log.level dbg\r")
        self.expect("nvtd>")
        self.send("sd\r")
        self.expect("log.level=dbg")
        self.send("sc\r")
        self.expect("debug_server_port=")
        self.expect("log_level=dbg")
        self.send("sr\r")
        self.expect("error: The show variable 'rule' does not exist")
        self.send("quit\r")
        self.assertEqual(self.wait_exit(proc), 0)

    def test_ctrl_c_at_the_prompt_ends_with_one(self):
        proc = self.spawn()
        self.expect("nvtd>")
        self.send("show\x03")
        self.assertEqual(self.wait_exit(proc), 1)

    def test_thread_fault_ends_only_that_thread(self):
        proc = self.spawn()
        self.expect("nvtd>")
        self.send("call thread_except\r")
        self.expect("test thread_panic")
        self.expect("Cmsg: ACCESS_VIOLATION")
        self.send("call stack_over\r")
        self.expect("stack_over pass!")
        self.send("echo still here\r")
        self.expect("still here")
        self.send("exit\r")
        self.assertEqual(self.wait_exit(proc), 0)

    def test_call_kill_ends_with_zero(self):
        proc = self.spawn()
        self.expect("nvtd>")
        self.send("call kill\r")
        self.expect("user req exit!!")
        self.assertEqual(self.wait_exit(proc), 0)


class PipedShell(NvtdCase):
    def test_lines_from_a_pipe_run_without_the_editor(self):
        conf = self.run_ini()
        r = subprocess.run([self.exe, "-q", "-c", conf], cwd=self.work, env=clean_env(),
                           input="si; echo -n piped\nexit\necho never\n",
                           capture_output=True, timeout=30, errors="replace")
        self.assert_no_sanitizer_report(r.stderr)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("ver=1.0.0.0\n", r.stdout)
        self.assertIn("piped", r.stdout)
        self.assertNotIn("never", r.stdout)

    def test_bad_lines_from_a_pipe_are_cut_or_refused(self):
        conf = self.run_ini()
        long_line = "echo " + "x" * 100000
        lines = [long_line, ";" * 10000, "echo a\0b", "echo \u4e2d", "alias me=me", "me",
                 "source /dev/zero", "source .", "echo done"]
        r = subprocess.run([self.exe, "-q", "-c", conf], cwd=self.work, env=clean_env(),
                           input="\n".join(lines).encode("utf-8") + b"\n", capture_output=True,
                           timeout=30)
        out = r.stdout.decode("utf-8", errors="replace")
        self.assert_no_sanitizer_report(r.stderr.decode(errors="replace"))
        self.assertEqual(r.returncode, 0)
        # The line is cut to 4095 bytes: "echo " and 4090 of the x.
        self.assertTrue(("\n" + "x" * 4090 + "\n") in out, "the cut line is missing")
        self.assertFalse("x" * 4091 in out, "the line was not cut")
        self.assertIn("\na\n", out)
        self.assertIn("\n\u4e2d\n", out)
        self.assertIn("command not found: [me]", out)
        self.assertIn("open:[/dev/zero] error:Not a regular file", out)
        self.assertIn("open:[.] error:Is a directory", out)
        self.assertTrue(out.endswith("done\n"), out[-200:])
