// The site page, kept current from /api/events: values, stale marks, the
// link, the cycle and the active alarms. The server rendered the page; this
// only changes texts and classes of what is there.
'use strict';
(function () {
  const M = window.M520S;
  const stateTexts = JSON.parse(document.getElementById('state-texts').textContent);
  let lastCycle = null;

  function stateText(type, field, v) {
    const t = (stateTexts[type] || {})[field] || {};
    if (t[String(v)]) return t[String(v)];
    return v === 0 ? 'normal' : String(v);
  }

  function showValue(e, type, v) {
    if (v === undefined || v === null) { e.textContent = '-'; return true; }
    if (e.dataset.s) {
      e.textContent = stateText(type, e.dataset.s, v);
      e.classList.toggle('alert', v !== 0);
    } else if (e.dataset.p !== undefined) {
      e.textContent = Number(v).toFixed(Number(e.dataset.p));
    } else {
      e.textContent = String(v);
    }
    return true;
  }

  function showUnit(u) {
    const sec = document.getElementById('unit-' + u.device);
    if (!sec) return false;
    const have = u.values !== null;
    sec.classList.toggle('stale', !u.fresh);
    const badge = sec.querySelector('h2 .badge');
    badge.className = 'badge ' + (!have ? 'none' : u.fresh ? 'fresh' : 'stale');
    badge.textContent = !have ? 'no data' : u.fresh ? 'fresh' : 'stale';
    if (!have) return true;
    if (sec.dataset.empty) return false;  // drawn before the unit had data
    if (typeof u.values.time_stamp === 'string') {
      sec.querySelector('.stamp').textContent = u.values.time_stamp.slice(11, 19);
    }
    // Another number of channels or modules than the page was drawn with.
    const key = sec.dataset.type === 'm520s-rc' ? 'modules' : 'channels';
    const rows = sec.querySelectorAll('.grid .cell, .items tr').length;
    const items = Array.isArray(u.values[key]) ? u.values[key].length : null;
    if (items !== null && rows && rows !== items + (sec.querySelector('.items') ? 1 : 0)) return false;
    for (const e of sec.querySelectorAll('[data-v]')) showValue(e, u.device_type, M.resolve(u.values, e.dataset.v));
    for (const cell of sec.querySelectorAll('.grid .cell')) {
      cell.classList.toggle('alert', !!cell.querySelector('.alert'));
    }
    return true;
  }

  function showLink(state) {
    const e = document.getElementById('link');
    e.className = 'badge link-' + state;
    e.textContent = 'link ' + state;
  }

  function showCycle(n, ms) {
    lastCycle = Date.now();
    const e = document.getElementById('cycle');
    e.dataset.n = n;
    e.textContent = 'cycle ' + n + (ms !== null && ms !== undefined ? ', ' + ms + ' ms' : '');
    document.getElementById('progress').textContent = 'last cycle just now';
  }

  function alarmItem(a) {
    const [first, second] = M.alarmTexts(a);
    return M.el('li', { class: 'level-' + a.level, 'data-key': M.alarmKey(a) },
      M.el('span', { class: 'badge' }, 'L' + a.level), ' ' + first + ' ',
      M.el('small', {}, second + ' · since ' + (a.since || a.time || '')));
  }

  function showAlarmCount() {
    const n = document.querySelectorAll('#alarm-list li').length;
    document.getElementById('alarm-count').textContent = String(n);
    document.getElementById('no-alarms').hidden = n > 0;
  }

  function onAlarm(a) {
    const list = document.getElementById('alarm-list');
    const key = M.alarmKey(a);
    const old = [...list.children].find((li) => li.dataset.key === key);
    if (a.action === 'clear') { if (old) old.remove(); } else if (!old) {
      list.append(alarmItem(Object.assign({ since: a.time }, a)));
    }
    showAlarmCount();
  }

  function onCycle(c) {
    showCycle(c.n, c.duration_ms);
    for (const u of c.units) if (!showUnit(u)) { location.reload(); return; }
  }

  async function resync() {
    try {
      const s = await M.fetchJson('/api/state');
      showLink(s.link.state);
      if (s.cycle.n) showCycle(s.cycle.n, s.cycle.duration_ms);
      for (const u of s.units) if (!showUnit(u)) { location.reload(); return; }
      document.getElementById('alarm-list').replaceChildren(...s.alarms.map(alarmItem));
      showAlarmCount();
    } catch (e) {
      document.getElementById('progress').textContent = 'state not available: ' + e.message;
    }
  }

  setInterval(() => {
    if (lastCycle === null) return;
    const s = Math.round((Date.now() - lastCycle) / 1000);
    document.getElementById('progress').textContent = 'last cycle ' + s + ' s ago';
  }, 1000);

  M.live({
    cycle: onCycle,
    alarm: onAlarm,
    link: (l) => showLink(l.state),
    storage: (s) => { document.getElementById('progress').textContent = 'storage ' + s.state + ' ' + s.reason; },
  }, resync);
}());
