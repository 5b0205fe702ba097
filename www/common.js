// What the dashboard's pages share: building elements (text only, never
// markup), formatting values, and the live event stream with its gaps.
'use strict';
(function () {
  const M = {};

  // An element with attributes and text; children appended as given.
  M.el = function (tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (k === 'class') e.className = v; else e.setAttribute(k, v);
    }
    for (const c of children) {
      if (c === null || c === undefined) continue;
      e.append(c instanceof Node ? c : document.createTextNode(String(c)));
    }
    return e;
  };

  M.language = function () { return document.body.dataset.language === 'zh' ? 'zh' : 'en'; };

  // The alarm's two texts, the one the config's language prefers first.
  M.alarmTexts = function (a) {
    const own = [a.name, a.detail].filter(Boolean).join(' ') +
      (a.state_text && a.state_text !== a.detail ? ' (' + a.state_text + ')' : '');
    return M.language() === 'zh' || !a.label ? [own, a.label || ''] : [a.label, own];
  };
  M.alarmKey = function (a) { return a.device + '|' + a.key + '|' + a.detail; };

  // "channels.0.a" inside a unit's values.
  M.resolve = function (values, path) {
    let v = values;
    for (const step of path.split('.')) {
      if (v === null || v === undefined) return undefined;
      v = Array.isArray(v) ? v[Number(step)] : v[step];
    }
    return v;
  };

  M.fetchJson = async function (url) {
    const r = await fetch(url, { headers: { Accept: 'application/json' } });
    if (!r.ok) throw new Error((await r.text()).trim() || r.status + ' ' + r.statusText);
    return r.json();
  };

  M.pad = function (n) { return String(n).padStart(2, '0'); };
  // Local time as the pages show it: 2026-12-09 01:11:36.
  M.timeText = function (ms) {
    const d = new Date(ms);
    return d.getFullYear() + '-' + M.pad(d.getMonth() + 1) + '-' + M.pad(d.getDate()) + ' ' +
      M.pad(d.getHours()) + ':' + M.pad(d.getMinutes()) + ':' + M.pad(d.getSeconds());
  };
  // An absolute time for the API, with its UTC offset.
  M.isoTime = function (ms) {
    return new Date(Math.floor(ms / 1000) * 1000).toISOString().replace(/\.\d{3}Z$/, '+00:00');
  };
  M.parseTime = function (t) { return typeof t === 'number' ? t : Date.parse(t); };

  // The live stream: handlers by event name; resync() whenever the page
  // may have missed something (a reconnection, ids that jump).
  M.live = function (handlers, resync) {
    let last = null;
    let opened = false;
    const es = new EventSource('/api/events');
    es.addEventListener('open', () => { if (opened) resync(); opened = true; });
    for (const name of ['cycle', 'alarm', 'link', 'storage']) {
      es.addEventListener(name, (ev) => {
        const id = Number(ev.lastEventId);
        if (last !== null && id !== last + 1) resync();
        last = id;
        if (handlers[name]) handlers[name](JSON.parse(ev.data));
      });
    }
    return es;
  };

  window.M520S = M;
}());
