// nvtd_run.js - runs the real nvtd binary for the browser tests: a private copy in a
// temporary folder (nvtd reads nvtd.ini and debug.html beside itself), a configuration
// on free loopback ports, and a plain FTP client for log-producing logins.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const SANITIZER_REPORT = /(AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error:)/;

/** A TCP port on 127.0.0.1 that nothing listens on right now. */
function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

/** Resolves once a connection to port succeeds; rejects after ms or when proc ends. */
async function waitForPort(port, ms, proc) {
  const deadline = Date.now() + ms;
  for (;;) {
    if (proc.exitCode !== null || proc.signalCode !== null)
      throw new Error('nvtd ended early: ' + proc.stderrText);
    const ok = await new Promise((resolve) => {
      const s = net.connect(port, '127.0.0.1');
      s.once('connect', () => { s.destroy(); resolve(true); });
      s.once('error', () => resolve(false));
    });
    if (ok) return;
    if (Date.now() > deadline) throw new Error(`nothing listens on port ${port} after ${ms} ms`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

class Nvtd {
  /** Copies the binary named by NVTD_BIN into a new temporary folder. */
  constructor(bin) {
    this.tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'nvtd-browser-'));
    this.root = path.join(this.tmp, 'root');
    fs.mkdirSync(this.root);
    this.exe = path.join(this.tmp, 'nvtd');
    fs.copyFileSync(bin, this.exe);
    fs.chmodSync(this.exe, 0o755);
    this.proc = null;
  }

  /** Starts nvtd with the FTP server and the web console on free ports (a restart keeps
   *  the ports) and waits until both accept connections. user and passwd guard FTP logins;
   *  webUser and webPwd, when given, the web console (Basic credentials). */
  async start({ user, passwd, webUser = '', webPwd = '' }) {
    this.ftpPort = this.ftpPort || await freePort();
    this.httpPort = this.httpPort || await freePort();
    const conf = path.join(this.tmp, 'nvtd.ini');
    fs.writeFileSync(conf, [
      '[nvtd]',
      `ftp_server_port = ${this.ftpPort}`,
      'ftp_server_addr = 127.0.0.1',
      `ftp_root = ${this.root}`,
      `user = ${user}`,
      `passwd = ${passwd}`,
      '[debug]',
      `http_server_port = ${this.httpPort}`,
      'http_server_addr = 127.0.0.1',
      `http_server_user = ${webUser}`,
      `http_server_pwd = ${webPwd}`,
      '',
    ].join('\n'));
    const env = { ...process.env };
    delete env.NVDBGLOG;
    delete env.POSIXLY_CORRECT;
    // The console shell reads standard input: a pipe that stays open keeps it waiting.
    const p = spawn(this.exe, ['-q', '-c', conf], {
      cwd: this.tmp, env, stdio: ['pipe', 'ignore', 'pipe'],
    });
    this.proc = p;
    p.stderrText = '';
    p.stderr.setEncoding('utf8');
    p.stderr.on('data', (d) => { p.stderrText += d; });
    p.exited = new Promise((r) => p.once('exit', r));
    await waitForPort(this.ftpPort, 10000, p);
    await waitForPort(this.httpPort, 10000, p);
  }

  get url() { return `http://127.0.0.1:${this.httpPort}/`; }

  /** SIGTERM, SIGKILL after 10 s. Returns standard error; throws on a sanitizer report. */
  async stop() {
    const p = this.proc;
    if (!p) return '';
    this.proc = null;
    if (p.exitCode === null && p.signalCode === null) {
      p.kill('SIGTERM');
      const timer = setTimeout(() => p.kill('SIGKILL'), 10000);
      await p.exited;
      clearTimeout(timer);
    }
    p.stdin.destroy();
    if (SANITIZER_REPORT.test(p.stderrText)) throw new Error('sanitizer report:\n' + p.stderrText);
    return p.stderrText;
  }

  /** Last resort on the way out: no nvtd outlives the test. */
  killNow() {
    if (this.proc && this.proc.exitCode === null) this.proc.kill('SIGKILL');
  }

  cleanUp() {
    fs.rmSync(this.tmp, { recursive: true, force: true });
  }
}

/** One FTP control session: sends each command and collects the reply lines (single-line
 *  replies only). Every step is bounded by ms. Returns the replies, greeting first. */
function ftpSession(port, commands, ms = 10000) {
  return new Promise((resolve, reject) => {
    const s = net.connect(port, '127.0.0.1');
    const replies = [];
    let buf = '';
    const timer = setTimeout(() => { s.destroy(); reject(new Error('FTP: no reply, got ' + replies)); }, ms);
    const next = () => {
      const cmd = commands[replies.length - 1];
      if (cmd === undefined) {
        clearTimeout(timer);
        s.end();
        resolve(replies);
      } else {
        s.write(cmd + '\r\n');
      }
    };
    s.setEncoding('latin1');
    s.on('data', (d) => {
      buf += d;
      let i;
      while ((i = buf.indexOf('\n')) >= 0) {
        replies.push(buf.slice(0, i).replace(/\r$/, ''));
        buf = buf.slice(i + 1);
        next();
      }
    });
    s.on('error', (e) => { clearTimeout(timer); reject(e); });
  });
}

module.exports = { Nvtd, ftpSession, freePort };
