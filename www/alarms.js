// The alarms page: the active alarms, live from /api/events, and the alarm
// history of a range and level from /api/alarms.
'use strict';
(function () {
  const M = window.M520S;
  const $ = (id) => document.getElementById(id);
  const active = new Map();  // by device|key|detail

  function activeRow(a) {
    const [first, second] = M.alarmTexts(a);
    return M.el('tr', { class: 'level-' + a.level, 'data-key': M.alarmKey(a) },
      M.el('td', {}, M.el('span', { class: 'badge' }, 'L' + a.level)),
      M.el('td', {}, a.since || ''), M.el('td', {}, first), M.el('td', {}, second));
  }

  function drawActive() {
    const rows = [...active.values()].sort((a, b) => (a.level - b.level) || String(a.since).localeCompare(b.since));
    $('active').tBodies[0].replaceChildren(...rows.map(activeRow));
    $('active-count').textContent = String(active.size);
    $('active-none').hidden = active.size > 0;
  }

  async function loadActive() {
    try {
      const s = await M.fetchJson('/api/state');
      active.clear();
      for (const a of s.alarms) active.set(M.alarmKey(a), a);
      $('active-error').hidden = true;
      drawActive();
    } catch (e) {
      $('active-error').textContent = 'Active alarms not available: ' + e.message;
      $('active-error').hidden = false;
    }
  }

  function eventRow(r) {
    const a = r.alarm || r;  // an event row carries the "alarm" line's fields
    const [first, second] = M.alarmTexts(a);
    return M.el('tr', { class: 'level-' + a.level },
      M.el('td', {}, r.time || a.since || ''), M.el('td', {}, r.action || ''),
      M.el('td', {}, M.el('span', { class: 'badge' }, 'L' + a.level)), M.el('td', {}, first), M.el('td', {}, second));
  }

  function query(format) {
    const p = new URLSearchParams({ format: format });
    if ($('span').value === 'custom') {
      if ($('from').value) p.set('from', M.isoTime(Date.parse($('from').value)));
      if ($('to').value) p.set('to', M.isoTime(Date.parse($('to').value)));
    } else {
      p.set('from', $('span').value);
      p.set('to', 'now');
    }
    if ($('level').value) p.set('level', $('level').value);
    return '/api/alarms?' + p.toString();
  }

  async function loadEvents() {
    $('csv').href = query('csv');
    $('events-note').textContent = 'loading…';
    try {
      const rows = await M.fetchJson(query('json'));
      const list = Array.isArray(rows) ? rows : (rows.rows || rows.alarms || []);
      $('events').tBodies[0].replaceChildren(...list.map(eventRow));
      $('events-note').textContent = list.length ? list.length + ' events' : 'No alarm event in this range.';
      $('events-note').className = 'note';
    } catch (e) {
      $('events').tBodies[0].replaceChildren();
      $('events-note').textContent = 'Alarm history not available: ' + e.message;
      $('events-note').className = 'error';
    }
  }

  function onAlarm(a) {
    const key = M.alarmKey(a);
    if (a.action === 'clear') active.delete(key); else active.set(key, Object.assign({ since: a.time }, a));
    drawActive();
    // A range up to now gets the event at its top at once.
    const level = $('level').value;
    if ($('span').value !== 'custom' && (!level || Number(level) === a.level)) {
      $('events').tBodies[0].prepend(eventRow({ time: a.time, action: a.action, alarm: a }));
    }
  }

  $('span').addEventListener('change', () => {
    const custom = $('span').value === 'custom';
    $('from').hidden = !custom;
    $('to').hidden = !custom;
  });
  $('range').addEventListener('submit', (ev) => { ev.preventDefault(); loadEvents(); });

  M.live({ alarm: onAlarm }, () => { loadActive(); });
  loadActive();
  loadEvents();
}());
