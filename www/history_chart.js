// The history plot: the mean of each field as a line with its min-max band
// (raw values as a plain line), on a time axis; dragging across it zooms.
'use strict';
(function () {
  const M = window.M520S;
  const colors = ['#0b5cad', '#cf222e', '#1a7f37', '#9a6700', '#8250df', '#bc4c00', '#1b7c83', '#6e7781'];

  function datasets(table, labels) {
    const out = [];
    const raw = table.step === 'raw';
    const per = raw ? 1 : 3;
    table.fields.forEach((f, i) => {
      const color = colors[i % colors.length];
      const col = (k) => table.rows.map((r) => ({ x: M.parseTime(r[0]), y: r[1 + i * per + k] }));
      const name = labels[f] || f;
      if (raw) {
        out.push({ label: name, data: col(0), borderColor: color, backgroundColor: color, pointRadius: 1.5,
          borderWidth: 1.5, spanGaps: false });
        return;
      }
      const band = color + '33';
      out.push({ label: name + ' min', data: col(0), borderColor: band, backgroundColor: band, pointRadius: 0,
        borderWidth: 0, fill: false, band: true });
      out.push({ label: name + ' max', data: col(2), borderColor: band, backgroundColor: band, pointRadius: 0,
        borderWidth: 0, fill: '-1', band: true });
      out.push({ label: name, data: col(1), borderColor: color, backgroundColor: color, pointRadius: 1,
        borderWidth: 1.5 });
    });
    return out;
  }

  function options() {
    return {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false, normalized: true,
      interaction: { mode: 'nearest', axis: 'x', intersect: false },
      scales: { x: { type: 'linear', ticks: { maxTicksLimit: 8, callback: (v) => M.timeText(v).slice(5, 16) } } },
      plugins: {
        legend: { labels: { filter: (item, data) => !data.datasets[item.datasetIndex].band } },
        tooltip: { callbacks: { title: (items) => items.length ? M.timeText(items[0].parsed.x) : '' } },
      },
    };
  }

  // Dragging across the plot picks a new range: onZoom(fromMs, toMs).
  function dragZoom(chart, box, onZoom) {
    const canvas = chart.canvas;
    let start = null;
    const x = (ev) => ev.clientX - canvas.getBoundingClientRect().left;
    canvas.addEventListener('pointerdown', (ev) => { start = x(ev); canvas.setPointerCapture(ev.pointerId); });
    canvas.addEventListener('pointermove', (ev) => {
      if (start === null) return;
      const a = Math.min(start, x(ev));
      box.hidden = false;
      box.style.left = a + 'px';
      box.style.width = Math.abs(x(ev) - start) + 'px';
    });
    canvas.addEventListener('pointerup', (ev) => {
      const a = start;
      start = null;
      box.hidden = true;
      if (a === null || Math.abs(x(ev) - a) < 8) return;
      const scale = chart.scales.x;
      const v1 = scale.getValueForPixel(Math.min(a, x(ev)));
      const v2 = scale.getValueForPixel(Math.max(a, x(ev)));
      onZoom(Math.round(v1), Math.round(v2));
    });
  }

  M.HistoryChart = function (canvas, box, onZoom) {
    if (typeof Chart === 'undefined') throw new Error('Chart.js missing (libjs-chart.js)');
    this.chart = new Chart(canvas, { type: 'line', data: { datasets: [] }, options: options() });
    dragZoom(this.chart, box, onZoom);
  };
  M.HistoryChart.prototype.show = function (table, labels, fromMs, toMs) {
    this.chart.data.datasets = datasets(table, labels);
    this.chart.options.scales.x.min = fromMs;
    this.chart.options.scales.x.max = toMs;
    this.chart.update();
  };
}());
