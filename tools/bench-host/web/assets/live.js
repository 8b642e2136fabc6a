// The live page: one card per device, redrawn from each snapshot the
// server pushes (server-sent events on /api/events).  Ages are counted on
// in the page between snapshots, from the server's clock, so values that
// stop coming visibly grow old; a lost connection greys every card.
'use strict';

const live = {
  cards: new Map(),      // device id -> card
  snapshot: null,
  receivedAt: 0,         // Date.now() when the snapshot arrived
  lostSince: null,
  polling: null,         // the interval polling /api/live while the stream is refused
  refusal: '',
};

// The server's time now, as far as the page can tell.
function serverNow() {
  return live.snapshot ? live.snapshot.now_ms + (Date.now() - live.receivedAt) : Date.now();
}

function setLink(state, text) {
  const link = document.getElementById('link');
  link.dataset.state = state;
  link.textContent = text;
  document.body.classList.toggle('disconnected', state !== 'live' && state !== 'polling');
  // A background tab tells too: what it last showed is no longer current.
  if (state === 'lost') document.title = '(connection lost) bench-host: live';
}

function valueText(v, unit, digits) {
  const limits = [];
  if (v.low !== null) limits.push(`low ${bench.num(v.low, digits)}`);
  if (v.high !== null) limits.push(`high ${bench.num(v.high, digits)}`);
  // null: no round read yet, or the monitor marked the reading invalid.
  const value = v.value === null ? 'no value' : `${bench.num(v.value, digits)} ${unit}`;
  return value + (limits.length ? ` (${limits.join(', ')})` : '');
}

function makeCard(device) {
  const root = bench.el('section', 'device');
  root.dataset.device = device.id;
  const head = bench.el('h2');
  const title = bench.el('span', 'title');
  const where = bench.el('span', 'where');
  head.append(title, ' ', where);
  const health = bench.el('p', 'health');
  const age = bench.el('p', 'age');
  const values = bench.el('dl', 'values');
  const fields = {};
  for (const [key, name] of [['string_voltage', 'string voltage'], ['current', 'current'],
                             ['temperature', 'temperature'], ['charge', 'charge state']]) {
    const dd = bench.el('dd');
    dd.dataset.value = key;
    values.append(bench.el('dt', null, name), dd);
    fields[key] = dd;
  }
  const chart = bench.el('div', 'chart');
  const cells = bench.el('ol', 'cells');
  const counters = bench.el('p', 'counters');
  const failures = bench.el('p', 'failures');
  root.append(head, health, age, values, chart, cells, counters, failures);
  document.getElementById('devices').append(root);
  return { root, title, where, health, age, fields, chart, cells, counters, failures, plot: null, cellCount: -1 };
}

function chartData(device) {
  const n = device.cells.length;
  const x = [], all = [], alarm = [], low = [], high = [];
  for (let i = 0; i < n; i++) {
    const c = device.cells[i];
    x.push(i + 1);
    all.push(c.alarm ? null : c.value);
    alarm.push(c.alarm ? c.value : null);
    low.push(c.low);
    high.push(c.high);
  }
  return [x, all, alarm, low, high];
}

function yRange(device) {
  const vs = [];
  for (const c of device.cells) {
    if (c.value !== null) vs.push(c.value);
    if (c.low !== null) vs.push(c.low);
    if (c.high !== null) vs.push(c.high);
  }
  if (!vs.length) return [0, 1];
  const lo = Math.min(...vs), hi = Math.max(...vs);
  const pad = Math.max(0.2, (hi - lo) * 0.1);
  return [lo - pad, hi + pad];
}

