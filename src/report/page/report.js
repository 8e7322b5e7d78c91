// The report page: reads the embedded JSON and draws it with uPlot. Every text from the data
// reaches the page through textContent, never as markup.
"use strict";
(function () {
  const report = JSON.parse(document.getElementById("report-data").textContent);
  const facts = report.facts;
  const COLOURS = {
    data: "#1f77b4", model: "#d62728", background: "#ff7f0e", line: "#2ca02c",
    highlight: "#9400d3", region: "rgba(148,103,189,0.13)", failed: "rgba(214,39,40,0.16)",
    selected: "rgba(255,200,0,0.16)", guide: "#999",
  };
  const ZOOM_MARGIN = 0.15;      // of the region's width, on each side, when a row is clicked
  const LOG_FLOOR_SHARE = 0.5;   // empty channels on a log axis: this share of the least count
  const PLOT_HEIGHT = 320, RESIDUAL_HEIGHT = 150;

  // ---- the channels, in increasing x
  const channels = (function () {
    const c = report.channels;
    const n = c.x.length;
    const reversed = n > 1 && c.x[0] > c.x[n - 1];
    const order = (a) => (reversed ? a.slice().reverse() : a);
    const x = order(c.x), y = order(c.y), model = order(c.model), residual = order(c.residual);
    // Each channel reaches halfway to its neighbours; the outer ones as far outwards.
    const edges = new Float64Array(n + 1);
    for (let i = 1; i < n; i++) edges[i] = 0.5 * (x[i - 1] + x[i]);
    edges[0] = n > 1 ? x[0] - (edges[1] - x[0]) : x[0] - 0.5;
    edges[n] = n > 1 ? x[n - 1] + (x[n - 1] - edges[n - 1]) : x[0] + 0.5;
    let least = Infinity;
    for (const v of y) if (v > 0 && v < least) least = v;
    return { n, x, y, model, residual, edges, logFloor: isFinite(least) ? LOG_FLOOR_SHARE * least : 1 };
  })();

  const regions = report.regions.map((r) => {
    const m = r.model.length;
    const grid = new Float64Array(m);
    for (let i = 0; i < m; i++) grid[i] = m > 1 ? r.lo + ((r.hi - r.lo) * i) / (m - 1) : r.lo;
    return Object.assign({}, r, { grid });
  });
  const lineSlots = regions.reduce((most, r) => Math.max(most, r.lines.length), 0);
  const lineOf = new Map();  // peak index -> [region, its place among the region's lines]
  regions.forEach((r, ri) => r.lines.forEach(([peak], k) => lineOf.set(peak, [ri, k])));

  // ---- one table for uPlot: channel rows and the regions' sample rows, merged by x
  const rows = (function () {
    // The samples of all regions, in increasing x: regions come sorted by lo and do not overlap;
    // if they ever did, sorting puts the samples in order all the same.
    let count = 0;
    for (const r of regions) count += r.grid.length;
    const sampleX = new Float64Array(count), sampleRegion = new Int32Array(count);
    const sampleIndex = new Int32Array(count);
    let at = 0;
    regions.forEach((r, ri) => {
      for (let j = 0; j < r.grid.length; j++, at++) {
        sampleX[at] = r.grid[j];
        sampleRegion[at] = ri;
        sampleIndex[at] = j;
      }
    });
    let order = null;
    for (let k = 1; k < count && !order; k++) {
      if (sampleX[k] < sampleX[k - 1]) order = Int32Array.from(sampleX.keys()).sort((a, b) => sampleX[a] - sampleX[b]);
    }
    const samples = { length: count, x: (k) => sampleX[order ? order[k] : k], place: (k) => (order ? order[k] : k) };
    const total = channels.n + samples.length;
    const x = new Float64Array(total);
    const channelRow = new Int32Array(channels.n);
    const sampleRows = regions.map((r) => new Int32Array(r.grid.length));
    // Rows of curves: null (a gap) outside every region, undefined (spanned) on the channel rows
    // inside one, so that a curve is drawn through its own samples and bridges no two regions.
    const blank = [];
    let c = 0, s = 0, r = 0;  // regions come sorted by lo
    for (let row = 0; row < total; row++) {
      if (s >= samples.length || (c < channels.n && channels.x[c] <= samples.x(s))) {
        const v = channels.x[c];
        while (r < regions.length && regions[r].hi < v) r++;
        x[row] = v;
        channelRow[c] = row;
        blank.push(r < regions.length && v >= regions[r].lo ? undefined : null);
        c++;
      } else {
        const k = samples.place(s++);
        x[row] = sampleX[k];
        sampleRows[sampleRegion[k]][sampleIndex[k]] = row;
        blank.push(null);
      }
    }
    return { x, channelRow, sampleRows, blank };
  })();

  // A curve over the rows: valuesOf(region) gives its values on that region's samples, or null
  // where the curve has none.
  function curve(valuesOf, log) {
    const out = rows.blank.slice();
    regions.forEach((r, ri) => {
      const values = valuesOf(r);
      if (!values) return;
      const at = rows.sampleRows[ri];
      for (let j = 0; j < at.length; j++) {
        const v = values[j];
        out[at[j]] = log && !(v > 0) ? null : v;
      }
    });
    return out;
  }

  function seriesData(log, highlighted) {
    const y = rows.blank.map(() => undefined);
    for (let i = 0; i < channels.n; i++) {
      const v = channels.y[i];
      y[rows.channelRow[i]] = log ? Math.max(v, channels.logFloor) : v;
    }
    // Data, background, the lines, the model over them, the chosen line on top.
    const data = [rows.x, y, curve((r) => r.background, log)];
    for (let k = 0; k < lineSlots; k++) {
      data.push(curve((r) => (k < r.lines.length ? r.lines[k][1] : null), log));
    }
    data.push(curve((r) => r.model, log));
    const place = lineOf.get(highlighted);
    data.push(curve((r) => (place && r === regions[place[0]] ? r.lines[place[1]][1] : null), log));
    return data;
  }

  // Data as steps centred on their channels; rows that are not channels are passed over.
  function channelSteps(edges, rowOfChannel) {
    return (u, seriesIndex) => {
      const path = new Path2D();
      const xs = u.scales.x;
      let drawing = false;
      for (let i = 0; i + 1 < edges.length; i++) {
        const v = u.data[seriesIndex][rowOfChannel(i)];
        if (edges[i + 1] < xs.min || edges[i] > xs.max || v === null || v === undefined) {
          drawing = false;
          continue;
        }
        const py = u.valToPos(v, "y", true);
        const left = u.valToPos(edges[i], "x", true), right = u.valToPos(edges[i + 1], "x", true);
        if (drawing) path.lineTo(left, py); else path.moveTo(left, py);
        path.lineTo(right, py);
        drawing = true;
      }
      return { stroke: path, fill: null, clip: null, band: null, gaps: null, flags: 0 };
    };
  }

  function shadeRegions(u) {
    const ctx = u.ctx, top = u.bbox.top, height = u.bbox.height;
    const place = lineOf.get(state.highlighted);
    ctx.save();
    regions.forEach((r, ri) => {
      const left = Math.max(u.valToPos(r.lo, "x", true), u.bbox.left);
      const right = Math.min(u.valToPos(r.hi, "x", true), u.bbox.left + u.bbox.width);
      if (right <= left) return;
      ctx.fillStyle = !r.ok ? COLOURS.failed : place && place[0] === ri ? COLOURS.selected : COLOURS.region;
      ctx.fillRect(left, top, right - left, height);
    });
    ctx.restore();
  }

  function drawGuides(u) {
    const ctx = u.ctx;
    ctx.save();
    ctx.strokeStyle = COLOURS.guide;
    ctx.setLineDash([4, 4]);
    for (const level of [-2, 0, 2]) {
      const y = u.valToPos(level, "y", true);
      ctx.beginPath();
      ctx.moveTo(u.bbox.left, y);
      ctx.lineTo(u.bbox.left + u.bbox.width, y);
      ctx.stroke();
    }
    ctx.restore();
  }

  // ---- the two plots, their x scales kept together
  const state = { log: false, highlighted: -1, syncing: false, drawn: 0 };
  // What uPlot shows when it resets a plot on a double click.
  const full = { min: channels.x[0], max: channels.x[channels.n - 1] };
  const plotWidth = () => Math.max(400, document.getElementById("plots").clientWidth);

  function follow(other) {
    return (u, key) => {
      if (key !== "x" || state.syncing || !other()) return;
      state.syncing = true;
      other().setScale("x", { min: u.scales.x.min, max: u.scales.x.max });
      state.syncing = false;
    };
  }

  function firstDraw() {
    if (++state.drawn === 2) window.veskReport.drawnAt = performance.now();
  }

  function spectrumPlot(log, range) {
    const series = [{},
      { label: "data", stroke: COLOURS.data, width: 1, paths: channelSteps(channels.edges, (i) => rows.channelRow[i]), points: { show: false } },
      { label: "background", stroke: COLOURS.background, width: 1, points: { show: false } }];
    // The lines of a region are spread over as many series as the largest region has lines;
    // the legend shows them as one entry.
    for (let k = 0; k < lineSlots; k++) {
      series.push({ label: "lines", stroke: COLOURS.line, width: 1, points: { show: false } });
    }
    series.push({ label: "fitted model", stroke: COLOURS.model, width: 1.5, points: { show: false } });
    series.push({ label: "chosen line", stroke: COLOURS.highlight, width: 3, points: { show: false } });
    const options = {
      width: plotWidth(), height: PLOT_HEIGHT,
      scales: { x: { time: false }, y: { distr: log ? 3 : 1 } },
      axes: [{}, { label: facts.y_label, labelSize: 20, size: 70 }],
      series,
      cursor: { drag: { x: true, y: false }, sync: { key: "vesk-report" } },
      legend: { live: false },
      hooks: {
        drawClear: [shadeRegions], setScale: [follow(() => plots.residuals)], setCursor: [showReadout],
        draw: [firstDraw], ready: [oneLegendEntryForLines], setSeries: [showAllLinesAlike],
      },
    };
    return new uPlot(options, seriesData(log, state.highlighted), document.getElementById("spectrum"));
  }

  const FIRST_LINE_SERIES = 3;
  function oneLegendEntryForLines(u) {
    // The legend may leave out the x series.
    const entries = u.root.querySelectorAll(".u-legend .u-series");
    const offset = entries.length - u.series.length;
    for (let k = 1; k < lineSlots; k++) entries[FIRST_LINE_SERIES + k + offset].style.display = "none";
  }

  function showAllLinesAlike(u, index, options) {
    if (index !== FIRST_LINE_SERIES || !options) return;
    for (let k = 1; k < lineSlots; k++) u.setSeries(FIRST_LINE_SERIES + k, { show: options.show }, false);
  }

  function residualPlot() {
    const rowOfChannel = (i) => i;
    return new uPlot({
      width: plotWidth(), height: RESIDUAL_HEIGHT,
      scales: { x: { time: false }, y: { range: (u, lo, hi) => [Math.min(-3, lo ?? -3), Math.max(3, hi ?? 3)] } },
      axes: [{ label: facts.x_label }, { label: "residual / \u03c3", labelSize: 20, size: 70 }],
      series: [{}, { label: "residual / error", stroke: COLOURS.data, width: 1, paths: channelSteps(channels.edges, rowOfChannel), points: { show: false } }],
      cursor: { drag: { x: true, y: false }, sync: { key: "vesk-report" } },
      legend: { show: false },
      hooks: { draw: [drawGuides, firstDraw], setScale: [follow(() => plots.spectrum)] },
    }, [channels.x, channels.residual], document.getElementById("residuals"));
  }

  const plots = { spectrum: null, residuals: null };

  function showReadout(u) {
    const left = u.cursor.left;
    const out = document.getElementById("readout");
    if (left === undefined || left < 0) { out.textContent = ""; return; }
    const x = u.posToVal(left, "x");
    let lo = 0, hi = channels.n;  // the channel whose edges hold x
    while (hi - lo > 1) { const mid = (lo + hi) >> 1; if (channels.edges[mid] <= x) lo = mid; else hi = mid; }
    const model = channels.model[lo];
    out.textContent = `${facts.x_label} ${short(x)} \u2014 channel at ${short(channels.x[lo])}: ` +
      `data ${short(channels.y[lo])}, model ${short(model)}`;
  }

  function short(v) {
    if (v === null || v === undefined) return "\u2014";
    if (typeof v !== "number") return String(v);
    if (Number.isInteger(v) && Math.abs(v) < 1e15) return String(v);
    return String(Number(v.toPrecision(7)));
  }

  function draw(range) {
    for (const key of ["spectrum", "residuals"]) if (plots[key]) plots[key].destroy();
    state.drawn = 0;
    plots.spectrum = spectrumPlot(state.log, range);
    plots.residuals = residualPlot();
    if (range.min !== full.min || range.max !== full.max) zoom(range.min, range.max);
    window.veskReport.spectrum = plots.spectrum;
    window.veskReport.residuals = plots.residuals;
  }

  function zoom(min, max) {
    plots.spectrum.setScale("x", { min, max });
  }

  function currentRange() {
    const s = plots.spectrum.scales.x;
    return { min: s.min, max: s.max };
  }

  // ---- the header
  function seconds(value) {
    return `${short(value)} s`;
  }

  function showFacts() {
    const measurement = [], fit = [];
    if (facts.file) measurement.push(["file", facts.file]);
    if (facts.format) measurement.push(["format", facts.format]);
    if (facts.live_time !== null) measurement.push(["live time", seconds(facts.live_time)]);
    if (facts.real_time !== null) measurement.push(["real time", seconds(facts.real_time)]);
    if (facts.calibration) measurement.push(["calibration", facts.calibration]);
    measurement.push(["channels", String(channels.n)]);
    for (const pair of facts.metadata) measurement.push(pair);
    fit.push(["statistics", report.statistics]);
    if (facts.shape) fit.push(["line shape", facts.shape]);
    for (const pair of facts.settings) fit.push(pair);
    const failed = regions.filter((r) => !r.ok).length;
    const summary = [["lines", `${report.rows.length} in ${regions.length} regions` + (failed ? `, ${failed} failed` : "")]];
    if (facts.version) summary.push(["written by", facts.version]);
    const box = document.getElementById("facts");
    for (const group of [measurement, fit, summary]) {
      const list = document.createElement("dl");
      for (const [name, value] of group) list.append(element("dt", name), element("dd", value));
      box.append(list);
    }
    if (facts.file) {
      document.getElementById("title").textContent = facts.file;
      document.title = facts.file + " \u2014 spectrum report";
    }
  }

  function element(tag, text) {
    const e = document.createElement(tag);
    e.textContent = text;
    return e;
  }

  // ---- the table of lines
  const table = { column: -1, descending: false };
  const significantColumn = report.columns.indexOf("significant");
  const outsideColumn = report.columns.indexOf("outside_region");
  const flagged = (cells, column) => column >= 0 && (cells[column] === true || cells[column] === 1);

  function cellText(v) {
    if (v === null) return "\u2014";
    if (typeof v === "boolean") return v ? "yes" : "no";
    return short(v);
  }

  function showTable() {
    const head = document.createElement("tr");
    report.columns.forEach((name, c) => {
      const th = element("th", name);
      th.addEventListener("click", () => sortBy(c));
      head.append(th);
    });
    document.querySelector("#lines thead").append(head);
    const body = document.querySelector("#lines tbody");
    report.rows.forEach((cells, peak) => {
      const tr = document.createElement("tr");
      tr.dataset.peak = String(peak);
      const region = regions[report.line_regions[peak]];
      if (region && !region.ok) {
        tr.classList.add("failed");
        tr.title = "the fit of this line's region failed: " + region.status;
      } else if (flagged(cells, outsideColumn)) {
        tr.classList.add("outside");
        tr.title = "outside its region: what the region's background cannot take, no line";
      } else if (significantColumn >= 0 && (cells[significantColumn] === false || cells[significantColumn] === 0)) {
        tr.classList.add("insignificant");
        tr.title = "not significant";
      }
      cells.forEach((v) => {
        const td = element("td", cellText(v));
        if (typeof v === "string") td.className = "text";
        if (typeof v === "number") td.title = String(v);
        tr.append(td);
      });
      tr.addEventListener("click", () => choose(peak));
      body.append(tr);
    });
  }

  function sortBy(column) {
    table.descending = table.column === column ? !table.descending : false;
    table.column = column;
    const sign = table.descending ? -1 : 1;
    const body = document.querySelector("#lines tbody");
    const trs = Array.from(body.rows);
    const value = (tr) => report.rows[Number(tr.dataset.peak)][column];
    trs.sort((a, b) => {
      const va = value(a), vb = value(b);
      if (va === null || vb === null) return (va === null) - (vb === null);  // empty cells last
      if (typeof va === "string") return sign * va.localeCompare(vb);
      return sign * (va - vb) || Number(a.dataset.peak) - Number(b.dataset.peak);
    });
    body.append(...trs);
    document.querySelectorAll("#lines th").forEach((th, c) => {
      if (c === column) th.setAttribute("aria-sort", table.descending ? "descending" : "ascending");
      else th.removeAttribute("aria-sort");
    });
  }

  function choose(peak) {
    state.highlighted = peak;
    window.veskReport.highlighted = peak;
    document.querySelectorAll("#lines tbody tr").forEach((tr) => tr.classList.toggle("selected", Number(tr.dataset.peak) === peak));
    plots.spectrum.setData(seriesData(state.log, peak), false);
    const region = regions[report.line_regions[peak]];
    const margin = ZOOM_MARGIN * Math.max(region.hi - region.lo, 1e-9 * Math.abs(region.hi) || 1e-9);
    zoom(region.lo - margin, region.hi + margin);
  }

  // ---- start
  window.veskReport = { startedAt: performance.now(), drawnAt: null, highlighted: -1, choose, sortBy };
  showFacts();
  showTable();
  if (channels.n > 0) draw(full);
  else window.veskReport.drawnAt = performance.now();  // nothing to draw
  document.getElementById("log-y").addEventListener("change", (event) => {
    state.log = event.target.checked;
    draw(currentRange());
  });
  document.getElementById("reset").addEventListener("click", () => zoom(full.min, full.max));
  window.addEventListener("resize", () => {
    for (const key of ["spectrum", "residuals"]) plots[key].setSize({ width: plotWidth(), height: plots[key].height });
  });
})();
