// The history page: a device's stored rounds over a chosen range, as the
// server downsamples them (/api/history), with the alarms of the range as
// markers on every chart (/api/alarms) and a CSV of what is shown.
'use strict';

const POINTS = 2000;
const hist = { devices: [], plots: [], alarms: [], series: null };

function $(id) { return document.getElementById(id); }

function toLocalInput(ms) {
  const d = new Date(ms - new Date(ms).getTimezoneOffset() * 60000);
  return d.toISOString().slice(0, 19);
}

function status(text, fault) {
  $('status').textContent = text;
  $('status').classList.toggle('fault', !!fault);
}

// The query the controls describe, as the endpoints' parameters.
function params() {
  const p = new URLSearchParams();
  p.set('device', $('device').value);
  const range = $('range').value;
  if (range === 'custom') {
    const from = Date.parse($('from').value), to = Date.parse($('to').value);
    if (Number.isNaN(from) || Number.isNaN(to)) throw new Error('give both the start and the end of the range');
    p.set('from', from);
    p.set('to', to);
  } else if (range !== 'all') {
    const span = hist.devices.find((d) => String(d.device) === $('device').value);
    const to = Math.max(Date.now(), span ? span.last_ms : 0);
    p.set('from', to - Number(range));
    p.set('to', to);
  }
  return p;
}

// Rounds further apart than a few buckets (or than the usual spacing) are
// a gap in the data: a null there keeps the chart from bridging it.
function withGaps(s) {
  const cols = ['string_voltage', 'current', 'temperature', 'cell_min', 'cell_mean', 'cell_max', 'cell_values'];
  const dts = [];
  for (let i = 1; i < s.t.length; i++) dts.push(s.t[i] - s.t[i - 1]);
  const usual = dts.length ? dts.slice().sort((a, b) => a - b)[Math.floor(dts.length / 2)] : 0;
  const gap = 3 * Math.max(s.bucket_ms, usual);
  const out = { t: [] };
  for (const c of cols) out[c] = [];
  for (let i = 0; i < s.t.length; i++) {
    if (i > 0 && s.t[i] - s.t[i - 1] > gap) {
      out.t.push((s.t[i] + s.t[i - 1]) / 2000);
      for (const c of cols) out[c].push(null);
    }
    out.t.push(s.t[i] / 1000);
    for (const c of cols) out[c].push(s[c].length ? s[c][i] : null);
  }
  return out;
}

// Draws the alarms of the range as vertical lines: red raised, green cleared,
// grey closed (left raised by a run that ended, closed as the next started).
function alarmMarkers(u) {
  const ctx = u.ctx;
  ctx.save();
  ctx.lineWidth = 1;
  for (const a of hist.alarms) {
    const x = Math.round(u.valToPos(a.at_ms / 1000, 'x', true));
    if (x < u.bbox.left || x > u.bbox.left + u.bbox.width) continue;
    ctx.strokeStyle = a.state === 'raised' ? '#c62828' : a.state === 'closed' ? '#757575' : '#2e7d32';
    ctx.beginPath();
    ctx.moveTo(x, u.bbox.top);
    ctx.lineTo(x, u.bbox.top + u.bbox.height);
    ctx.stroke();
  }
  ctx.restore();
}

function plot(containerId, data, series) {
  const container = $(containerId);
  const opts = {
    width: bench.chartWidth(container),
    height: 200,
    series: [{}].concat(series.map(([label, color]) => ({ label, stroke: color, width: 1.5, spanGaps: false }))),
    hooks: { draw: [alarmMarkers] },
  };
  hist.plots.push(new uPlot(opts, data, container));
}

function draw(s) {
  for (const p of hist.plots) p.destroy();
  hist.plots = [];
  const g = withGaps(s);
  plot('chart-voltage', [g.t, g.string_voltage], [['string voltage (V)', '#1565c0']]);
  plot('chart-current', [g.t, g.current], [['current (A)', '#6a1b9a']]);
  plot('chart-temperature', [g.t, g.temperature], [['temperature (°C)', '#e65100']]);
  const cells = [['lowest cell (V)', '#c62828'], ['mean cell (V)', '#455a64'], ['highest cell (V)', '#2e7d32']];
  const data = [g.t, g.cell_min, g.cell_mean, g.cell_max];
  if (s.cell !== null) {
    cells.push([`cell ${s.cell} (V)`, '#1565c0']);
    data.push(g.cell_values);
  }
  $('cell-title').textContent = s.cell !== null ? `, cell ${s.cell}` : '';
  plot('chart-cells', data, cells);
}

function drawAlarms(body) {
  const tbody = document.querySelector('#alarms tbody');
  tbody.replaceChildren();
  for (const a of body.alarms) {
    const tr = bench.el('tr', a.state);
    for (const text of [bench.time(a.at_ms), a.device, `${a.state} (${a.bound})`, a.label,
                        bench.num(a.value, 3), bench.num(a.limit, 3)]) {
      tr.append(bench.el('td', null, text));
    }
    tbody.append(tr);
  }
  $('alarms-note').textContent = body.alarms.length === 0 ? 'no alarm raised or cleared in this range'
    : body.truncated ? `the first ${body.alarms.length} alarms of the range` : '';
}

async function show() {
  let p;
  try { p = params(); } catch (e) { status(e.message, true); return; }
  const cell = $('cell').value;
  const series = new URLSearchParams(p);
  series.set('points', POINTS);
  if (cell) series.set('cell', cell);
  $('csv').href = `/api/history.csv?${series}`;
  status('loading…');
  try {
    const [s, alarms] = await Promise.all([bench.json(`/api/history?${series}`), bench.json(`/api/alarms?${p}`)]);
    hist.alarms = alarms.alarms;
    hist.series = s;
    draw(s);
    drawAlarms(alarms);
    const rounds = s.rounds.reduce((a, b) => a + b, 0);
    status(s.t.length === 0 ? `device ${s.device}: no rounds stored in this range`
      : `device ${s.device}: ${rounds} rounds from ${bench.time(s.from_ms)} to ${bench.time(s.to_ms)}, ` +
        `${s.t.length} points of ${bench.age(s.bucket_ms)} each`);
  } catch (e) {
    status(`cannot show the history: ${e.message}`, true);
  }
}

async function start() {
  for (let i = 1; i <= 29; i++) $('cell').append(new Option(`cell ${i}`, i));
  try {
    const info = await bench.json('/api/info');
    $('live-link').hidden = !info.live;
    hist.devices = (await bench.json('/api/devices')).devices;
  } catch (e) {
    status(`cannot read the history: ${e.message}`, true);
    return;
  }
  if (hist.devices.length === 0) { status('the history holds no rounds yet', true); return; }
  for (const d of hist.devices) $('device').append(new Option(`device ${d.device}`, d.device));
  const last = hist.devices[0].last_ms;
  $('from').value = toLocalInput(last - 3600000);
  $('to').value = toLocalInput(last);
  const custom = () => document.body.classList.toggle('custom-range', $('range').value === 'custom');
  $('range').addEventListener('change', () => { custom(); show(); });
  for (const id of ['device', 'cell']) $(id).addEventListener('change', show);
  $('query').addEventListener('submit', (e) => { e.preventDefault(); show(); });
  custom();
  show();
}

start();