function drawChart(card, device) {
  const n = device.cells.length;
  if (n === 0) {
    if (card.plot) { card.plot.destroy(); card.plot = null; }
    card.cellCount = 0;
    return;
  }
  const data = chartData(device);
  if (card.plot && card.cellCount === n) {
    card.range = yRange(device);
    card.plot.setData(data);
    return;
  }
  if (card.plot) card.plot.destroy();
  card.range = yRange(device);
  const bars = uPlot.paths.bars({ size: [0.7, 40] });
  const base = (u) => u.scales.y.min;
  card.plot = new uPlot({
    width: bench.chartWidth(card.chart),
    height: 220,
    legend: { show: false },
    cursor: { show: false },
    scales: { x: { time: false, range: [0.5, n + 0.5] }, y: { range: () => card.range } },
    axes: [{ label: 'cell', incrs: [1, 2, 5, 10] }, { label: 'V' }],
    series: [
      {},
      { label: 'cell', paths: bars, fillTo: base, fill: '#4a8f5a', stroke: '#4a8f5a', points: { show: false } },
      { label: 'in alarm', paths: bars, fillTo: base, fill: '#c62828', stroke: '#c62828', points: { show: false } },
      { label: 'low limit', stroke: '#b26a00', dash: [6, 4], width: 2, points: { show: false } },
      { label: 'high limit', stroke: '#b26a00', dash: [6, 4], width: 2, points: { show: false } },
    ],
  }, data, card.chart);
  card.cellCount = n;
}

function drawCells(card, device) {
  const list = card.cells;
  while (list.children.length > device.cells.length) list.lastChild.remove();
  device.cells.forEach((c, i) => {
    let li = list.children[i];
    if (!li) {
      li = bench.el('li', 'cell');
      li.dataset.cell = i + 1;
      li.append(bench.el('span', 'n', i + 1), bench.el('span', 'v'));
      list.append(li);
    }
    li.classList.toggle('alarm', c.alarm);
    li.title = c.label + (c.alarm ? ': in alarm' : '');
    li.querySelector('.v').textContent = c.value === null ? 'no value' : `${bench.num(c.value, 2)} V`;
    drawCellBaseline(li, c, device.baseline_date);
  });
}

// A figure with its sign and unit; '–' while the run has none.
function signed(v, digits, unit) { return v === null ? '–' : `${v > 0 ? '+' : ''}${bench.num(v, digits)} ${unit}`; }

// A block against the device's baseline: its float drift and resistance
// rise, flagged as the report flags them.
function drawCellBaseline(li, c, date) {
  let b = li.querySelector('.b');
  if (date === null || date === undefined) { if (b) b.remove(); return; }
  if (!b) { b = bench.el('span', 'b'); li.append(b); }
  const drift = signed(c.float_drift_mv, 1, 'mV');
  const rise = signed(c.resistance_rise_pct, 0, '%');
  b.textContent = `${drift} ${rise}`;
  const flags = [c.float_drift_flag && `float ${c.float_drift_flag}`, c.resistance_flag].filter((f) => f);
  b.classList.toggle('flag', flags.length > 0);
  li.title += `; on its baseline of ${date}: float drift ${drift}, resistance ${rise}` +
    (flags.length ? ` (${flags.join(', ')})` : '');
}

// Which baseline the blocks are held against, and the blocks flagged on it.
function drawBaseline(card, d) {
  if (!card.baseline) { card.baseline = bench.el('p', 'baseline'); card.cells.after(card.baseline); }
  const flagged = [];
  d.cells.forEach((c, i) => {
    if (c.float_drift_flag) flagged.push(`block ${i + 1} float ${signed(c.float_drift_mv, 1, 'mV')} (${c.float_drift_flag})`);
    if (c.resistance_flag) flagged.push(`block ${i + 1} resistance ${signed(c.resistance_rise_pct, 0, '%')} (${c.resistance_flag})`);
  });
  card.baseline.textContent = d.baseline_date === null
    ? 'no baseline: float drift and resistance rise are not shown (bench-host baseline --set keeps one)'
    : `against the baseline of ${d.baseline_date} (per block: float drift, resistance rise): ` +
      (flagged.length ? flagged.join('; ') : 'none flagged');
  card.baseline.classList.toggle('fault', flagged.length > 0);
}

