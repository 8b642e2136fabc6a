// The history page: a device's stored rounds over a chosen range, as the
// server downsamples them (/api/history), with the alarms of the range as
// markers on every chart (/api/alarms) and a CSV of what is shown.
'use strict';

const POINTS = 2000;
const hist = { devices: [], plots: [], alarms: [], series: null, range: null, limits: {}, utc: false };

function $(id) { return document.getElementById(id); }

// The from/to fields: local time, or UTC with the switch.
function toLocalInput(ms) {
  const d = new Date(hist.utc ? ms : ms - new Date(ms).getTimezoneOffset() * 60000);
  return d.toISOString().slice(0, 19);
}

function fromInput(text) { return Date.parse(hist.utc ? `${text}Z` : text); }

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
    const from = fromInput($('from').value), to = fromInput($('to').value);
    if (Number.isNaN(from) || Number.isNaN(to)) throw new Error('give both the start and the end of the range');
    p.set('from', from);
    p.set('to', to);
  } else if (range !== 'all') {
    const span = hist.devices.find((d) => String(d.device) === $('device').value);
    const to = Math.max(Date.now(), span ? span.last_ms : 0);
    p.set('from', to - Number(range));
    p.set('to', to);
  }
  // The charts span the range chosen, not only the rounds in it.
  hist.range = p.has('from') ? [Number(p.get('from')), Number(p.get('to'))] : null;
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

// Tick labels of the time axis: ISO, 24 h, as fine as the span needs.
function timeTicks(u, splits) {
  const span = (u.scales.x.max - u.scales.x.min) * 1000;
  return splits.map((s) => {
    const t = bench.time(s * 1000, hist.utc);
    if (span <= 2 * 86400000) return span <= 600000 ? t.slice(11) : t.slice(5, 16);
    return t.slice(0, 10);
  });
}

// A value axis as wide as its longest label, so none is cut; and at least
// half a time label wide, so the first time label, centred on the left
// edge of the plot, is not cut either.
function axisSize(u, values, axisIdx, cycleNum) {
  const axis = u.axes[axisIdx];
  if (cycleNum > 1) return axis._size;
  let size = axis.ticks.size + axis.gap;
  const longest = (values || []).reduce((a, v) => (String(v).length > a.length ? String(v) : a), '');
  u.ctx.font = axis.font[0];
  if (longest) size += u.ctx.measureText(longest).width / devicePixelRatio;
  const half = u.ctx.measureText('2026-12-31').width / devicePixelRatio / 2;
  return Math.ceil(Math.max(size, half)) + 4;
}

// series: [label, color, dash] each; a dashed one is a limit.
function plot(containerId, data, series) {
  const container = $(containerId);
  const range = hist.range;
  const opts = {
    width: bench.chartWidth(container),
    height: 200,
    scales: { x: { time: true, range: range ? () => [range[0] / 1000, range[1] / 1000] : undefined } },
    axes: [
      { values: timeTicks, space: 90, label: `time (${bench.zone(hist.utc)})` },
      { size: axisSize },
    ],
    series: [{ value: (u, v) => (v === null ? '–' : bench.time(v * 1000, hist.utc)) }].concat(
      series.map(([label, color, dash]) => ({ label, stroke: color, width: dash ? 1 : 1.5, dash, spanGaps: !!dash }))),
    hooks: { draw: [alarmMarkers] },
  };
  if (hist.utc) opts.tzDate = (ts) => uPlot.tzDate(new Date(ts * 1000), 'Etc/UTC');
  hist.plots.push(new uPlot(opts, data, container));
}

// The limits a value is checked against, as flat lines over the range
// shown.  From the run when this server has one (/api/live), else from the
// alarms of the range, which carry the limit they crossed.
function limitLines(t, name) {
  const out = [];
  for (const bound of ['low', 'high']) {
    const v = hist.limits[`${name}:${bound}`];
    if (v !== undefined && v !== null) out.push([`${bound} limit`, '#b26a00', [6, 4], t.map(() => v)]);
  }
  return out;
}

function chartWithLimits(id, g, columns, limitName) {
  const series = columns.map(([label, color, data]) => [label, color, null, data]);
  const all = series.concat(limitLines(g.t, limitName));
  plot(id, [g.t].concat(all.map((s) => s[3])), all.map(([label, color, dash]) => [label, color, dash]));
}

