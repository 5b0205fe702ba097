// The history page: searchable fields from /api/fields, a range, the plot
// of /api/history and a CSV link for exactly what is shown.
'use strict';
(function () {
  const M = window.M520S;
  const $ = (id) => document.getElementById(id);
  const spans = { '1h': 3600e3, '24h': 86400e3, '7d': 7 * 86400e3, '30d': 30 * 86400e3, '365d': 365 * 86400e3 };
  const plotted = new Set();
  const labels = {};
  let fields = [];
  let range = null;  // {from, to} in ms
  let zoomedFrom = null;
  let chart = null;

  function drawList() {
    const words = $('search').value.toLowerCase().split(/\s+/).filter(Boolean);
    const hits = fields.filter((f) => {
      const text = (f.field + ' ' + f.label).toLowerCase();
      return plotted.has(f.field) || words.every((w) => text.includes(w));
    });
    const rows = hits.slice(0, 200).map((f) => {
      const box = M.el('input', { type: 'checkbox', value: f.field });
      box.checked = plotted.has(f.field);
      box.addEventListener('change', () => { if (box.checked) plotted.add(f.field); else plotted.delete(f.field); plot(); });
      return M.el('label', { title: f.field }, box, ' ' + f.label + (f.unit ? ' (' + f.unit + ')' : ''),
        M.el('small', { class: 'note' }, '  ' + f.field));
    });
    $('field-list').replaceChildren(...rows);
    $('fields-note').textContent = hits.length > 200 ? 'first 200 of ' + hits.length + ' matching fields' : hits.length + ' fields';
  }

  function query(format) {
    const p = new URLSearchParams();
    for (const f of plotted) p.append('field', f);
    p.set('from', M.isoTime(range.from));
    p.set('to', M.isoTime(range.to));
    p.set('step', 'auto');
    p.set('format', format);
    return '/api/history?' + p.toString();
  }

  async function plot() {
    $('csv').hidden = plotted.size === 0;
    if (plotted.size === 0) { $('plot-note').textContent = 'Choose one or more fields.'; return; }
    $('csv').href = query('csv');
    $('plot-note').textContent = 'loading…';
    try {
      const table = await M.fetchJson(query('json'));
      chart.show(table, labels, range.from, range.to);
      $('plot-note').textContent = table.rows.length + ' points, ' +
        (table.step === 'raw' ? 'every cycle' : 'per ' + table.step + ' (line: mean, band: min to max)') +
        ', ' + M.timeText(range.from) + ' to ' + M.timeText(range.to);
      $('plot-note').className = 'note';
    } catch (e) {
      $('plot-note').textContent = 'History not available: ' + e.message;
      $('plot-note').className = 'error';
    }
  }

  function setSpan(name) {
    for (const b of $('ranges').querySelectorAll('button[data-span]')) b.classList.toggle('on', b.dataset.span === name);
    // Up to the end of this second: the API takes whole seconds, and a cycle
    // stored a moment ago is part of "the last hour".
    const now = Math.ceil(Date.now() / 1000) * 1000;
    range = { from: now - spans[name], to: now };
    zoomedFrom = null;
    $('reset').hidden = true;
    plot();
  }

  function zoom(from, to) {
    if (zoomedFrom === null) zoomedFrom = range;
    range = { from: from, to: to };
    $('reset').hidden = false;
    plot();
  }

  async function start() {
    try {
      chart = new M.HistoryChart($('chart'), $('zoom-box'), zoom);
    } catch (e) {
      $('plot-note').textContent = e.message;
      $('plot-note').className = 'error';
      return;
    }
    for (const b of $('ranges').querySelectorAll('button[data-span]')) b.addEventListener('click', () => setSpan(b.dataset.span));
    $('apply').addEventListener('click', () => {
      const from = Date.parse($('from').value);
      const to = $('to').value ? Date.parse($('to').value) : Date.now();
      if (!isNaN(from) && to > from) { range = { from: from, to: to }; plot(); }
    });
    $('reset').addEventListener('click', () => { range = zoomedFrom; zoomedFrom = null; $('reset').hidden = true; plot(); });
    $('search').addEventListener('input', drawList);
    const all = await M.fetchJson('/api/fields');
    fields = all.filter((f) => f.kind !== 'id');
    for (const f of fields) labels[f.field] = f.label + (f.unit ? ' (' + f.unit + ')' : '');
    const wanted = new URLSearchParams(location.search).getAll('field');
    for (const f of wanted) if (labels[f]) plotted.add(f);
    drawList();
    setSpan('1h');
  }

  start();
}());