function drawDevice(card, d) {
  card.title.textContent = d.name ? `${d.name} (device ${d.id})` : `device ${d.id}`;
  card.where.textContent = `${d.type} at address ${d.addr} on ${d.port}`;
  card.root.dataset.health = d.health;
  for (const [key, unit, digits] of [['string_voltage', 'V', 2], ['current', 'A', 2], ['temperature', '°C', 1]]) {
    const v = d[key];
    const dd = card.fields[key];
    dd.textContent = d.values_at_ms === null ? '–' : valueText(v, unit, digits);
    dd.classList.toggle('alarm', d.values_at_ms !== null && v.alarm);
  }
  // The charge state, and while discharging the time left with the method
  // that gave it and the capacity and KT it stands on.
  const basis = d.time_remaining_basis;
  const from = basis === null ? '' : basis.capacity_from === 'rating' ? 'the rating'
    : basis.capacity_from === 'test' ? 'a test' : 'the baseline';
  const left = d.time_remaining_s === null ? ''
    : `, about ${Math.round(d.time_remaining_s / 60)} min left (${d.time_remaining_method}` +
      (basis === null ? ')' : `; capacity ${basis.capacity_pct} % from ${from}, KT ${basis.kt.toFixed(2)})`);
  card.fields.charge.textContent = d.charge_state === null ? '–' : d.charge_state + left;
  drawCapacity(card, d);
  // No round yet: nothing to draw, not 29 cells at 0 V.
  const shown = d.values_at_ms === null ? Object.assign({}, d, { cells: [] }) : d;
  drawChart(card, shown);
  drawCells(card, shown);
  if (d.values_at_ms !== null) drawBaseline(card, d);
  card.counters.textContent = `${d.cycles} cycles, ${d.rounds} rounds completed, ` +
    `${d.records_stored} records stored, ${d.records_not_stored} not stored`;
  card.counters.classList.toggle('fault', d.records_not_stored > 0);
  const failures = Object.entries(d.failures).filter(([, n]) => n > 0).map(([r, n]) => `${r} ${n}`);
  const shared = d.failures['two answers'] > 0 ? `; two monitors may share address ${d.addr}` : '';
  card.failures.textContent = failures.length ? `failed exchanges: ${failures.join(', ')}${shared}` : 'no failed exchanges';
  card.failures.classList.toggle('fault', failures.length > 0);
}

// The string's capacity and where it comes from: this run's test once over
// (when it ended; at least so much when it stopped early), set against the
// baseline's capacity when there is one, or the baseline's alone.  The row
// appears with the first capacity there is.
function drawCapacity(card, d) {
  if (d.capacity === null && !card.fields.capacity) return;
  if (!card.fields.capacity) {
    const dd = bench.el('dd');
    dd.dataset.value = 'capacity';
    card.root.querySelector('.values').append(bench.el('dt', null, 'capacity'), dd);
    card.fields.capacity = dd;
  }
  const c = d.capacity;
  let text = '–';
  if (c !== null) {
    text = `${c.lower_bound ? 'at least ' : ''}${bench.num(c.pct, 1)} % ` + (c.source === 'test'
      ? `(this run's test, ${c.lower_bound ? 'stopped before its end voltage' : 'ended'} at ${bench.time(c.at_ms)})`
      : `(the baseline's of ${c.at.slice(0, 10)})`);
    if (c.decision) text += `: ${c.decision}`;
    if (c.baseline_pct !== null) {
      text += `; over successive tests: ${bench.num(c.baseline_pct, 1)} % on the baseline of ${c.baseline_date}, ` +
        `${bench.num(c.pct, 1)} % now`;
    }
  }
  card.fields.capacity.textContent = text;
  card.fields.capacity.classList.toggle('alarm', c !== null && c.decision === 'replace');
}