function draw(s) {
  for (const p of hist.plots) p.destroy();
  hist.plots = [];
  const g = withGaps(s);
  chartWithLimits('chart-voltage', g, [['string voltage (V)', '#1565c0', g.string_voltage]], 'group_voltage');
  chartWithLimits('chart-current', g, [['current (A)', '#6a1b9a', g.current]], 'group_current');
  chartWithLimits('chart-temperature', g, [['temperature (°C)', '#e65100', g.temperature]], 'temperature');
  const cells = [['lowest cell (V)', '#c62828', g.cell_min], ['mean cell (V)', '#455a64', g.cell_mean],
                 ['highest cell (V)', '#2e7d32', g.cell_max]];
  if (s.cell !== null) cells.push([`cell ${s.cell} (V)`, '#1565c0', g.cell_values]);
  $('cell-title').textContent = s.cell !== null ? `, cell ${s.cell}` : '';
  chartWithLimits('chart-cells', g, cells, s.cell !== null ? `battery_${s.cell - 1}_value` : 'cell');
}

// Limits of the device shown: the run's own, or those its alarms crossed.
async function loadLimits(device, alarms) {
  hist.limits = {};
  for (const a of alarms) {
    const name = /^battery_\d+_value$/.test(a.name) ? 'cell' : a.name;
    hist.limits[`${name}:${a.bound}`] = a.limit;
    hist.limits[`${a.name}:${a.bound}`] = a.limit;
  }
  if (!hist.live) return;
  try {
    const snap = await bench.json('/api/live');
    const d = snap.devices.find((x) => String(x.id) === String(device));
    if (!d) return;
    for (const [name, v] of [['group_voltage', d.string_voltage], ['group_current', d.current],
                             ['temperature', d.temperature]]) {
      hist.limits[`${name}:low`] = v.low;
      hist.limits[`${name}:high`] = v.high;
    }
    d.cells.forEach((c, i) => {
      hist.limits[`battery_${i}_value:low`] = c.low;
      hist.limits[`battery_${i}_value:high`] = c.high;
    });
    // The lowest and highest cells share the limits when every cell has the same.
    for (const bound of ['low', 'high']) {
      const vs = new Set(d.cells.map((c) => c[bound]));
      hist.limits[`cell:${bound}`] = vs.size === 1 ? d.cells[0][bound] : undefined;
    }
  } catch (e) {
    // No run to ask: the alarms' limits stand.
  }
}

function drawAlarms(body) {
  const tbody = document.querySelector('#alarms tbody');
  tbody.replaceChildren();
  for (const a of body.alarms) {
    const tr = bench.el('tr', a.state);
    for (const text of [bench.time(a.at_ms, hist.utc), a.device, `${a.state} (${a.bound})`, a.label,
                        bench.num(a.value, 2), bench.num(a.limit, 2)]) {
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
    await loadLimits(s.device, alarms.alarms);
    draw(s);
    drawAlarms(alarms);
    const rounds = s.rounds.reduce((a, b) => a + b, 0);
    status(s.t.length === 0 ? `device ${s.device}: no rounds stored in this range`
      : `device ${s.device}: ${rounds} rounds from ${bench.time(s.from_ms, hist.utc)} to ` +
        `${bench.time(s.to_ms, hist.utc)} ${bench.zone(hist.utc, s.to_ms)}, ` +
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
    hist.live = info.live;
    hist.devices = (await bench.json('/api/devices')).devices;
  } catch (e) {
    status(`cannot read the history: ${e.message}`, true);
    return;
  }
  if (hist.devices.length === 0) { status('the history holds no rounds yet', true); return; }
  for (const d of hist.devices) $('device').append(new Option(`device ${d.device}`, d.device));
  const last = hist.devices[0].last_ms;
  // A history shorter than the range offered first (a commissioning run of
  // minutes would be a sliver of the last day) opens on all of it.
  const stored = Math.max(...hist.devices.map((d) => d.last_ms)) - Math.min(...hist.devices.map((d) => d.first_ms));
  if (stored < Number($('range').value)) $('range').value = 'all';
  $('from').value = toLocalInput(last - 3600000);
  $('to').value = toLocalInput(last);
  const custom = () => document.body.classList.toggle('custom-range', $('range').value === 'custom');
  $('range').addEventListener('change', () => { custom(); show(); });
  for (const id of ['device', 'cell']) $(id).addEventListener('change', show);
  const zone = () => {
    hist.utc = $('utc').checked;
    for (const z of document.querySelectorAll('.zone')) z.textContent = `(${bench.zone(hist.utc)})`;
  };
  $('utc').addEventListener('change', () => {
    // The same moments, written in the other zone.
    const from = fromInput($('from').value), to = fromInput($('to').value);
    zone();
    if (!Number.isNaN(from)) $('from').value = toLocalInput(from);
    if (!Number.isNaN(to)) $('to').value = toLocalInput(to);
    show();
  });
  zone();
  $('query').addEventListener('submit', (e) => { e.preventDefault(); show(); });
  custom();
  show();
}

start();
