// The live view: draws what the tool sends. Every text from the scanner or a file goes in through
// textContent, never as markup.
'use strict';

// The best level at a point is coloured by the exports' fixed bands (the tool sends them), the
// same for every drive so pictures compare; only levels declared in dBm are coloured.
const NO_LEVEL = '#9aa5b1';
const VERDICT_COLOURS = {
  'found': '#1a9641', 'delay-mismatch': '#e66101', 'not-listed': '#d7191c', 'unchecked': '#6b7785',
};
const VERDICT_TEXT = {
  'found': 'found', 'delay-mismatch': 'delay off', 'not-listed': 'not listed',
  'unchecked': 'unchecked',
};
const HISTORY_MS = 60000;
const ROUTE_POINTS = 36000;

const $ = (id) => document.getElementById(id);
const state = {
  unit: 'raw', bands: [], stations: [], points: 0, position: null, updates: 0, sweeps: 0, cells: 0,
  link: 'waiting', history: [], waterfall: [], lastSweep: null,
};
window.scanlinkState = state;  // for the tests and the curious

// A scanner's part of the page: its elements (by id on a one-scanner page, by data-f in its
// panel), its state, charts and map layers. A page of one scanner has one view whose state is
// the page's; settings and stations stay in `state`, shared.
function makeView(root, find, viewState, style, name) {
  return {
    root, $: find, state: viewState, style, name, spectrum: null, history: null,
    routeLayer: null, cellLayer: null, here: null, routeMarkers: [],
  };
}
const views = [];
// The route's marker per scanner: the fill stays the level's colour, the shape tells the scanner.
const ROUTE_STYLES = [
  { cls: '', text: 'dot', marker: (c) => ({ radius: 4, stroke: false, fillColor: c, fillOpacity: 0.95 }) },
  { cls: 'ring', text: 'ring', marker: (c) => ({ radius: 4, color: c, weight: 2.5, fillColor: '#fff', fillOpacity: 0.9 }) },
  { cls: 'outlined', text: 'outlined dot', marker: (c) => ({ radius: 4, color: '#24313d', weight: 1.5, fillColor: c, fillOpacity: 0.95 }) },
  { cls: 'small', text: 'small dot', marker: (c) => ({ radius: 2.5, stroke: false, fillColor: c, fillOpacity: 0.95 }) },
];
const routeStyle = (v) => ROUTE_STYLES[v.style % ROUTE_STYLES.length];

function bandColour(level) {
  if (level === null || level === undefined || state.unit !== 'dBm') return NO_LEVEL;
  for (const b of state.bands) if (b.from === null || level >= b.from) return b.colour;
  return NO_LEVEL;
}