// Health and ages change with time alone; redrawn every second.
function drawAges() {
  if (!live.snapshot) return;
  const now = serverNow();
  for (const d of live.snapshot.devices) {
    const card = live.cards.get(d.id);
    if (!card) continue;
    let health = `${d.health} since ${bench.time(d.health_since_ms)} (${bench.age(now - d.health_since_ms)})`;
    if (d.health !== 'answering' && d.last_reason) health += `, last failure: ${d.last_reason}`;
    card.health.textContent = health;
    card.age.textContent = d.values_at_ms === null ? 'no values yet: no round completed'
      : `values of the round at ${bench.time(d.values_at_ms)}, ${bench.age(now - d.values_at_ms)} old`;
  }
  if (live.lostSince !== null) {
    setLink('lost', `connection to bench-host lost since ${bench.time(live.lostSince)}: ` +
                    'the values shown are as they were then; reconnecting…');
  }
}

function drawAlarms(alarms) {
  const body = document.querySelector('#alarms tbody');
  body.replaceChildren();
  for (const a of alarms.slice().reverse()) {
    const tr = bench.el('tr', a.state);
    for (const text of [bench.time(a.at_ms), a.device, `${a.state} (${a.bound})`, a.label,
                        bench.num(a.value, 2), bench.num(a.limit, 2)]) {
      tr.append(bench.el('td', null, text));
    }
    body.append(tr);
  }
  document.getElementById('no-alarms').hidden = alarms.length > 0;
}

// The strip at the top and the title: what needs a look, without scrolling.
function drawSummary(snapshot) {
  const strip = document.getElementById('summary');
  const devices = snapshot.devices;
  const answering = devices.filter((d) => d.health === 'answering');
  const troubled = devices.filter((d) => d.health !== 'answering');
  let alarms = 0;
  const weakest = [];
  for (const d of devices) {
    if (d.values_at_ms === null) continue;
    for (const v of [...d.cells, d.string_voltage, d.current, d.temperature]) if (v.alarm) alarms++;
    // A cell without a value (marked invalid) is not the weakest: null is no 0 V.
    let w = d.cells.findIndex((c) => c.value !== null);
    if (w >= 0) {
      d.cells.forEach((c, i) => { if (c.value !== null && c.value < d.cells[w].value) w = i; });
      weakest.push(`${d.name || 'device ' + d.id}: cell ${w + 1} ${bench.num(d.cells[w].value, 2)} V` +
                   (d.health === 'answering' ? '' : ' (old)'));
    }
  }
  strip.dataset.answering = answering.length;
  strip.dataset.troubled = troubled.length;
  strip.dataset.alarms = alarms;
  strip.classList.toggle('bad', troubled.length > 0 || alarms > 0);
  strip.querySelector('.answering').textContent =
    `${answering.length} of ${devices.length} devices answering` +
    (troubled.length ? `; ${troubled.map((d) => `device ${d.id} ${d.health}`).join(', ')}` : '');
  strip.querySelector('.alarms-standing').textContent =
    alarms === 0 ? 'no alarm standing' : `${alarms} alarm${alarms === 1 ? '' : 's'} standing`;
  strip.querySelector('.weakest').textContent =
    weakest.length ? `weakest cell: ${weakest.join('; ')}` : 'no cell values yet';
  // What the history did not keep: the file lost, then every kind of
  // write that failed.
  const kinds = Object.entries(snapshot.not_stored || {}).filter(([, n]) => n > 0).map(([k, n]) => `${n} ${k}`);
  const notStored = [];
  if (snapshot.history_lost) notStored.push(`NOT STORED: ${snapshot.history_lost}`);
  if (kinds.length) notStored.push(`not stored: ${kinds.join(', ')}`);
  const line = strip.querySelector('.not-stored');
  line.textContent = notStored.join('; ');
  line.hidden = notStored.length === 0;
  // Steps of the wall clock: the times shown around them are the wall
  // clock's, so a reader must know where one fell.
  const steps = snapshot.clock_steps || [];
  const stepLine = strip.querySelector('.clock-steps');
  stepLine.textContent = steps.length === 0 ? '' :
    `wall clock stepped ${snapshot.clock_steps_total} time${snapshot.clock_steps_total === 1 ? '' : 's'}: ` +
    steps.map((c) => `${c.step_s < 0 ? 'back' : 'forward'} ${bench.age(Math.abs(c.step_s) * 1000)} at ` +
      `${bench.time(c.at_ms)}`).join('; ') + ' (durations are kept on the monotonic clock)';
  stepLine.hidden = steps.length === 0;
  const parts = [];
  if (snapshot.history_lost) parts.push('NOT STORED');
  if (alarms) parts.push(`${alarms} alarm${alarms === 1 ? '' : 's'}`);
  if (troubled.length) parts.push(`${troubled.length} not answering`);
  document.title = (parts.length ? `(${parts.join(', ')}) ` : '') + 'bench-host: live';
}

