// web_console.test.js - the web console in headless Chromium against the real nvtd: the
// console runs shell lines, the log view shows what an FTP login logs, the settings
// change the running server, the first tab follows ?dp=, error states show; screenshots
// of the three tabs in light and dark go to ./screenshots.
//
// Run by CTest from the build tree (NVTD_BIN names the binary); exits 77 (skipped) when
// playwright-core or Chromium is missing.
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { Nvtd, ftpSession } = require('./nvtd_run');

const CHROMIUM = '/usr/bin/chromium';
const WAIT = 10000;            // every wait on the page
const SHOTS = path.resolve('screenshots');

let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch (e) {
  console.log('skipped: playwright-core is not installed (npm ci --prefix tests/browser)');
  process.exit(77);
}
if (!fs.existsSync(CHROMIUM) || !process.env.NVTD_BIN || !fs.existsSync(process.env.NVTD_BIN)) {
  console.log('skipped: needs ' + CHROMIUM + ' and NVTD_BIN naming the nvtd binary');
  process.exit(77);
}

const FTP_USER = 'tester';
const FTP_PASS = 'secret7';
const MARKUP = 'echo <img src=x onerror=window.hit=1><b>bold</b>';

describe('web console', { timeout: 150000 }, () => {
  let nvtd, browser, page;
  const pageErrors = [];
  const cmdRequests = [];

  before(async () => {
    fs.mkdirSync(SHOTS, { recursive: true });
    nvtd = new Nvtd(process.env.NVTD_BIN);
    process.on('exit', () => nvtd.killNow());
    await nvtd.start({ user: FTP_USER, passwd: FTP_PASS });
    browser = await chromium.launch({
      executablePath: CHROMIUM,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
             '--disable-background-networking'],
      timeout: 30000,
    });
    page = await openPage('');
    page.on('request', (r) => {
      if (new URL(r.url()).pathname === '/cmd') cmdRequests.push(r.url());
    });
  });

  after(async () => {
    try {
      // Bounded: a browser that does not close ends with this process (its pipe closes).
      if (browser)
        await Promise.race([browser.close(), new Promise((r) => setTimeout(r, 10000).unref())]);
    } finally {
      try {
        await nvtd.stop();
      } finally {
        nvtd.cleanUp();
      }
    }
  });

  async function openPage(query, options = {}) {
    const ctx = await browser.newContext({ viewport: { width: 1280, height: 800 }, ...options });
    const p = await ctx.newPage();
    p.setDefaultTimeout(WAIT);
    p.on('pageerror', (e) => pageErrors.push(e.message));
    await p.goto(nvtd.url + query);
    return p;
  }

  /** Types line into the console and waits until its block holds text (a regex). */
  async function runCommand(p, line, text) {
    await p.fill('#cmd', line);
    await p.press('#cmd', 'Enter');
    await p.waitForFunction(([re, flags]) => {
      const blocks = document.querySelectorAll('#out .block');
      const last = blocks[blocks.length - 1];
      return last && new RegExp(re, flags).test(last.textContent);
    }, [text.source, text.flags], { timeout: WAIT });
  }

  /** Waits for a log row whose text contains marker; returns its class list. */
  async function logRow(p, marker) {
    const row = p.locator('#log .row', { hasText: marker });
    try {
      await row.first().waitFor({ timeout: WAIT });
    } catch (e) {
      throw new Error(`no log row with [${marker}]; Log View holds:\n` +
                      await p.textContent('#log') + '\n' + await p.textContent('#log-count'));
    }
    return (await row.first().getAttribute('class')).split(' ');
  }

  /** Offers value for log.level in Settings (as an older page might), saves it and returns
   *  the refusal the row then shows. */
  async function refusedLevel(value) {
    await page.dblclick('tr[data-name="log.level"] .v');
    await page.evaluate((v) => {
      const s = document.querySelector('tr[data-name="log.level"] select');
      s.add(new Option(v, v));
      s.value = v;
    }, value);
    await page.click('tr[data-name="log.level"] .btn.primary');
    const msg = page.locator('tr[data-name="log.level"] .msgline.bad');
    await msg.waitFor();
    return msg.textContent();
  }

  it('fills the page from the template: title, prompt and a token', async () => {
    assert.equal(await page.title(), 'NVTD Web Debug Tool');
    assert.equal(await page.textContent('#prompt'), 'nvtd>');
    const token = await page.inputValue('#token');
    assert.ok(token.length >= 8 && !token.includes('$'), `token [${token}]`);
    assert.equal(await page.getAttribute('#tab-console', 'aria-selected'), 'true');
  });

  it('runs show info in the console and shows its lines', async () => {
    await runCommand(page, 'show info', /ver=1\.0\.0\.0/);
    const text = await page.textContent('#out');
    assert.match(text, /nvtd> show info/);
    assert.match(text, /ver_date=2024-7-18\n/);
    assert.doesNotMatch(text, /\u0000/);
  });

  it('shows markup in a reply as text', async () => {
    await runCommand(page, MARKUP, /<b>bold<\/b>/);
    assert.equal(await page.locator('#out img, #out b').count(), 0);
    assert.equal(await page.evaluate(() => window.hit), undefined);
  });

  it('recalls lines with Up and Down, and clears without a request', async () => {
    await runCommand(page, 'show dvar', /log\.level=/);
    await page.press('#cmd', 'ArrowUp');
    assert.equal(await page.inputValue('#cmd'), 'show dvar');
    await page.press('#cmd', 'ArrowUp');
    assert.equal(await page.inputValue('#cmd'), MARKUP);
    await page.press('#cmd', 'ArrowDown');
    assert.equal(await page.inputValue('#cmd'), 'show dvar');
    const sent = cmdRequests.length;
    await page.fill('#cmd', 'clear');
    await page.press('#cmd', 'Enter');
    await page.waitForFunction(() => document.querySelector('#out').childNodes.length === 0);
    assert.equal(cmdRequests.length, sent, 'clear went to the server');
  });

  it('refuses a line too long for the server, without sending it', async () => {
    const sent = cmdRequests.length;
    await runCommand(page, 'echo ' + 'x'.repeat(1100), /Not sent: too long/);
    assert.equal(cmdRequests.length, sent);
  });

  it('shows the log line of an FTP login in Log View, coloured by its level', async () => {
    await page.click('#tab-log');
    const replies = await ftpSession(nvtd.ftpPort, [`USER ${FTP_USER}`, 'PASS wrong', 'QUIT']);
    assert.match(replies[2], /^530 /);
    const cls = await logRow(page, 'wrong pwd [***]');
    assert.ok(cls.includes('warning'), cls.join(' '));
  });

  it('holds new lines while paused from the context menu, and shows them on resume', async () => {
    await page.click('#log', { button: 'right' });
    await page.waitForSelector('#logmenu.show');
    await page.click('#logmenu [data-act="pause"]');
    const wrongUser = page.locator('#log .row', { hasText: 'wrong user' });
    assert.equal(await wrongUser.count(), 0);
    await ftpSession(nvtd.ftpPort, ['USER held_probe', 'PASS x', 'QUIT']);
    await page.waitForFunction(() => /[1-9]\d* held/.test(document.querySelector('#log-count').textContent));
    assert.equal(await wrongUser.count(), 0);
    await page.click('#log', { button: 'right' });
    assert.equal(await page.getAttribute('#logmenu [data-act="pause"]', 'aria-checked'), 'true');
    await page.click('#logmenu [data-act="pause"]');
    assert.ok((await logRow(page, 'wrong user')).includes('warning'));
  });

  it('changes log.level in Settings, and show dvar reflects it', async () => {
    await page.click('#tab-setting');
    const value = page.locator('tr[data-name="log.level"] .v');
    assert.equal(await value.textContent(), 'info');
    await value.dblclick();
    const select = page.locator('tr[data-name="log.level"] select');
    assert.deepEqual(await select.locator('option').allTextContents(),
                     ['verb', 'dbg', 'info', 'noti', 'warn', 'err', 'crit']);
    await select.selectOption('dbg');
    await page.click('tr[data-name="log.level"] .btn.primary');
    await page.waitForFunction(() =>
      document.querySelector('tr[data-name="log.level"] .v').textContent === 'dbg');
    await page.click('#tab-console');
    await runCommand(page, 'show dvar', /log\.level=dbg/);
  });

  it('shows the reason when the server refuses a value', async () => {
    await page.click('#tab-setting');
    assert.match(await refusedLevel('verbose'), /verbose/);  // a level the server does not know
    await page.click('tr[data-name="log.level"] .edit .btn:not(.primary)');
    assert.equal(await page.textContent('tr[data-name="log.level"] .v'), 'dbg');
  });

  it('refuses a value too long for the server, without sending it', async () => {
    const updates = [];
    const seen = (r) => { if (new URL(r.url()).pathname === '/update') updates.push(r.url()); };
    page.on('request', seen);
    assert.match(await refusedLevel('d'.repeat(64)), /Too long: 64 bytes/);
    page.off('request', seen);
    assert.deepEqual(updates, []);
    await page.click('tr[data-name="log.level"] .edit .btn:not(.primary)');
  });

  it('saves screenshots of the three tabs in light and dark', async () => {
    for (const scheme of ['light', 'dark']) {
      await page.emulateMedia({ colorScheme: scheme });
      await page.click('#tab-console');
      await runCommand(page, 'show info', /ver=/);
      await page.screenshot({ path: path.join(SHOTS, `console-${scheme}.png`) });
      await page.click('#tab-log');
      await page.locator('#log .row.debug').first().waitFor();  // level dbg since the last test
      await page.screenshot({ path: path.join(SHOTS, `log-${scheme}.png`) });
      await page.click('#tab-setting');
      await page.locator('tr[data-name="log.dbgview"]').waitFor();
      await page.screenshot({ path: path.join(SHOTS, `settings-${scheme}.png`) });
    }
    const phone = await openPage('?dp=pconsole', {
      viewport: { width: 390, height: 780 }, colorScheme: 'dark', isMobile: true,
    });
    await runCommand(phone, 'help', /show/);
    await phone.screenshot({ path: path.join(SHOTS, 'console-phone-dark.png') });
    await phone.context().close();
    for (const name of ['console', 'log', 'settings'])
      for (const scheme of ['light', 'dark'])
        assert.ok(fs.statSync(path.join(SHOTS, `${name}-${scheme}.png`)).size > 5000);
  });

  it('hides and shows a level with its toggle', async () => {
    await page.click('#tab-log');
    const debug = page.locator('#log .row.debug');
    const others = page.locator('#log .row:not(.debug)');
    await debug.first().waitFor();
    await page.click('.lvl[data-level="debug"]');
    assert.equal(await debug.first().isVisible(), false);
    assert.equal(await others.first().isVisible(), true);
    assert.equal(await page.getAttribute('.lvl[data-level="debug"]', 'aria-pressed'), 'false');
    await page.click('.lvl[data-level="debug"]');
    assert.equal(await debug.first().isVisible(), true);
  });

  it('empties Log View from the context menu', async () => {
    await page.click('#tab-log');
    await page.locator('#log .row').first().waitFor();
    await page.click('#log', { button: 'right' });
    await page.click('#logmenu [data-act="clear"]');
    assert.equal(await page.locator('#log .row').count(), 0);
    assert.equal(await page.isVisible('#logmenu'), false);
  });

  it('keeps the last 1000 lines in Log View', { timeout: 90000 }, async () => {
    // At level dbg the shell logs a line for every command it runs.
    assert.equal(await page.locator('#log .row').count(), 0);
    await page.click('#tab-console');
    for (let i = 0; i < 8; i++)
      await runCommand(page, 'pwd;'.repeat(150), /\//);
    await runCommand(page, 'echo cap_end_marker', /cap_end_marker/);
    await page.click('#tab-log');
    await page.locator('#log .row', { hasText: 'cmd=[echo cap_end_marker]' }).first()
      .waitFor({ timeout: 60000 });
    assert.equal(await page.locator('#log .row').count(), 1000);
    assert.match(await page.textContent('#log-count'), /^1000 lines/);
  });

  it('opens the tab named by ?dp first', async () => {
    for (const [dp, tab] of [['plog', '#tab-log'], ['psetting', '#tab-setting']]) {
      const p = await openPage('?dp=' + dp);
      assert.equal(await p.getAttribute(tab, 'aria-selected'), 'true', dp);
      assert.ok(await p.isVisible('#' + dp), dp);
      assert.equal(await p.isVisible('#pconsole'), false, dp);
      await p.context().close();
    }
  });

  it('says the server is unreachable once it stops', async () => {
    await nvtd.stop();
    await page.waitForFunction(() =>
      document.querySelector('#status-text').textContent === 'Unreachable');
    assert.match(await page.textContent('#banner-text'), /unreachable/i);
    await page.screenshot({ path: path.join(SHOTS, 'error-unreachable-dark.png') });
  });

  it('asks for a reload when the restarted server refuses the old token', async () => {
    await nvtd.start({ user: FTP_USER, passwd: FTP_PASS });  // the same ports, a new token
    await page.waitForFunction(() => /403/.test(document.querySelector('#banner-text').textContent));
    assert.ok(await page.isVisible('#reload'));
    assert.equal(await page.textContent('#status-text'), 'Error 403');
    await page.click('#tab-console');
    await runCommand(page, 'show info', /403/);
    await page.click('#reload');
    await page.waitForFunction(() => document.querySelector('#status-text').textContent === 'Connected');
    await page.press('#cmd', 'ArrowUp');  // the line history outlives the reload
    assert.equal(await page.inputValue('#cmd'), 'show info');
    await runCommand(page, 'show info', /ver=1\.0\.0\.0/);
  });

  it('works behind Basic credentials, and asks to sign in again when they change', async () => {
    await nvtd.stop();
    await nvtd.start({ user: FTP_USER, passwd: FTP_PASS, webUser: 'admin', webPwd: 'first' });
    const p = await openPage('', { httpCredentials: { username: 'admin', password: 'first' } });
    await runCommand(p, 'show info', /ver=1\.0\.0\.0/);
    await nvtd.stop();
    await nvtd.start({ user: FTP_USER, passwd: FTP_PASS, webUser: 'admin', webPwd: 'second' });
    await p.waitForFunction(() => /401/.test(document.querySelector('#banner-text').textContent));
    assert.equal(await p.textContent('#status-text'), 'Error 401');
    assert.ok(await p.isVisible('#reload'));
    await p.screenshot({ path: path.join(SHOTS, 'error-401-light.png') });
    await p.context().close();
  });

  it('raised no script errors', () => {
    assert.deepEqual(pageErrors, []);
  });
});
