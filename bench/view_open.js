// How long the card viewer takes to open in a browser: from the start of the navigation to the
// list of recordings shown (the page marks <body data-ready>), and until the rows in view have
// their record counts. Not a test: run it by hand against a running `asdtool view`.
//
//   node bench/view_open.js URL [CHROMIUM] [NODE_MODULES]
// NODE_MODULES defaults to the browser test's (build/tests/asdtool/view/browser_npm/node_modules).
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');

const [url, chromium = '/usr/bin/chromium',
       modules = path.join(__dirname, '../build/tests/asdtool/view/browser_npm/node_modules')] =
  process.argv.slice(2);
if (!url) {
  console.error('usage: node bench/view_open.js URL [CHROMIUM] [NODE_MODULES]');
  process.exit(2);
}
const puppeteer = require(path.join(modules, 'puppeteer-core'));

(async () => {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'view-open-'));
  const browser = await puppeteer.launch({
    executablePath: chromium, headless: true, userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1'],
  });
  try {
    for (let run = 1; run <= 3; run++) {
      const page = await browser.newPage();
      await page.setViewport({ width: 1440, height: 900 });
      const start = Date.now();
      await page.goto(url);
      await page.waitForSelector('body[data-ready=true]', { timeout: 60000 });
      const listed = Date.now() - start;
      const rows = await page.$$eval('#recordings .rec', (r) => r.length);
      await page.waitForFunction(() => {
        const inView = [...document.querySelectorAll('#recordings .rec')].filter((r) => {
          const b = r.getBoundingClientRect();
          return b.bottom > 0 && b.top < innerHeight;
        });
        return inView.length && inView.every((r) => /cam/.test(r.querySelector('.cams').textContent));
      }, { timeout: 120000, polling: 50 });
      console.log(`run ${run}: ${rows} recordings listed in ${listed} ms, ` +
                  `the rows in view counted in ${Date.now() - start} ms`);
      await page.close();
    }
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
})();