function render(snapshot) {
  live.snapshot = snapshot;
  live.receivedAt = Date.now();
  const ids = new Set(snapshot.devices.map((d) => d.id));
  for (const [id, card] of live.cards) {
    if (!ids.has(id)) { if (card.plot) card.plot.destroy(); card.root.remove(); live.cards.delete(id); }
  }
  for (const d of snapshot.devices) {
    let card = live.cards.get(d.id);
    if (!card) { card = makeCard(d); live.cards.set(d.id, card); }
    drawDevice(card, d);
  }
  drawAlarms(snapshot.alarms);
  drawSummary(snapshot);
  drawAges();
}

// A refused stream (too many pages open) is asked once more, by fetch,
// for its reason; the page then polls /api/live and says so, and tries the
// stream again now and then.
const kPollMs = 2000;
const kStreamRetryMs = 30000;

async function poll() {
  try {
    render(await bench.json('/api/live'));
    live.lostSince = null;
    setLink('polling', `polling every ${kPollMs / 1000} s: ${live.refusal}`);
  } catch (e) {
    if (live.lostSince === null) live.lostSince = Date.now();
    drawAges();
  }
}

async function refused() {
  let reason = 'the live stream was refused';
  try {
    const controller = new AbortController();
    const res = await fetch('/api/events', { cache: 'no-store', signal: controller.signal });
    if (res.ok) {
      controller.abort();
      setTimeout(connect, 1000);
      return;
    }
    const body = await res.json().catch(() => null);
    if (body && body.error) reason = `live stream refused: ${body.error}`;
  } catch (e) {
    setTimeout(connect, 2000);  // the server is away: the usual reconnect
    return;
  }
  live.refusal = reason;
  if (!live.polling) live.polling = setInterval(poll, kPollMs);
  poll();
  setTimeout(connect, kStreamRetryMs);
}

function connect() {
  const source = new EventSource('/api/events');
  source.addEventListener('snapshot', (e) => {
    live.lostSince = null;
    if (live.polling) { clearInterval(live.polling); live.polling = null; }
    setLink('live', 'live: updated after every round');
    render(JSON.parse(e.data));
  });
  source.addEventListener('error', () => {
    // The browser retries a dropped stream by itself; a refused one
    // (too many pages open, server restarting) is closed for good.
    if (source.readyState === EventSource.CLOSED) {
      refused();
      return;
    }
    if (live.polling) return;
    if (live.lostSince === null) live.lostSince = Date.now();
    drawAges();
  });
}

window.addEventListener('resize', () => {
  for (const card of live.cards.values()) {
    if (card.plot) card.plot.setSize({ width: bench.chartWidth(card.chart), height: 220 });
  }
});
for (const z of document.querySelectorAll('.zone')) z.textContent = `(${bench.zone(false)})`;
setInterval(drawAges, 1000);
connect();
