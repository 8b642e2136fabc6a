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

  // Local date and time of a Unix time in ms, to the second.
  time(ms) {
    const d = new Date(ms);
    return `${d.getFullYear()}-${bench.pad(d.getMonth() + 1)}-${bench.pad(d.getDate())} ` +
           `${bench.pad(d.getHours())}:${bench.pad(d.getMinutes())}:${bench.pad(d.getSeconds())}`;
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

  chartWidth(container) { return Math.max(320, container.clientWidth || 600); },
};
