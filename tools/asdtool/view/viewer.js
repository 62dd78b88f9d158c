// The card viewer's page: the card's recordings, events and snapshots on the left; the
// recording picked, its two cameras, the GPS track and the accelerometer on the right.
//
// Playing: the server gives each camera's frame times and serves any frame by its time, and the
// recording's sound as one WAV file on the recording's own time line (silence where nothing was
// recorded). The audio element is the clock: every animation frame the page draws, for each
// camera, the JPEG frame recorded last before the audio's current time. Frames are fetched a
// little ahead and decoded off the main thread (createImageBitmap), so playing, pausing,
// stepping and seeking are the same operation: draw what was on screen at time t. Nothing is
// transcoded, and sound and pictures cannot drift apart. Should the browser refuse to play the
// sound, a wall clock takes its place.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const enc = encodeURIComponent;
  const CAMS = ['front', 'rear'];
  const TYPE_NAMES = { 0: 'emergency button', 1: 'impact', 2: 'external alarm' };
  const SHORT_NAMES = { 0: 'button', 1: 'impact', 2: 'alarm' };
  const AHEAD = 12;           // frames fetched ahead of the one on screen, a camera
  const IN_FLIGHT = 4;        // frame requests at once, a camera
  const KEEP_BEHIND = 30;     // decoded frames kept behind the one on screen
  const DETAIL_REQUESTS = 3;  // record counts read at once for the list

  async function api(path) {
    const res = await fetch(path);
    if (!res.ok) throw new Error((await res.text()).trim() || res.statusText);
    return res.json();
  }

  // ---- formatting ---------------------------------------------------------------------------

  const iso = (unix) => new Date(unix * 1000).toISOString();
  const day = (unix) => iso(unix).slice(0, 10);
  const hms = (unix) => iso(unix).slice(11, 19);
  const hmsms = (unix) => iso(unix).slice(11, 23);
  const secs = (s) => (s == null ? '…' : s < 600 ? `${s.toFixed(1)} s` : `${(s / 60).toFixed(1)} min`);

  function bytes(n) {
    if (n >= 1 << 30) return `${(n / (1 << 30)).toFixed(1)} GiB`;
    if (n >= 1 << 20) return `${(n / (1 << 20)).toFixed(1)} MiB`;
    if (n >= 1 << 10) return `${(n / (1 << 10)).toFixed(0)} KiB`;
    return `${n} bytes`;
  }

  function el(tag, props = {}, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(props)) {
      if (k === 'class') e.className = v;
      else if (k === 'dataset') Object.assign(e.dataset, v);
      else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
      else e.setAttribute(k, v);
    }
    for (const c of children) if (c != null) e.append(c);
    return e;
  }

  const badge = (text, cls = '') => el('span', { class: `badge ${cls}` }, text);
  const lockBadge = (lock, short) =>
    badge(`event ${lock.generation} · ${(short ? SHORT_NAMES : TYPE_NAMES)[lock.type] || lock.typeName}`,
          `type-${lock.type}`);

  // ---- the card -----------------------------------------------------------------------------

  const card = { files: [], byName: new Map(), events: [], tiles: '' };

  async function loadCard() {
    const c = await api('api/card');
    card.files = c.files;
    card.events = c.events;
    card.tiles = c.tiles;
    card.byName = new Map(c.files.map((f) => [f.name, f]));
    $('card-name').textContent = c.card;
    document.title = `Card ${c.card}`;
    const u = c.use;
    let use = `${u.recordings} recordings, ${bytes(u.bytes)}`;
    if (u.locked) use += ` (${u.locked} locked by events, ${bytes(u.lockedBytes)})`;
    if (u.fsBytes) use += ` · card ${bytes(u.fsFree)} free of ${bytes(u.fsBytes)}`;
    $('use').textContent = use;
    showEvents(c);
    showRecordings(c);
    showSnapshots(c);
    return c;
  }

  function showEvents(c) {
    const list = $('events');
    list.replaceChildren();
    if (c.index.error) list.append(el('li', { class: 'quiet' }, c.index.error));
    else if (!c.events.length) list.append(el('li', { class: 'quiet' }, 'no event kept'));
    for (const e of c.events) {
      const first = e.files.map((n) => card.byName.get(n)).find((f) => f && f.start != null);
      const files = [...e.files, ...e.missing.map((n) => `${n} (not on the card)`)].join(' ');
      list.append(el('li', { class: 'event', dataset: { generation: e.generation },
                             onclick: () => openEvent(e.generation) },
                     lockBadge(e), first ? el('span', {}, `${day(first.start)} ${hms(first.start)}`) : null,
                     el('span', { class: 'files' }, files)));
    }
  }

  const rows = new Map();  // name -> row element

  function showRecordings(c) {
    const box = document.createDocumentFragment();  // 1,400 rows go into the page at once
    rows.clear();
    if (c.error) box.append(el('div', { class: 'quiet' }, c.error));
    let lastDay = '';
    for (const f of c.files) {
      if (f.header && day(f.start) !== lastDay) {
        lastDay = day(f.start);
        box.append(el('div', { class: 'day' }, lastDay));
      }
      const row = el('div', { class: f.header ? 'rec' : 'rec unreadable', dataset: { name: f.name } },
                     el('span', { class: 'time' }, f.header ? hms(f.start) : '—'),
                     el('span', { class: 'dur' }, f.header ? secs(f.seconds) : ''),
                     el('span', { class: 'cams' }, f.header ? '…' : ''),
                     el('span', { class: 'gps' }, f.header ? '' : ''),
                     el('span', { class: 'badges' }),
                     el('span', { class: 'name' }, f.name, f.problem ? ` — ${f.problem}` : ''));
      const badges = row.querySelector('.badges');
      if (f.lock) badges.append(lockBadge(f.lock, true));
      if (f.next) badges.append(badge('next to record', 'next'));
      if (!f.header) badges.append(badge(f.size ? 'unreadable' : 'empty', f.size ? 'bad' : ''));
      if (f.header) {
        row.addEventListener('click', () => openFile(f.name, 0, false));
        detailsObserver.observe(row);
      }
      rows.set(f.name, row);
      box.append(row);
    }
    $('recordings').replaceChildren(box);
  }

  // Record counts are read by the server file by file: only for the rows that come into view.
  const detailQueue = [];
  let detailsRunning = 0;
  const detailsObserver = new IntersectionObserver((entries) => {
    for (const e of entries) {
      if (!e.isIntersecting) continue;
      detailsObserver.unobserve(e.target);
      detailQueue.push(e.target.dataset.name);
    }
    pumpDetails();
  });

  function pumpDetails() {
    while (detailsRunning < DETAIL_REQUESTS && detailQueue.length) {
      const name = detailQueue.shift();
      detailsRunning++;
      api(`api/recordings/${enc(name)}/details`)
        .then((d) => showDetails(name, d))
        .catch(() => {})
        .finally(() => { detailsRunning--; pumpDetails(); });
    }
  }

  function showDetails(name, d) {
    const row = rows.get(name);
    const f = card.byName.get(name);
    if (!row || !f) return;
    const cams = d.cameras;
    row.querySelector('.cams').textContent = `${cams} cam${cams === 1 ? '' : 's'}`;
    row.querySelector('.gps').textContent = `${d.gpsPoints} GPS`;
    if (!f.closed && f.start != null) row.querySelector('.dur').textContent = secs(Math.max(0, d.last - f.start));
    const badges = row.querySelector('.badges');
    if (d.damage) badges.append(badge('damaged', 'bad'));
    else if (d.ending !== 'closed' && !badges.querySelector('.warn')) badges.append(badge('power cut', 'warn'));
  }

  function showSnapshots(c) {
    const box = $('snapshots');
    box.replaceChildren();
    if (!c.snapshots.length) box.append(el('div', { class: 'quiet' }, 'none'));
    for (const s of c.snapshots) {
      const src = `api/snapshots/${enc(s.name)}`;
      box.append(el('figure', {},
                    el('a', { href: src, target: '_blank', rel: 'noopener' },
                       el('img', { src, loading: 'lazy', alt: s.name })),
                    el('figcaption', {}, `${s.name} · ${bytes(s.size)}`)));
    }
  }

  // ---- playing ------------------------------------------------------------------------------

  const audio = $('audio');
  const play = {
    rec: null,           // the timeline of the recording open
    name: null,
    token: 0,            // changes with every file opened: late answers are dropped
    playing: false,
    audioOk: true,       // the audio element keeps time
    wallBase: 0,         // the wall clock's start, when it keeps time
    wallAt: 0,
    cams: {},
    markers: [],         // what the chart marks: {kind, t, label}
    autoAdvance: true,
  };

  function resetCams() {
    for (const cam of CAMS) {
      const old = play.cams[cam];
      if (old) for (const v of old.cache.values()) if (v instanceof ImageBitmap) v.close();
      play.cams[cam] = { times: play.rec ? play.rec.frames[cam] : [], cache: new Map(),
                         inFlight: 0, drawn: -1, canvas: $(`cam-${cam}`) };
    }
  }

  function now() {
    if (!play.rec) return 0;
    if (!play.playing) return play.wallAt;
    if (play.audioOk) return audio.currentTime;
    return play.wallAt + (performance.now() - play.wallBase) / 1000;
  }

  // The index of the frame on screen at t: the last one at or before it, else the first.
  function frameAt(times, t) {
    let lo = 0, hi = times.length - 1, found = 0;
    while (lo <= hi) {
      const mid = (lo + hi) >> 1;
      if (times[mid] <= t + 0.0005) { found = mid; lo = mid + 1; } else hi = mid - 1;
    }
    return found;
  }

  function fetchFrame(cam, i) {
    const c = play.cams[cam];
    if (i < 0 || i >= c.times.length || c.cache.has(i) || c.inFlight >= IN_FLIGHT) return;
    const token = play.token;
    c.inFlight++;
    c.cache.set(i, 'loading');
    fetch(`api/recordings/${enc(play.name)}/frame?cam=${cam}&t=${c.times[i]}`)
      .then((r) => (r.ok ? r.blob() : Promise.reject(new Error(r.statusText))))
      .then((blob) => createImageBitmap(blob))
      .then((bitmap) => {
        if (token !== play.token) { bitmap.close(); return; }
        c.cache.set(i, bitmap);
        if (!play.playing) render();
      })
      .catch(() => { if (token === play.token) c.cache.delete(i); })
      .finally(() => {
        if (token !== play.token) return;
        c.inFlight--;
        prefetch(cam, frameAt(c.times, now()));
      });
  }

  function prefetch(cam, index) {
    const c = play.cams[cam];
    fetchFrame(cam, index);
    const ahead = play.playing ? AHEAD : 2;
    for (let i = index + 1; i <= index + ahead; i++) fetchFrame(cam, i);
    if (!play.playing) fetchFrame(cam, index - 1);
    for (const [i, v] of c.cache) {
      if (i < index - KEEP_BEHIND || i > index + AHEAD + KEEP_BEHIND) {
        if (v instanceof ImageBitmap) v.close();
        c.cache.delete(i);
      }
    }
  }

  function drawCam(cam, t) {
    const c = play.cams[cam];
    const ctx = c.canvas.getContext('2d');
    const info = $(`info-${cam}`);
    if (!c.times.length) {
      if (c.drawn !== -2) {
        ctx.fillStyle = '#111';
        ctx.fillRect(0, 0, c.canvas.width, c.canvas.height);
        ctx.fillStyle = '#8a949d';
        ctx.font = '24px sans-serif';
        ctx.textAlign = 'center';
        ctx.fillText(play.rec ? 'no frames of this camera' : '', c.canvas.width / 2, c.canvas.height / 2);
        info.textContent = '';
        c.drawn = -2;
      }
      return;
    }
    const want = frameAt(c.times, t);
    prefetch(cam, want);
    // The wanted frame, or while it is on its way the closest one before it.
    let show = -1;
    for (let i = want; i >= Math.max(0, want - KEEP_BEHIND); i--) {
      if (c.cache.get(i) instanceof ImageBitmap) { show = i; break; }
    }
    if (show < 0 || show === c.drawn) return;
    const bitmap = c.cache.get(show);
    if (c.canvas.width !== bitmap.width || c.canvas.height !== bitmap.height) {
      c.canvas.width = bitmap.width;
      c.canvas.height = bitmap.height;
    }
    ctx.drawImage(bitmap, 0, 0);
    c.drawn = show;
    c.canvas.dataset.frame = show;
    info.textContent = `frame ${show + 1} of ${c.times.length} · ${hmsms(play.rec.start + c.times[show])}`;
  }

  function render() {
    const t = now();
    for (const cam of CAMS) drawCam(cam, t);
    if (!play.rec) return;
    $('seek').value = t;
    $('clock').textContent = `${hmsms(play.rec.start + t)} · ${t.toFixed(1)} / ${play.rec.duration.toFixed(1)} s`;
    chart.cursor(t);
    track.move(t);
  }

  function loop() {
    if (!play.playing) return;
    const t = now();
    if (t >= play.rec.duration - 0.001) {
      pause();
      play.wallAt = play.rec.duration;
      render();
      if (play.autoAdvance) nextFile(true);
      return;
    }
    render();
    requestAnimationFrame(loop);
  }

  function start() {
    if (!play.rec || play.playing) return;
    if (play.wallAt >= play.rec.duration - 0.001) seek(0);
    play.playing = true;
    play.wallBase = performance.now();
    $('play').textContent = 'Pause';
    if (play.audioOk) {
      audio.currentTime = play.wallAt;
      audio.play().catch(() => {
        // No sound (refused or no device): the page keeps its own clock.
        play.audioOk = false;
        play.wallBase = performance.now();
      });
    }
    requestAnimationFrame(loop);
  }

  function pause() {
    if (!play.playing) return;
    play.wallAt = Math.min(now(), play.rec.duration);
    play.playing = false;
    audio.pause();
    $('play').textContent = 'Play';
    render();
  }

  function seek(t) {
    if (!play.rec) return;
    t = Math.max(0, Math.min(play.rec.duration, t));
    play.wallAt = t;
    play.wallBase = performance.now();
    if (play.audioOk && audio.readyState > 0) audio.currentTime = t;
    else if (play.audioOk) audio.addEventListener('loadedmetadata', () => { audio.currentTime = play.wallAt; }, { once: true });
    if (!play.playing) render();
  }

  // One frame on or back, on the front camera's frames (the rear's when there is no front).
  function step(delta) {
    if (!play.rec) return;
    pause();
    const times = play.cams.front.times.length ? play.cams.front.times : play.cams.rear.times;
    if (!times.length) return;
    const t = now();
    let i = frameAt(times, t);
    if (delta < 0 && t > times[i] + 0.0005) i += 1;  // between frames: back to the one on screen
    i = Math.max(0, Math.min(times.length - 1, i + delta));
    seek(times[i]);
  }

  const playable = () => card.files.filter((f) => f.header);

  function nextFile(keepPlaying) {
    const files = playable();
    const i = files.findIndex((f) => f.name === play.name);
    if (i >= 0 && i + 1 < files.length) openFile(files[i + 1].name, 0, keepPlaying === true);
  }

  function prevFile() {
    const files = playable();
    const i = files.findIndex((f) => f.name === play.name);
    if (i > 0) openFile(files[i - 1].name, 0, false);
  }

  async function openFile(name, at, autoplay) {
    pause();
    const token = ++play.token;
    $('file-note').textContent = '';
    $('file-title').textContent = `${name} …`;
    let rec;
    try {
      rec = await api(`api/recordings/${enc(name)}/timeline`);
    } catch (e) {
      if (token === play.token) $('file-note').textContent = e.message;
      return;
    }
    if (token !== play.token) return;
    play.rec = rec;
    play.name = name;
    play.wallAt = 0;
    play.audioOk = true;
    resetCams();
    audio.src = `api/recordings/${enc(name)}/audio.wav`;
    audio.load();
    const f = card.byName.get(name);
    $('file-title').textContent = `${name} · ${day(rec.start)} ${hms(rec.start)} UTC · ${rec.duration.toFixed(1)} s`;
    const badges = $('file-badges');
    badges.replaceChildren();
    if (rec.lock) badges.append(lockBadge(rec.lock));
    if (rec.damage) badges.append(badge(`damaged at byte ${rec.damage.offset}: ${rec.damage.reason}`, 'bad'));
    else if (rec.ending !== 'closed') badges.append(badge('not closed: the power went while it was recorded', 'warn'));
    if (!rec.audioSeconds) badges.append(badge('no sound recorded'));
    $('seek').max = rec.duration;
    for (const [n, row] of rows) row.classList.toggle('current', n === name);
    if (rows.has(name)) rows.get(name).scrollIntoView({ block: 'nearest' });
    play.markers = [];
    if (rec.impact != null) play.markers.push({ kind: 'impact', t: rec.impact, label: `event ${rec.lock.generation}: impact` });
    chart.show(rec);
    track.show(rec);
    seek(at || 0);
    render();
    if (f && autoplay) start();
  }

  async function openEvent(generation) {
    for (const li of document.querySelectorAll('#events li.event')) {
      li.classList.toggle('current', li.dataset.generation === String(generation));
    }
    try {
      const e = await api(`api/events/${generation}`);
      if (e.moment) await openFile(e.moment.file, Math.max(0, e.moment.t - 5), false);
      else if (e.files.length) await openFile(e.files[0], 0, false);
      else $('file-note').textContent = `event ${generation}: its files are no longer on the card`;
    } catch (err) {
      $('file-note').textContent = err.message;
    }
  }

  audio.addEventListener('error', () => {
    if (!play.rec || !audio.src) return;
    const t = now();
    play.audioOk = false;
    play.wallAt = t;
    play.wallBase = performance.now();
  });

  // ---- the accelerometer chart ------------------------------------------------------------

  const chart = (() => {
    const box = $('chart');
    let plot = null;
    let line = null;
    let rec = null;

    function markersPlugin() {
      return {
        hooks: {
          draw: [(u) => {
            const ctx = u.ctx;
            const { top, height, left, width } = u.bbox;
            ctx.save();
            if (rec && rec.lock && !play.markers.length) {
              // Locked by an event whose moment the file does not hold: the whole file.
              ctx.fillStyle = 'rgba(230, 150, 20, 0.10)';
              ctx.fillRect(left, top, width, height);
            }
            for (const m of play.markers) {
              const x = u.valToPos(m.t, 'x', true);
              ctx.strokeStyle = '#c62828';
              ctx.lineWidth = 2 * devicePixelRatio;
              ctx.beginPath();
              ctx.moveTo(x, top);
              ctx.lineTo(x, top + height);
              ctx.stroke();
              ctx.fillStyle = '#c62828';
              ctx.font = `${11 * devicePixelRatio}px sans-serif`;
              ctx.fillText(m.label, x + 4 * devicePixelRatio, top + 12 * devicePixelRatio);
            }
            if (rec && rec.lock && !play.markers.length) {
              ctx.fillStyle = '#9a5b00';
              ctx.font = `${11 * devicePixelRatio}px sans-serif`;
              ctx.fillText(`locked by event ${rec.lock.generation} (${rec.lock.typeName}); the file does not hold its moment`,
                           left + 6 * devicePixelRatio, top + 12 * devicePixelRatio);
            }
            ctx.restore();
          }],
        },
      };
    }

    function size() {
      return { width: Math.max(200, box.clientWidth), height: Math.max(100, box.clientHeight) };
    }

    function show(r) {
      rec = r;
      if (plot) plot.destroy();
      box.replaceChildren();
      const a = r.accel;
      const g = (v) => v.map((c) => c / 1024);
      const data = [a.t, g(a.x), g(a.y), g(a.z)];
      plot = new uPlot({
        ...size(),
        scales: { x: { time: false, range: [0, Math.max(r.duration, 0.001)] } },
        axes: [{ label: 's', values: (u, v) => v.map((s) => `${s}`) }, { label: 'g' }],
        series: [
          { label: 't (s)' },
          { label: 'X', stroke: '#d32f2f', width: 1.5 },
          { label: 'Y', stroke: '#2e7d32', width: 1.5 },
          { label: 'Z', stroke: '#1565c0', width: 1.5 },
        ],
        cursor: { drag: { x: false, y: false } },
        legend: { show: false },
        plugins: [markersPlugin()],
      }, data, box);
      line = el('div', { class: 'chart-cursor' });
      plot.over.append(line);
      plot.over.addEventListener('click', (e) => seek(plot.posToVal(e.offsetX, 'x')));
      box.dataset.samples = a.t.length;
      box.dataset.markers = play.markers.length;
      if (!a.t.length) box.append(el('div', { class: 'quiet' }, 'no accelerometer samples in this file (parking mode records none)'));
    }

    function cursor(t) {
      if (!plot || !line) return;
      line.style.left = `${plot.valToPos(t, 'x')}px`;
    }

    new ResizeObserver(() => { if (plot) plot.setSize(size()); }).observe(box);
    return { show, cursor, plot: () => plot };
  })();

  // ---- the GPS track ------------------------------------------------------------------------

  const track = (() => {
    const map = L.map('map', { zoomControl: true, attributionControl: true, worldCopyJump: true });
    map.setView([47.37, 8.54], 3);
    L.control.scale({ metric: true, imperial: false }).addTo(map);

    // The plain grid under everything: what there is offline.
    const Grid = L.GridLayer.extend({
      createTile(coords) {
        const tile = document.createElement('canvas');
        const s = this.getTileSize();
        tile.width = s.x;
        tile.height = s.y;
        const ctx = tile.getContext('2d');
        ctx.fillStyle = '#f4f6f8';
        ctx.fillRect(0, 0, s.x, s.y);
        ctx.strokeStyle = '#e1e6eb';
        for (let i = 1; i < 4; i++) {
          ctx.beginPath();
          ctx.moveTo((i * s.x) / 4, 0); ctx.lineTo((i * s.x) / 4, s.y);
          ctx.moveTo(0, (i * s.y) / 4); ctx.lineTo(s.x, (i * s.y) / 4);
          ctx.stroke();
        }
        ctx.strokeStyle = '#c9d1d9';
        ctx.strokeRect(0.5, 0.5, s.x, s.y);
        return tile;
      },
    });
    new Grid({ zIndex: 0 }).addTo(map);

    let tiles = null;
    let mode = '';
    function setMode(m) {
      mode = m;
      $('map-box').dataset.mode = m;
      $('map-mode').textContent = m === 'online' ? 'map tiles' : 'offline: the track on a grid';
    }
    function online() {
      if (tiles || !card.tiles || !navigator.onLine) { if (!tiles) setMode('offline'); return; }
      tiles = L.tileLayer(card.tiles, {
        maxZoom: 19, zIndex: 1,
        attribution: '&copy; <a href="https://www.openstreetmap.org/copyright">OpenStreetMap</a> contributors',
      });
      tiles.on('tileload', () => setMode('online'));
      tiles.on('tileerror', offline);
      tiles.addTo(map);
      setMode('offline');  // until a tile arrives
    }
    function offline() {
      if (tiles) { map.removeLayer(tiles); tiles = null; }
      setMode('offline');
    }
    window.addEventListener('online', online);
    window.addEventListener('offline', offline);

    let line = null;
    let car = null;
    let points = [];

    function show(rec) {
      if (!tiles && mode !== 'offline-final') online();
      points = rec.gps;
      if (line) map.removeLayer(line);
      if (car) map.removeLayer(car);
      line = car = null;
      $('map-box').dataset.points = points.length;
      if (!points.length) {
        $('gps-readout').textContent = 'no GPS fix in this file';
        return;
      }
      line = L.polyline(points.map((p) => [p.lat, p.lon]), { color: '#1f6fd1', weight: 5, opacity: 0.8 });
      line.on('click', (e) => {
        let best = 0, bestD = Infinity;
        points.forEach((p, i) => {
          const d = map.distance([p.lat, p.lon], e.latlng);
          if (d < bestD) { bestD = d; best = i; }
        });
        seek(points[best].t);
      });
      line.addTo(map);
      car = L.marker([points[0].lat, points[0].lon], {
        icon: L.divIcon({ className: 'car-icon', html: '<div></div>', iconSize: [22, 22] }),
        interactive: false, keyboard: false,
      }).addTo(map);
      // A new file's track is framed at once, not animated: a click on it (or a seek from the
      // chart) then finds the track where it is drawn, however slow the machine is.
      const bounds = line.getBounds();
      if (bounds.getNorthEast().equals(bounds.getSouthWest())) map.setView(bounds.getCenter(), 16, { animate: false });
      else map.fitBounds(bounds, { padding: [24, 24], maxZoom: 17, animate: false });
    }

    // The car where it was at t: between the two fixes around it.
    function move(t) {
      if (!car || !points.length) return;
      let i = 0;
      while (i + 1 < points.length && points[i + 1].t <= t) i++;
      const a = points[i];
      const b = points[Math.min(i + 1, points.length - 1)];
      const f = b.t > a.t ? Math.max(0, Math.min(1, (t - a.t) / (b.t - a.t))) : 0;
      car.setLatLng([a.lat + (b.lat - a.lat) * f, a.lon + (b.lon - a.lon) * f]);
      const icon = car.getElement() && car.getElement().firstChild;
      if (icon) icon.style.transform = `rotate(${a.heading}deg)`;
      $('gps-readout').textContent = t < a.t - 1 ? 'no fix yet' :
        `${a.speed} km/h · heading ${a.heading}° · ${a.lat.toFixed(5)}, ${a.lon.toFixed(5)}`;
    }

    new ResizeObserver(() => map.invalidateSize()).observe($('map-box'));
    return { show, move, mode: () => mode, map };
  })();

  // ---- keys and buttons -----------------------------------------------------------------------

  $('play').addEventListener('click', () => (play.playing ? pause() : start()));
  $('step-back').addEventListener('click', () => step(-1));
  $('step-fwd').addEventListener('click', () => step(1));
  $('prev-file').addEventListener('click', prevFile);
  $('next-file').addEventListener('click', () => nextFile(play.playing));
  $('seek').addEventListener('input', (e) => seek(Number(e.target.value)));

  document.addEventListener('keydown', (e) => {
    if (e.ctrlKey || e.metaKey || e.altKey) return;
    const keys = {
      ' ': () => (play.playing ? pause() : start()),
      ArrowLeft: () => step(-1),
      ArrowRight: () => step(1),
      '[': prevFile,
      ']': () => nextFile(play.playing),
    };
    const action = keys[e.key];
    if (!action) return;
    e.preventDefault();
    action();
  });

  // What the page shows, for a look from outside (the browser test reads it).
  window.viewer = {
    state: () => ({
      name: play.name,
      time: now(),
      playing: play.playing,
      audioClock: play.audioOk,
      duration: play.rec ? play.rec.duration : 0,
      drawn: { front: play.cams.front ? play.cams.front.drawn : -1, rear: play.cams.rear ? play.cams.rear.drawn : -1 },
      frames: { front: play.cams.front ? play.cams.front.times.length : 0, rear: play.cams.rear ? play.cams.rear.times.length : 0 },
      markers: play.markers.slice(),
      mapMode: track.mode(),
      trackPoints: play.rec ? play.rec.gps.length : 0,
    }),
    openFile, openEvent, seek, start, pause,
    frameAt: (cam, t) => frameAt(play.cams[cam].times, t),
    chart: () => chart.plot(),
    track: () => ({ map: track.map, points: play.rec ? play.rec.gps : [] }),
  };

  resetCams();
  render();
  loadCard()
    .then(() => { document.body.dataset.ready = 'true'; })
    .catch((e) => { $('use').textContent = `cannot read the card: ${e.message}`; });
})();