// A continuous palette for the waterfall, dark (weak) to bright (strong), over [lo, hi].
function heat(level, lo, hi) {
  const x = Math.max(0, Math.min(1, (level - lo) / (hi - lo || 1)));
  const stops = [[16, 24, 32], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
  const f = x * (stops.length - 1), i = Math.min(stops.length - 2, Math.floor(f)), r = f - i;
  return stops[i].map((c, k) => Math.round(c + (stops[i + 1][k] - c) * r));
}

function text(el, value) { el.textContent = value === null || value === undefined ? '–' : String(value); }

function element(tag, content, cls) {
  const e = document.createElement(tag);
  if (content !== undefined) e.textContent = String(content);
  if (cls) e.className = cls;
  return e;
}

// ---- map -------------------------------------------------------------------------------------
let map = null, gridLayer = null;

function drawGrid() {
  if (!gridLayer) return;
  gridLayer.clearLayers();
  const b = map.getBounds();
  const span = Math.max(b.getNorth() - b.getSouth(), 1e-6);
  const steps = [1e-4, 2e-4, 5e-4, 1e-3, 2e-3, 5e-3, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10];
  const step = steps.find((s) => span / s <= 12) || 10;
  const style = { color: '#b9c3cd', weight: 1, interactive: false };
  for (let lat = Math.floor(b.getSouth() / step) * step; lat <= b.getNorth(); lat += step)
    gridLayer.addLayer(L.polyline([[lat, b.getWest()], [lat, b.getEast()]], style));
  for (let lon = Math.floor(b.getWest() / step) * step; lon <= b.getEast(); lon += step)
    gridLayer.addLayer(L.polyline([[b.getSouth(), lon], [b.getNorth(), lon]], style));
}

function legend() {
  const box = element('div', undefined, 'legend');
  box.appendChild(element('div', 'best level (' + state.unit + ')', 'title'));
  const rows = state.unit === 'dBm'
    ? state.bands.map((b) => [b.colour, b.label]).concat([[NO_LEVEL, 'no level']])
    : [[NO_LEVEL, 'levels are ' + state.unit + ', not dBm: not coloured']];
  for (const [colour, label] of rows) {
    const row = element('div');
    const swatch = element('i');
    swatch.style.background = colour;
    row.appendChild(swatch);
    row.appendChild(document.createTextNode(label));
    box.appendChild(row);
  }
  box.appendChild(element('div', 'lines: cell → listed station', 'title'));
  for (const v of ['found', 'delay-mismatch', 'not-listed']) {
    const row = element('div');
    const swatch = element('i');
    swatch.style.background = VERDICT_COLOURS[v];
    swatch.style.height = '4px';
    row.appendChild(swatch);
    row.appendChild(document.createTextNode(VERDICT_TEXT[v]));
    box.appendChild(row);
  }
  if (views.length > 1) {
    box.appendChild(element('div', 'route of scanner', 'title'));
    for (const v of views) {
      const row = element('div');
      row.appendChild(element('i', undefined, 'mark ' + routeStyle(v).cls));
      row.appendChild(document.createTextNode(v.name + ' (' + routeStyle(v).text + ')'));
      box.appendChild(row);
    }
  }
  return box;
}

function setupMap(config) {
  if (typeof L === 'undefined') {
    $('map').textContent = 'The map library is not installed (Debian package libjs-leaflet).';
    return;
  }
  map = L.map('map', { preferCanvas: true, zoomSnap: 0.5, attributionControl: !!config.tiles })
    .setView([0, 0], 2);
  window.scanlinkMap = map;
  if (config.tiles) {
    L.tileLayer(config.tiles, { maxZoom: 19, attribution: '' }).addTo(map);
  } else {
    gridLayer = L.layerGroup().addTo(map);
    map.on('moveend zoomend resize', drawGrid);
  }
  L.control.scale({ imperial: false }).addTo(map);
}

function addLayers(v) {
  if (!map) return;
  v.routeLayer = L.layerGroup().addTo(map);
  v.cellLayer = L.layerGroup().addTo(map);
}

function placeStations() {
  if (!map) return;
  for (const s of state.stations) {
    const m = L.circleMarker([s.lat, s.lon], {
      radius: 5, color: '#24313d', weight: 3, fillColor: '#fff', fillOpacity: 1,
    }).addTo(map);
    const label = element('span', s.name + ' ' + s.cell, 'station-label');
    m.bindTooltip(label, { permanent: true, direction: 'right', offset: [6, 0] });
  }
}

let centred = false;
function addPoint(v, p, follow) {
  v.state.points++;
  $('nofix').hidden = true;
  v.state.position = [p[0], p[1]];
  if (!map) return;
  v.routeMarkers.push(L.circleMarker([p[0], p[1]], Object.assign(
    routeStyle(v).marker(bandColour(p[2])), { interactive: false })).addTo(v.routeLayer));
  // As many points as the tool keeps: a long drive stays light.
  if (v.routeMarkers.length > ROUTE_POINTS) v.routeLayer.removeLayer(v.routeMarkers.shift());
  if (!v.here) {
    v.here = L.circleMarker([p[0], p[1]], {
      radius: 7, color: '#fff', weight: 3, fillColor: '#2166ac', fillOpacity: 1, interactive: false,
    }).addTo(map);
    if (views.length > 1) {
      v.here.bindTooltip(element('span', v.name, 'scanner-label'),
        { permanent: true, direction: 'left', offset: [-8, 0] });
    }
  }
  v.here.setLatLng([p[0], p[1]]);
  v.here.bringToFront();
  if (!centred) {
    // The first fix: the stations around it in view, or the street level.
    const around = state.stations.map((s) => [s.lat, s.lon]).concat([[p[0], p[1]]]);
    // Kept clear of the legend in the bottom-right corner, station labels included.
    const key = document.querySelector('.legend');
    const clear = key ? [key.offsetWidth + 10, key.offsetHeight + 10] : [0, 0];
    if (around.length > 1) {
      map.fitBounds(L.latLngBounds(around).pad(0.05), { maxZoom: 16, paddingBottomRight: clear });
    }
    else map.setView([p[0], p[1]], 15);
    centred = true;
  } else if (follow && !map.getBounds().pad(-0.1).contains([p[0], p[1]])) {
    // Several scanners: all of them stay in view.
    const all = views.filter((o) => o.state.position).map((o) => o.state.position);
    if (all.length > 1) map.fitBounds(L.latLngBounds(all).pad(0.2), { maxZoom: map.getZoom() });
    else map.panTo([p[0], p[1]]);
  }
}

// ---- cells -----------------------------------------------------------------------------------
function showCells(v, cells) {
  v.state.cells = cells.rows.length;
  const body = v.$('cells').tBodies[0];
  const rows = cells.rows.slice().sort((a, b) => b.level - a.level);
  body.replaceChildren(...rows.map((r) => {
    const tr = element('tr');
    const station = r.station !== undefined ? state.stations[r.station] : null;
    tr.appendChild(element('td', r.cell));
    tr.appendChild(element('td', station ? station.name : '–'));
    tr.appendChild(element('td', r.level.toFixed(1)));
    tr.appendChild(element('td', r.delayChips !== undefined ? r.delayChips.toFixed(2) : '–'));
    tr.appendChild(element('td', r.delayM !== undefined ? Math.round(r.delayM) : '–'));
    tr.appendChild(element('td', r.distM !== undefined ? Math.round(r.distM) : '–'));
    const v = element('td');
    if (r.verdict) {
      const tag = element('span', VERDICT_TEXT[r.verdict] || r.verdict, 'verdict');
      tag.style.background = VERDICT_COLOURS[r.verdict] || '#6b7785';
      v.appendChild(tag);
    } else {
      v.textContent = '–';
    }
    tr.appendChild(v);
    return tr;
  }));
  v.$('cellbox').hidden = false;
  v.$('waiting').hidden = true;
  if (!map || !v.state.position) return;
  v.cellLayer.clearLayers();
  for (const r of cells.rows) {
    if (r.station === undefined || !state.stations[r.station]) continue;
    const s = state.stations[r.station];
    L.polyline([v.state.position, [s.lat, s.lon]], {
      color: VERDICT_COLOURS[r.verdict] || '#6b7785', weight: 2, opacity: 0.8, interactive: false,
      dashArray: v.style % 2 ? '6 4' : null,
    }).addTo(v.cellLayer);
  }
}

// ---- charts ----------------------------------------------------------------------------------
function setupCharts(v) {
  if (typeof Chart === 'undefined') return;
  const common = {
    animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
    normalized: true, plugins: { legend: { display: false } },
  };
  v.spectrum = new Chart(v.$('spectrum'), {
    type: 'line',
    data: { datasets: [{ data: [], borderColor: '#2166ac', borderWidth: 1, pointRadius: 0 }] },
    options: Object.assign({}, common, {
      plugins: { legend: { display: false }, title: { display: true, text: 'latest sweep' } },
      scales: {
        // Plain numbers: a thousands separator in "2,110" reads as a decimal comma to many.
        x: { type: 'linear', title: { display: true, text: 'MHz' }, ticks: { callback: (v) => String(v) } },
        y: { title: { display: true, text: 'level (' + state.unit + ')' } },
      },
    }),
  });
  v.history = new Chart(v.$('history'), {
    type: 'line',
    data: { datasets: [{ data: [], borderColor: '#1a9641', borderWidth: 1.5, pointRadius: 0 }] },
    options: Object.assign({}, common, {
      plugins: { legend: { display: false }, title: { display: true, text: 'best level, last minute' } },
      scales: {
        x: { type: 'linear', min: -60, max: 0, title: { display: true, text: 'seconds' } },
        y: { title: { display: true, text: 'level (' + state.unit + ')' } },
      },
    }),
  });
}

function showSweep(v, sweep, nowMs, draw) {
  if (!v.state.sweeps) for (const e of v.root.querySelectorAll('.sweep')) e.hidden = false;
  v.$('waiting').hidden = true;
  v.state.sweeps++;
  v.state.lastSweep = sweep;
  v.state.waterfall.push({ t: nowMs, sweep });
  while (v.state.waterfall.length && v.state.waterfall[0].t < nowMs - HISTORY_MS) v.state.waterfall.shift();
  if (draw) drawSweep(v, nowMs);
}

function drawSweep(v, nowMs) {
  const sweep = v.state.lastSweep;
  if (!sweep) return;
  if (v.spectrum) {
    v.spectrum.data.datasets[0].data = sweep.levels.map((y, i) => ({
      x: (sweep.startKHz + i * sweep.stepKHz) / 1000, y,
    }));
    v.spectrum.update('none');
  }
  drawWaterfall(v, nowMs);
}

function drawWaterfall(v, nowMs) {
  const canvas = v.$('waterfall');
  const ctx = canvas.getContext('2d');
  const w = canvas.width, h = canvas.height;
  const image = ctx.createImageData(w, h);
  const rows = v.state.waterfall;
  // dBm on a fixed range; anything else on the range of the latest sweep.
  let lo = -115, hi = -65;
  if (state.unit !== 'dBm' && rows.length) {
    const levels = rows[rows.length - 1].sweep.levels;
    lo = Math.min(...levels);
    hi = Math.max(...levels);
  }
  // Up to a minute, but filled from the first sweep on.
  const span = Math.max(10000, Math.min(HISTORY_MS, rows.length ? nowMs - rows[0].t : 0));
  text(v.$('wflabel'), 'waterfall, last ' + Math.round(span / 1000) + ' s (newest on top); colour ' +
    Math.round(lo) + ' (dark) to ' + Math.round(hi) + ' ' + state.unit + ' (bright)');
  let k = rows.length - 1;
  for (let y = 0; y < h; ++y) {
    const t = nowMs - (y / h) * span;
    while (k > 0 && rows[k].t > t) --k;
    if (k < 0 || !rows.length || rows[k].t > t) break;
    const levels = rows[k].sweep.levels;
    for (let x = 0; x < w; ++x) {
      const c = heat(levels[Math.floor((x / w) * levels.length)], lo, hi);
      const o = (y * w + x) * 4;
      image.data[o] = c[0];
      image.data[o + 1] = c[1];
      image.data[o + 2] = c[2];
      image.data[o + 3] = 255;
    }
  }
  ctx.putImageData(image, 0, 0);
}

function addHistory(v, level, nowMs, draw) {
  if (level === null || level === undefined) return;
  v.$('historybox').hidden = false;
  v.state.history.push({ t: nowMs, level });
  while (v.state.history.length && v.state.history[0].t < nowMs - HISTORY_MS) v.state.history.shift();
  if (draw) drawHistory(v, nowMs);
}

function drawHistory(v, nowMs) {
  if (!v.history) return;
  v.history.data.datasets[0].data = v.state.history.map((p) => ({ x: (p.t - nowMs) / 1000, y: p.level }));
  v.history.update('none');
}

// ---- status ----------------------------------------------------------------------------------
function showStatus(v, s) {
  v.state.link = s.link;
  const link = v.$('link');
  text(link, s.link);
  link.className = 'pill ' + s.link;
  v.$('banner').hidden = s.link !== 'down';
  text(v.$('fix'), s.fixAgeS === null ? null : s.fixAgeS.toFixed(1) + ' s');
  text(v.$('battery'), s.battery);
  text(v.$('reports'), s.reports);
  for (const k of ['frames', 'rejected', 'skipped', 'losses', 'reconnections']) text(v.$(k), s.counters[k]);
  text(v.$('gps'), s.gps || null);
}

let updatesSince = performance.now(), updatesCount = 0;
// draw false: only the state moves on (a seek through a recording draws once at its end).
function apply(v, batch, nowMs, follow, draw = true) {
  v.state.updates++;
  if (draw) showStatus(v, batch);
  if (batch.point) {
    addPoint(v, batch.point, follow);
    addHistory(v, batch.point[2], nowMs, draw);
  }
  if (batch.cells) {
    v.state.lastCells = batch.cells;
    if (draw) showCells(v, batch.cells);
  }
  if (batch.sweep) showSweep(v, batch.sweep, nowMs, draw);
}

setInterval(() => {
  const now = performance.now();
  text($('rate'), ((updatesCount * 1000) / (now - updatesSince)).toFixed(1));
  state.rate = (updatesCount * 1000) / (now - updatesSince);
  updatesCount = 0;
  updatesSince = now;
}, 1000);

// The settings, stations and legend every scanner shares.
function initShared(snapshot) {
  state.unit = snapshot.levelUnit || 'raw';
  state.bands = snapshot.bands || [];
  state.stations = snapshot.stations || [];
  for (const v of views) {
    text(v.$('levelhead'), 'level (' + state.unit + ')');
    for (const chart of [v.spectrum, v.history]) {
      if (!chart) continue;
      chart.options.scales.y.title.text = 'level (' + state.unit + ')';
      chart.update('none');
    }
  }
  if (map) {
    const control = L.control({ position: 'bottomright' });
    control.onAdd = legend;
    control.addTo(map);
  }
  placeStations();
}

function init(snapshot) {
  initShared(snapshot);
  for (const p of snapshot.route || []) addPoint(views[0], p, false);
  if (snapshot.status) showStatus(views[0], snapshot.status);
}

// Several scanners: a panel each, side by side, and one map with every route.
function initScanners(snapshot) {
  $('side').remove();
  views.length = 0;
  document.querySelector('main').classList.add('several');
  for (const e of document.querySelectorAll('header .one, #banner')) e.hidden = true;
  text($('title'), 'scanlink: live, ' + snapshot.scanners.length + ' scanners');
  const panels = $('panels');
  panels.hidden = false;
  snapshot.scanners.forEach((s, i) => {
    const root = $('panel').content.firstElementChild.cloneNode(true);
    panels.appendChild(root);
    const find = (f) => root.querySelector('[data-f="' + f + '"]');
    const v = makeView(root, find, {
      points: 0, position: null, updates: 0, sweeps: 0, cells: 0, link: 'waiting', history: [],
      waterfall: [], lastSweep: null, name: s.name, address: s.address,
    }, i, s.name);
    root.dataset.scanner = s.name;
    text(find('name'), s.name);
    text(find('address'), s.address);
    root.querySelector('.mark').className = 'mark ' + routeStyle(v).cls;
    views.push(v);
    setupCharts(v);
    addLayers(v);
  });
  window.scanlinkPanels = views.map((v) => v.state);
  initShared(snapshot);
  snapshot.scanners.forEach((s, i) => {
    for (const p of s.route || []) addPoint(views[i], p, false);
    if (s.status) showStatus(views[i], s.status);
  });
}

// ---- live ------------------------------------------------------------------------------------
function live() {
  let started = false;
  const events = new EventSource('/events');
  events.addEventListener('snapshot', (e) => {
    if (started) return;  // a reconnected stream: the page already has the route
    started = true;
    const snapshot = JSON.parse(e.data);
    if (snapshot.scanners) initScanners(snapshot);
    else init(snapshot);
  });
  events.onmessage = (e) => {
    updatesCount++;
    const batch = JSON.parse(e.data);
    // Each scanner's news goes to its own panel only.
    if (batch.scanners) {
      batch.scanners.forEach((one, i) => {
        if (one && views[i]) apply(views[i], one, Date.now(), true);
      });
    } else {
      apply(views[0], batch, Date.now(), true);
    }
  };
  events.onerror = () => {
    for (const v of views) {
      const link = v.$('link');
      text(link, 'no server');
      link.className = 'pill down';
    }
  };
}

// ---- recording -------------------------------------------------------------------------------
function recording(data) {
  const frames = data.frames;
  const duration = frames.length ? frames[frames.length - 1].at : 0;
  const slider = $('slider');
  slider.max = String(duration);
  $('controls').hidden = false;
  let at = 0, next = 0, playing = true, last = performance.now();
  const v = views[0];
  const clock = (ms) => {
    const s = Math.floor(ms / 1000);
    return Math.floor(s / 60) + ':' + String(s % 60).padStart(2, '0');
  };
  const reset = () => {
    if (v.routeLayer) v.routeLayer.clearLayers();
    v.routeMarkers.length = 0;
    if (v.cellLayer) v.cellLayer.clearLayers();
    Object.assign(state, {
      points: 0, history: [], waterfall: [], sweeps: 0, position: null, lastCells: null,
      lastSweep: null,
    });
    next = 0;
  };
  const advance = (to, follow, draw) => {
    const from = next;
    while (next < frames.length && frames[next].at <= to) {
      apply(v, frames[next], frames[next].at, follow, draw);
      ++next;
    }
    if (!draw && next > from) {
      const t = frames[next - 1].at;
      showStatus(v, frames[next - 1]);
      if (state.lastCells) showCells(v, state.lastCells);
      drawHistory(v, t);
      drawSweep(v, t);
    }
    at = to;
    slider.value = String(Math.round(at));
    text($('clock'), clock(at) + ' / ' + clock(duration));
  };
  const seek = (to) => {
    if (to < at) reset();
    advance(to, false, false);
    if (map && state.position) map.panTo(state.position);
  };
  slider.addEventListener('input', () => seek(Number(slider.value)));
  $('play').addEventListener('click', () => {
    playing = !playing;
    text($('play'), playing ? 'Pause' : 'Play');
    if (playing && at >= duration) seek(0);
    last = performance.now();
  });
  setInterval(() => {
    const now = performance.now();
    if (playing) {
      const to = Math.min(duration, at + (now - last) * Number($('speed').value));
      // A fast speed moves many frames a tick: drawn once, like a seek.
      advance(to, true, frames.length <= next + 1 || frames[next + 1].at > to);
    }
    last = now;
    if (at >= duration && playing) {
      playing = false;
      text($('play'), 'Play');
    }
  }, 100);
}

async function main() {
  const config = await (await fetch('/config.json')).json();
  text($('title'), config.mode === 'recording' ? 'scanlink: recording' : 'scanlink: live');
  setupMap(config);
  views.push(makeView($('side'), $, state, 0, null));
  setupCharts(views[0]);
  addLayers(views[0]);
  if (config.mode === 'recording') {
    const data = await (await fetch('/recording.json')).json();
    init(data.snapshot);
    recording(data);
  } else {
    live();
  }
}

main();
