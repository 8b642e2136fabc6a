// Helpers shared by the live and history pages.  Every text that comes from
// the server (labels such as 第6节电池, names, ports) goes into the page as
// textContent, never as markup.
'use strict';

const bench = {
  el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  },

  pad(n, width) { return String(n).padStart(width || 2, '0'); },

  // ISO date and 24-hour time of a Unix time in ms, to the second: local
  // time, or UTC when utc is true.
  time(ms, utc) {
    const d = new Date(ms);
    const f = utc ? [d.getUTCFullYear(), d.getUTCMonth() + 1, d.getUTCDate(), d.getUTCHours(), d.getUTCMinutes(),
                     d.getUTCSeconds()]
                  : [d.getFullYear(), d.getMonth() + 1, d.getDate(), d.getHours(), d.getMinutes(), d.getSeconds()];
    return `${f[0]}-${bench.pad(f[1])}-${bench.pad(f[2])} ${bench.pad(f[3])}:${bench.pad(f[4])}:${bench.pad(f[5])}`;
  },

  // The zone bench.time shows: "UTC", or the local offset ("UTC+01:00").
  zone(utc, ms) {
    if (utc) return 'UTC';
    const off = -new Date(ms === undefined ? Date.now() : ms).getTimezoneOffset();
    const a = Math.abs(off);
    return `UTC${off < 0 ? '-' : '+'}${bench.pad(Math.floor(a / 60))}:${bench.pad(a % 60)}`;
  },

  // A duration in ms as the page shows ages: 0.8 s, 42 s, 3 min 5 s, 2 h 4 min, 3 d 2 h.
  age(ms) {
    if (ms < 0) ms = 0;
    const s = ms / 1000;
    if (s < 10) return `${s.toFixed(1)} s`;
    if (s < 60) return `${Math.floor(s)} s`;
    const m = Math.floor(s / 60);
    if (m < 60) return `${m} min ${Math.floor(s % 60)} s`;
    const h = Math.floor(m / 60);
    if (h < 24) return `${h} h ${m % 60} min`;
    return `${Math.floor(h / 24)} d ${h % 24} h`;
  },

  num(v, digits) { return v === null || v === undefined ? '–' : Number(v).toFixed(digits); },

  // GET a JSON endpoint; a refusal throws with the server's reason.
  async json(url) {
    const res = await fetch(url, { cache: 'no-store' });
    let body = null;
    try { body = await res.json(); } catch (e) { body = null; }
    if (!res.ok) throw new Error((body && body.error) || `${url}: HTTP ${res.status}`);
    return body;
  },

  chartWidth(container) { return Math.max(200, container.clientWidth || 600); },
};
