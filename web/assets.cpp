#include "assets.h"

// The plant page's live view: its stations fetched as JSON every second and
// drawn again with the DOM's own text nodes, so that nothing a station
// wrote can become markup. The other pages need no script.
const char DASHBOARD_SCRIPT[] = R"JS('use strict';
(function () {
  const box = document.getElementById('stations');
  if (!box) return;
  function el(name, text, cls) {
    const e = document.createElement(name);
    if (text !== undefined) e.textContent = String(text);
    if (cls) e.className = cls;
    return e;
  }
  function station(st) {
    const sec = el('section', undefined, 'station');
    sec.dataset.station = st.name;
    const h = el('h2', st.name + ' ');
    h.appendChild(el('span', st.live ? 'live' : 'silent', st.live ? 'live' : 'silent'));
    sec.appendChild(h);
    sec.appendChild(el('p', st.host !== undefined ? 'host ' + st.host + ', pid ' + st.pid +
      ', recipe ' + (st.recipe || '-') + ', last seen ' + st.age_s + ' s ago' : 'no station row: units only',
      'meta'));
    const sh = st.shift;
    sec.appendChild(el('p', 'this shift: ' + sh.units + ' units, ' + sh.passed + ' passed, ' +
      sh.failed + ' failed, yield ' + sh.yield + '; last hour: ' + st.last_hour + ' units/h',
      'counts'));
    const table = el('table', undefined, 'slots');
    const head = el('thead');
    const hr = el('tr');
    for (const t of ['slot', 'state', 'unit', 'since']) hr.appendChild(el('th', t));
    head.appendChild(hr);
    table.appendChild(head);
    const body = el('tbody');
    for (const s of st.slots) {
      const tr = el('tr');
      tr.dataset.slot = s.label;
      tr.appendChild(el('td', s.label));
      const state = String(s.state);
      tr.appendChild(el('td', state, 'state s-' + state.split(' ')[0]));
      const unit = el('td');
      if (s.unit) {
        const a = el('a', s.unit);
        a.href = '/unit?serial=' + encodeURIComponent(s.unit);
        unit.appendChild(a);
      }
      tr.appendChild(unit);
      tr.appendChild(el('td', s.since));
      body.appendChild(tr);
    }
    table.appendChild(body);
    sec.appendChild(table);
    return sec;
  }
  let busy = false;
  async function refresh() {
    if (busy) return;
    busy = true;
    try {
      const r = await fetch('/api/plant', {cache: 'no-store'});
      if (r.ok) {
        const plant = await r.json();
        const parts = plant.stations.map(station);
        if (parts.length === 0) parts.push(el('p', 'no station has written to this record yet'));
        box.replaceChildren(...parts);
        document.body.dataset.updated = plant.now;
      }
    } catch (e) {
      document.body.dataset.updated = 'failed';
    } finally {
      busy = false;
    }
  }
  setInterval(refresh, 1000);
})();
)JS";

const char DASHBOARD_STYLE[] = R"CSS(body { font-family: sans-serif; margin: 0; color: #222; }
nav { background: #234; padding: 0.5em 1em; }
nav a { color: #dde; margin-right: 1em; text-decoration: none; }
nav a.here { color: #fff; font-weight: bold; }
main { padding: 0 1em 2em; }
.station { border: 1px solid #ccc; border-radius: 4px; padding: 0 1em 1em; margin: 1em 0; }
.live { color: #fff; background: #2a7; padding: 0 0.4em; border-radius: 3px; font-size: 70%; }
.silent { color: #fff; background: #b33; padding: 0 0.4em; border-radius: 3px; font-size: 70%; }
table { border-collapse: collapse; }
td, th { border-bottom: 1px solid #ddd; padding: 0.2em 0.6em; text-align: left; }
.s-PASSED { color: #2a7; font-weight: bold; }
.s-FAILED, .s-REMOVE { color: #b33; font-weight: bold; }
.s-FLASHING { color: #27b; }
.note, .meta { color: #666; }
svg.chart { width: 100%; max-width: 760px; height: auto; }
svg .bar { fill: #4682b4; }
svg .axis { stroke: #888; }
svg .tick, svg .none { font-size: 10px; fill: #555; }
svg .share { fill: none; stroke: #c60; stroke-width: 2; }
figure { margin: 1em 0; }
figcaption { font-weight: bold; }
)CSS";
