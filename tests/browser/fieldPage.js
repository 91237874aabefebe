#!/usr/bin/env node
// Opens the daemon's field page in Debian's headless Chromium as a phone would, waits until the
// page shows the pass at PASS_TEXT ("10 of 10") and flight FLIGHT with its map, and reports what
// it shows, one "key=value" line each, for the calling test to check:
//   passText, counts (the flight's line in the list), tagged and untagged (marks on the map),
//   reason (one line per untagged shot listed), warning (the flight's), file (the download links).
// Downloads the flight's geo.txt through the page's own link into OUTDIR/geo.txt and saves a
// phone-sized screenshot as OUTDIR/field-page.png.
//
//   node fieldPage.js URL PASS_TEXT FLIGHT OUTDIR
//
// Exit status 0 when the page got there, 1 when it did not within the deadline (with what it
// showed), 2 on bad usage.
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const DEADLINE_MS = 30000;
// Only --no-sandbox is needed (Chromium refuses to run as root without it); the rest keeps a
// container's small /dev/shm, the missing GPU and background traffic out of the way.
const CHROMIUM_ARGS = ['--no-sandbox', '--headless=new', '--disable-dev-shm-usage', '--disable-gpu',
                       '--disable-quic', '--disable-component-update', '--no-default-browser-check',
                       '--font-render-hinting=none'];

async function main() {
  const [url, passText, flight, outDir] = process.argv.slice(2);
  if (!outDir) {
    process.stderr.write('usage: node fieldPage.js URL PASS_TEXT FLIGHT OUTDIR\n');
    return 2;
  }
  // Chromium's profile and what its crash handler and GTK write, removed afterwards.
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'field-page-'));
  let browser;
  try {
    browser = await puppeteer.launch({
      executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
      headless: true,
      args: CHROMIUM_ARGS,
      userDataDir: path.join(scratch, 'profile'),
      env: { ...process.env, XDG_CONFIG_HOME: path.join(scratch, 'config'), XDG_CACHE_HOME: path.join(scratch, 'cache') },
      timeout: DEADLINE_MS,
      protocolTimeout: DEADLINE_MS * 2,
    });
    const page = await browser.newPage();
    // A phone's screen; width and height only, since a change of device kind reloads the page.
    await page.setViewport({ width: 390, height: 844, deviceScaleFactor: 2 });
    const errors = [];
    page.on('pageerror', (e) => errors.push(String(e.message || e)));
    await page.goto(url, { waitUntil: 'load', timeout: DEADLINE_MS });

    const shown = () => page.evaluate((f) => {
      const text = (sel) => { const e = document.querySelector(sel); return e ? e.textContent.trim() : ''; };
      const button = document.querySelector(`button.flight[data-flight="${f}"]`);
      return {
        passText: text('#pass-text'),
        counts: button ? button.querySelector('.counts').textContent : '',
        tagged: document.querySelectorAll('#map .shot.tagged').length,
        untagged: document.querySelectorAll('#map .shot.untagged').length,
        title: text('#flight-title'),
        reasons: [...document.querySelectorAll('#untagged li.reason')].map((e) => e.textContent),
        warnings: [...document.querySelectorAll('#flight-warnings li')].map((e) => e.textContent),
        files: [...document.querySelectorAll('#files a')].map((a) => a.textContent),
      };
    }, flight);
    try {
      await page.waitForFunction((want, f) => {
        const pass = document.querySelector('#pass-text');
        const title = document.querySelector('#flight-title');
        return pass && pass.textContent === want && title && title.textContent.startsWith(`Flight ${f} `) &&
               document.querySelectorAll('#map .shot').length > 0 && document.querySelector('#file-geo\\.txt');
      }, { polling: 100, timeout: DEADLINE_MS }, passText, flight);
    } catch (e) {
      process.stdout.write(`shown=${JSON.stringify(await shown())}\n`);
      throw new Error(`the page did not show pass ${passText} and flight ${flight}: ${e.message}`);
    }
    const got = await shown();
    const geo = await page.evaluate(async () => {
      const r = await fetch(document.querySelector('#file-geo\\.txt').href, { cache: 'no-store' });
      const bytes = new Uint8Array(await r.arrayBuffer());
      let bin = '';
      for (const b of bytes) bin += String.fromCharCode(b);
      return { status: r.status, base64: btoa(bin) };
    });
    fs.writeFileSync(path.join(outDir, 'geo.txt'), Buffer.from(geo.base64, 'base64'));
    await page.screenshot({ path: path.join(outDir, 'field-page.png'), fullPage: true });
    const lines = [`passText=${got.passText}`, `counts=${got.counts}`, `tagged=${got.tagged}`,
                   `untagged=${got.untagged}`, `geoStatus=${geo.status}`, `pageErrors=${errors.length}`]
      .concat(got.reasons.map((r) => `reason=${r}`), got.warnings.map((w) => `warning=${w}`),
              got.files.map((f) => `file=${f}`));
    process.stdout.write(lines.join('\n') + '\n');
    return 0;
  } catch (e) {
    process.stderr.write(`fieldPage: ${e.message || e}\n`);
    return 1;
  } finally {
    if (browser) await Promise.race([browser.close().catch(() => {}), new Promise((r) => setTimeout(r, 5000).unref())]);
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

main().then((code) => process.exit(code));
