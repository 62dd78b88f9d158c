// Opens the card viewer in Debian's chromium (headless, through puppeteer-core) and checks what
// a person would: the list, the events, playing both cameras, the accelerometer chart with the
// impact marked, seeking by the chart and the track, the keys, and the track on its grid when no
// map tiles can be had. Every wait is for a condition, with a generous limit.
//
//   node browser_check.js --url URL --chromium PATH --modules NODE_MODULES --out DIR
// Exit status 0 when every check passed; DIR/viewer.png is the page at the end.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');

const args = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
for (const need of ['url', 'chromium', 'modules', 'out']) {
  if (!args[need]) {
    console.error(`browser_check: --${need} is missing`);
    process.exit(2);
  }
}
const puppeteer = require(path.join(args.modules, 'puppeteer-core'));

const LIMIT = 60000;  // for each wait: only a broken run reaches it
let failures = 0;

function check(ok, what, detail) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${ok || detail === undefined ? '' : `: ${JSON.stringify(detail)}`}`);
  if (!ok) failures++;
  return ok;
}

async function main() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'view-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: args.chromium,
    headless: true,
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--autoplay-policy=no-user-gesture-required',
           // Nothing leaves this machine: every name but the viewer's address fails to resolve,
           // so the map's tile requests fail as they do offline.
           '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1'],
  });
  try {
    const page = await browser.newPage();
    page.on('pageerror', (e) => check(false, 'no script error on the page', e.message));
    await page.setViewport({ width: 1440, height: 900 });
    await page.goto(args.url, { waitUntil: 'load', timeout: LIMIT });
    await page.waitForSelector('body[data-ready=true]', { timeout: LIMIT });
    const state = () => page.evaluate(() => window.viewer.state());
    const waitFor = (fn, ...rest) => page.waitForFunction(fn, { timeout: LIMIT, polling: 100 }, ...rest);

    // The card at a glance.
    const card = await page.evaluate(() => fetch('api/card').then((r) => r.json()));
    const rows = await page.$$eval('#recordings .rec', (r) => r.map((x) => x.dataset.name));
    check(rows.length >= 3 && rows.length === card.files.length, 'the list shows every recording', rows);
    const events = await page.$$eval('#events li.event', (l) => l.map((x) => x.textContent));
    check(events.length === 2 && /impact/.test(events[0]) && /emergency button/.test(events[1]),
          'the list shows the impact and the button', events);
    const badges = await page.$$eval('#recordings .rec .badge', (b) => b.map((x) => x.textContent));
    check(badges.some((b) => /impact/.test(b)) && badges.some((b) => /button/.test(b)),
          'the locked files carry their event', badges);
    await waitFor(() => [...document.querySelectorAll('#recordings .rec .cams')].every((c) => /cam/.test(c.textContent)));
    check(true, 'every row got its camera count and GPS points');
    check(await page.$$eval('#snapshots img', (i) => i.length) === card.snapshots.length &&
          card.snapshots.length >= 1, 'the snapshots show as thumbnails');
    await waitFor(() => [...document.querySelectorAll('#snapshots img')].every((i) => i.complete && i.naturalWidth > 0));

    // The impact: its file opens a little before it, both cameras drawn.
    await page.click('#events li.event:first-child');
    await waitFor(() => {
      const s = window.viewer.state();
      return s.name && s.drawn.front >= 0 && s.drawn.rear >= 0;
    });
    let s = await state();
    check(s.frames.front > 0 && s.frames.rear > 0, 'the impact\'s file has frames of both cameras', s);
    check(s.markers.length === 1 && s.markers[0].kind === 'impact', 'the chart marks the impact', s.markers);
    check(s.markers.length && Math.abs(s.time - Math.max(0, s.markers[0].t - 5)) < 0.01,
          'the event opens five seconds before the impact', s);

    // The marker is drawn: the chart's pixels on its line are red.
    const red = await page.evaluate(() => {
      const u = window.viewer.chart();
      const m = window.viewer.state().markers[0];
      const x = Math.round(u.valToPos(m.t, 'x', true));
      const ctx = u.ctx;
      let hits = 0;
      for (let k = 1; k < 10; k++) {
        const y = Math.round(u.bbox.top + (u.bbox.height * k) / 10);
        const [r, g, b] = ctx.getImageData(x, y, 1, 1).data;
        if (r > 150 && g < 90 && b < 90) hits++;
      }
      return { hits, samples: Number(document.getElementById('chart').dataset.samples) };
    });
    check(red.samples > 0 && red.hits >= 5, 'the chart is drawn with the impact\'s line', red);

    // Offline: no tile arrives, the track shows on the grid with a scale.
    await waitFor(() => document.getElementById('map-box').dataset.mode === 'offline' &&
                        document.querySelector('.leaflet-overlay-pane path') &&
                        document.querySelectorAll('.leaflet-tile-container canvas').length > 0);
    const map = await page.evaluate(() => ({
      points: window.viewer.state().trackPoints,
      path: document.querySelector('.leaflet-overlay-pane path').getAttribute('d'),
      scale: document.querySelector('.leaflet-control-scale-line').textContent,
      mode: document.getElementById('map-mode').textContent,
      tiles: document.querySelectorAll('.leaflet-tile-container img').length,
    }));
    check(map.points > 0 && /^M/.test(map.path) && /m$/.test(map.scale) && map.tiles === 0,
          'offline, the track shows on a grid with a scale', map);

    // Space plays; two seconds later both cameras are on later frames.
    const before = await state();
    await page.keyboard.press('Space');
    await waitFor((t) => window.viewer.state().time >= t + 2, before.time);
    await page.keyboard.press('Space');
    await waitFor((b) => {
      const n = window.viewer.state();
      return !n.playing && n.drawn.front > b.drawn.front && n.drawn.rear > b.drawn.rear;
    }, before);
    s = await state();
    check(s.time >= before.time + 2 && !s.playing, 'playing two seconds advances both videos',
          { before: before.drawn, after: s.drawn, time: s.time, audioClock: s.audioClock });

    // Clicking the chart seeks there.
    const target = await page.evaluate(() => {
      const u = window.viewer.chart();
      const r = u.over.getBoundingClientRect();
      const x = Math.round(r.width * 0.75);
      return { x: r.left + x, y: r.top + r.height / 2, t: u.posToVal(x, 'x') };
    });
    await page.mouse.click(target.x, target.y);
    await waitFor((t) => Math.abs(window.viewer.state().time - t) < 0.05, target.t);
    check(true, 'clicking the chart seeks');
    await waitFor((t) => {
      const n = window.viewer.state();
      return n.drawn.front === window.viewer.frameAt('front', t);
    }, target.t);
    check(true, 'the frame drawn follows the seek');

    // An arrow steps one frame.
    s = await state();
    await page.keyboard.press('ArrowRight');
    await waitFor((f) => window.viewer.state().drawn.front === f + 1, s.drawn.front);
    check(true, 'the right arrow steps one frame');

    // The button's event: its file, and the track on it; clicking the track seeks.
    await page.click('#events li.event:nth-child(2)');
    await waitFor((name) => window.viewer.state().name && window.viewer.state().name !== name, s.name);
    s = await state();
    const buttonFiles = card.events[1].files;
    check(buttonFiles.includes(s.name) && s.markers.length === 0,
          'the button\'s event opens its file, no moment to mark', { name: s.name, buttonFiles });
    const pick = await page.evaluate(() => {
      const { map, points } = window.viewer.track();
      if (points.length < 2) return null;
      const p = points[Math.floor(points.length / 2)];
      const at = map.latLngToContainerPoint([p.lat, p.lon]);
      const r = document.getElementById('map').getBoundingClientRect();
      return { x: r.left + at.x, y: r.top + at.y, t: p.t };
    });
    if (check(pick !== null, 'the button\'s file has a track to click')) {
      await page.mouse.click(pick.x, pick.y);
      await waitFor((t) => Math.abs(window.viewer.state().time - t) < 0.01, pick.t);
      check(true, 'clicking the track seeks to that fix');
    }

    // ] and [ move along the ring in recording order.
    const order = card.files.filter((f) => f.header).map((f) => f.name);
    const from = order.indexOf(s.name);
    if (from + 1 < order.length) {
      await page.keyboard.press(']');
      await waitFor((n) => window.viewer.state().name === n, order[from + 1]);
      await page.keyboard.press('[');
      await waitFor((n) => window.viewer.state().name === n, order[from]);
      check(true, '] and [ go to the next and the previous file');
    }

    // The picture for the record: the impact, just after it.
    await page.click('#events li.event:first-child');
    await waitFor(() => window.viewer.state().markers.length === 1);
    const t = (await state()).markers[0].t + 0.4;
    await page.evaluate((x) => window.viewer.seek(x), t);
    await waitFor((x) => {
      const n = window.viewer.state();
      return n.drawn.front === window.viewer.frameAt('front', x) && n.drawn.rear === window.viewer.frameAt('rear', x);
    }, t);
    fs.mkdirSync(args.out, { recursive: true });
    await page.screenshot({ path: path.join(args.out, 'viewer.png') });
    check(true, `screenshot in ${path.join(args.out, 'viewer.png')}`);
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

const guard = setTimeout(() => {
  console.error('browser_check: still running after 300 s');
  process.exit(1);
}, 300000);

main()
  .then(() => {
    clearTimeout(guard);
    console.log(failures ? `${failures} checks failed` : 'every check passed');
    process.exit(failures ? 1 : 0);
  })
  .catch((e) => {
    clearTimeout(guard);
    console.error(`FAIL ${e.stack || e}`);
    process.exit(1);
  });
