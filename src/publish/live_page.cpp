// vantrel publishing: the live page. A plot of several channels over a chosen range (history
// from /history, zoom and pan, limits, gaps and notes marked, a CSV of what it shows), a field
// for notes, and one plot a channel over the last minutes with its value, unit, minimum,
// maximum and mean, and each board's status. It loads /data once, then follows /events;
// Chart.js comes from /chart.js.
#include "served_output.hpp"

namespace vantrel::publish {

const char* const kLivePage = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>vantrel: live readings</title>
<style>
body { font-family: system-ui, sans-serif; margin: 1em; background: #fafafa; color: #222; }
h1 { font-size: 1.2em; margin: 0 0 .5em; }
#boards { border-collapse: collapse; margin-bottom: 1em; font-size: .9em; }
#boards td, #boards th { border: 1px solid #ccc; padding: .2em .6em; text-align: right; }
#boards td:first-child, #boards th:first-child { text-align: left; }
.state-recording { color: #080; } .state-away, .state-stopped { color: #b00; }
#controls { display: flex; flex-wrap: wrap; gap: .4em; align-items: center; margin: .5em 0; font-size: .9em; }
#controls input[type=text] { width: 11em; }
#note-text { width: 16em; }
#history { background: #fff; border: 1px solid #ddd; border-radius: 6px; padding: .6em; margin-bottom: 1em; }
#history-state { font-size: .85em; color: #555; min-height: 1.2em; }
#picks { font-size: .85em; display: flex; flex-wrap: wrap; gap: .8em; }
#channels { display: grid; grid-template-columns: repeat(auto-fill, minmax(420px, 1fr)); gap: 1em; }
.channel { background: #fff; border: 1px solid #ddd; border-radius: 6px; padding: .6em; }
.channel h2 { font-size: 1em; margin: 0; }
.now { font-size: 1.8em; font-variant-numeric: tabular-nums; }
.stats { font-size: .85em; color: #555; font-variant-numeric: tabular-nums; }
.problem { color: #b00; font-size: .85em; min-height: 1.2em; }
#link { font-size: .85em; color: #777; }
</style>
<script src="/chart.js"></script>
</head>
<body>
<h1>vantrel: live readings</h1>
<table id="boards"><thead><tr><th>board</th><th>state</th><th>readings</th><th>errors</th>
<th>overruns</th><th>gaps</th><th>reconnects</th><th>last error</th></tr></thead><tbody></tbody></table>
<div id="link">connecting</div>
<section id="history">
<div id="controls">
<label>range <select id="range"></select></label>
<label>from <input id="from" type="text" placeholder="2026-12-08 06:30"></label>
<label>to <input id="to" type="text" placeholder="now"></label>
<button id="show">show</button>
<button id="back" title="earlier">&#9664;</button>
<button id="forward" title="later">&#9654;</button>
<button id="zoom-out">zoom out</button>
<button id="download">download CSV</button>
<input id="note-text" type="text" maxlength="1000" placeholder="a note, e.g. sample B in">
<button id="note">add note</button>
</div>
<div id="picks"></div>
<div id="history-state"></div>
<canvas id="history-plot" height="110"></canvas>
</section>
<div id="channels"></div>
<script>
"use strict";
// Times on the page are UTC, as the recording stores them.
let minutes = 10;
let hasHistory = false;
const channels = [];
const notes = [];
const palette = ["#1f6fb4", "#d9480f", "#2b8a3e", "#862e9c", "#e67700", "#0b7285", "#c2255c", "#5c940d"];
const view = { from: 0, to: 0, follow: true, source: "live", step: 0, marks: [], series: [] };
let plot = null;

function fmt(v) {
  if (v === null || v === undefined || !isFinite(v)) return "\u2014";
  return Number(v.toPrecision(6)).toString();
}
function iso(ms) { return new Date(ms).toISOString(); }
function clock(ms) { return iso(ms).substring(11, 19); }
// Ticks say as much of the time as the span shown needs.
function tick(ms, span) {
  const t = iso(ms);
  return span > 2 * 86400000 ? t.substring(5, 10) + " " + t.substring(11, 16)
       : span > 3600000 ? t.substring(11, 16) : t.substring(11, 19);
}
function parseTime(text) {
  const t = text.trim();
  if (t === "" || t === "now") return Date.now();
  const ms = Date.parse(t.replace(" ", "T") + (/[zZ]|[+-]\d\d:?\d\d$/.test(t) ? "" : "Z"));
  return isNaN(ms) ? null : ms;
}
function key(board, name) { return board + "\u0000" + name; }

function cell(text, cls) {
  const td = document.createElement("td");
  td.textContent = text;
  if (cls) td.className = cls;
  return td;
}

function showBoards(boards) {
  const body = document.querySelector("#boards tbody");
  body.replaceChildren();
  for (const b of boards) {
    const tr = document.createElement("tr");
    tr.append(cell(b.name), cell(b.state, "state-" + b.state), cell(b.readings), cell(b.errors),
              cell(b.overruns), cell(b.gaps), cell(b.reconnects), cell(b.last_error));
    body.append(tr);
  }
}

// Vertical lines for gaps, reconnects, alarms and notes, horizontal ones for limits, and the span a
// drag selects. Each chart has its own copy, made with what it shows, so that the first
// drawing (inside new Chart) has it already.
function overlay(source) {
  return {
    id: "overlay",
    afterDatasetsDraw(chart) {
      const x = chart.scales.x, area = chart.chartArea, g = chart.ctx;
      let drawn = 0;
      const vertical = (t, colour, label) => {
        if (t < x.min || t > x.max) return;
        const px = x.getPixelForValue(t);
        g.save();
        g.strokeStyle = colour;
        g.setLineDash([4, 3]);
        g.beginPath(); g.moveTo(px, area.top); g.lineTo(px, area.bottom); g.stroke();
        g.fillStyle = colour;
        g.fillText(label, px + 3, area.top + 10 + (drawn % 4) * 11);
        g.restore();
        drawn++;
      };
      for (const [t, what, why] of source.marks())
        vertical(t,
                 what === "gap" ? "#c00" : what === "note" ? "#1c4fd8" : what === "alarm" ? "#d70" : "#0a0",
                 what === "note" || what === "alarm" ? why : what);
      let limits = 0;
      for (const [value, label, axis, colour] of source.limits()) {
        const y = chart.scales[axis];
        if (!y || value < y.min || value > y.max) continue;
        const py = y.getPixelForValue(value);
        g.save();
        g.strokeStyle = colour;
        g.setLineDash([8, 4]);
        g.beginPath(); g.moveTo(area.left, py); g.lineTo(area.right, py); g.stroke();
        g.fillStyle = colour;
        g.fillText(label, area.left + 4, py - 3);
        g.restore();
        limits++;
      }
      const sel = source.selection && source.selection();
      if (sel) {
        g.save();
        g.fillStyle = "rgba(31,111,180,.15)";
        g.fillRect(Math.min(sel[0], sel[1]), area.top, Math.abs(sel[1] - sel[0]), area.bottom - area.top);
        g.restore();
      }
      chart.canvas.dataset.marks = drawn;
      chart.canvas.dataset.limits = limits;
    }
  };
}

// An axis takes in the limits it shows, so that they are always in view.
function limitRange(limits) {
  if (!limits || !limits.length) return {};
  const values = limits.map((l) => l.value);
  return { suggestedMin: Math.min(...values), suggestedMax: Math.max(...values) };
}

function noteMarks(from, to) {
  return notes.filter(([t]) => t >= from && t <= to).map(([t, text]) => [t, "note", text]);
}

function addChannel(i, d) {
  const box = document.createElement("section");
  box.className = "channel";
  box.id = "channel-" + i;
  box.innerHTML = '<h2></h2><div><span class="now value"></span> <span class="unit"></span></div>' +
                  '<div class="stats"></div><div class="problem"></div><canvas height="160"></canvas>';
  box.querySelector("h2").textContent = d.board + " / " + d.name + " (" + d.bits + " bits, channel " + d.channel + ")";
  box.querySelector(".unit").textContent = d.unit;
  document.getElementById("channels").append(box);
  const c = { d, box, marks: d.marks.slice(), status: d.status, count: d.count, sum: d.sum,
              min: d.min, max: d.max, last: d.last, chart: null };
  const data = d.points.map(([t, v]) => ({ x: t, y: v }));
  const now = Date.now();
  if (window.Chart) {
    c.chart = new Chart(box.querySelector("canvas"), {
      type: "line",
      data: { datasets: [{ label: d.name, data, borderColor: palette[i % palette.length], borderWidth: 1.5,
                           pointRadius: 0, spanGaps: false }] },
      options: { animation: false, responsive: true, parsing: false, normalized: true,
                 plugins: { legend: { display: false } },
                 scales: { x: { type: "linear", min: now - minutes * 60000, max: now,
                                title: { display: true, text: "UTC" },
                                ticks: { callback: clock, maxTicksLimit: 6 } },
                           y: Object.assign({ title: { display: d.unit !== "", text: d.unit } }, limitRange(d.limits)) } },
      plugins: [overlay({
        marks: () => c.marks.concat(noteMarks(now - minutes * 60000 - 1, Infinity)),
        limits: () => (d.limits || []).map((l) => [l.value, l.label, "y", "#999"]) })]
    });
  }
  c.data = c.chart ? c.chart.data.datasets[0].data : data;
  channels[i] = c;
  show(c);
}

function show(c) {
  c.box.querySelector(".value").textContent = fmt(c.last);
  c.box.querySelector(".stats").textContent = c.count === 0 ? "no readings yet" :
    "min " + fmt(c.min) + "  max " + fmt(c.max) + "  mean " + fmt(c.sum / c.count) + "  (" + c.count + " readings)";
  c.box.querySelector(".problem").textContent =
    c.status === "gap" ? "board away: " + c.d.text : c.status === "error" ? "error: " + c.d.text : "";
  // What the plot holds, for a reader of the page's DOM.
  const canvas = c.box.querySelector("canvas");
  const lastPoint = c.data.length ? c.data[c.data.length - 1].y : null;
  canvas.dataset.points = c.data.length;
  canvas.dataset.last = lastPoint === null ? "" : String(lastPoint);
}

function take(e) {
  const c = channels[e.i];
  if (!c) return;
  // An alarm raised or cleared is a mark; the channel's reading and state stay.
  if (e.s === "alarm") {
    c.marks.push([e.t, "alarm", e.x]);
    return;
  }
  if (e.s === "gap") {
    c.data.push({ x: e.t, y: null });
    c.marks.push([e.t, "gap", e.x]);
  } else if (e.s === "ok") {
    if (c.status === "gap") c.marks.push([e.t, "reconnect", ""]);
    c.data.push({ x: e.t, y: e.v });
    c.last = e.v;
    c.min = c.count === 0 ? e.v : Math.min(c.min, e.v);
    c.max = c.count === 0 ? e.v : Math.max(c.max, e.v);
    c.sum += e.v;
    c.count += 1;
  }
  c.status = e.s;
  c.d.text = e.x;
  follow(c, e);
}

function trim(c, now) {
  const oldest = now - minutes * 60000;
  let n = 0;
  while (n < c.data.length && c.data[n].x < oldest) n++;
  if (n) c.data.splice(0, n);
  while (c.data.length > 5000) c.data.shift();
  if (c.marks.length > 200) c.marks.splice(0, c.marks.length - 200);
}

// The plot of several channels over a chosen range: its data from /history, or from what
// the page has seen while it follows the present without a recording to read.
const picked = new Set();
let selection = null;

// Plain options each time: the chart's own are proxies that do not copy.
function timeAxis() {
  return { type: "linear", min: view.from, max: view.to, title: { display: true, text: "UTC" },
           ticks: { maxTicksLimit: 8, callback: (v) => tick(v, view.to - view.from) } };
}

function makePlot() {
  if (!window.Chart) return;
  const canvas = document.getElementById("history-plot");
  plot = new Chart(canvas, {
    type: "line",
    data: { datasets: [] },
    options: { animation: false, responsive: true, parsing: false, normalized: true,
               interaction: { mode: "nearest", axis: "x", intersect: false },
               plugins: { legend: { labels: { filter: (item, data) => !data.datasets[item.datasetIndex].band } },
                          tooltip: { callbacks: { title: (items) => items.length ? iso(items[0].parsed.x) : "" } } },
               scales: { x: timeAxis() } },
    plugins: [overlay({
      marks: () => view.marks.concat(noteMarks(view.from, view.to)),
      limits: () => limitLines(),
      selection: () => selection })]
  });
  // Drag to zoom into a span, shift-drag to move along, the wheel to zoom about the pointer.
  let start = null;
  canvas.addEventListener("mousedown", (ev) => { start = { px: ev.offsetX, shift: ev.shiftKey, from: view.from, to: view.to }; });
  canvas.addEventListener("mousemove", (ev) => {
    if (!start) return;
    if (start.shift) {
      const x = plot.scales.x;
      const dt = x.getValueForPixel(start.px) - x.getValueForPixel(ev.offsetX);
      view.from = start.from + dt; view.to = start.to + dt; view.follow = false;
      applyRange();
    } else {
      selection = [start.px, ev.offsetX];
      plot.update("none");
    }
  });
  window.addEventListener("mouseup", (ev) => {
    if (!start) return;
    const s = start;
    start = null;
    if (s.shift) { load(); return; }
    const sel = selection;
    selection = null;
    if (sel && Math.abs(sel[1] - sel[0]) > 5) {
      const x = plot.scales.x;
      setRange(x.getValueForPixel(Math.min(sel[0], sel[1])), x.getValueForPixel(Math.max(sel[0], sel[1])));
    } else {
      plot.update("none");
    }
  });
  let wheelTimer = null;
  canvas.addEventListener("wheel", (ev) => {
    ev.preventDefault();
    const at = plot.scales.x.getValueForPixel(ev.offsetX);
    const f = ev.deltaY > 0 ? 1.5 : 1 / 1.5;
    view.from = at - (at - view.from) * f; view.to = at + (view.to - at) * f; view.follow = false;
    applyRange();
    clearTimeout(wheelTimer);
    wheelTimer = setTimeout(load, 250);
  }, { passive: false });
}

function axisOf(unit) { return "y-" + (unit || "none"); }

function limitLines() {
  const out = [];
  for (const s of view.series) {
    if (!picked.has(s.key) || !s.limits) continue;
    for (const l of s.limits) out.push([l.value, s.name + " " + l.label, axisOf(s.unit), s.colour]);
  }
  return out;
}

function channelInfo(board, name) {
  return channels.find((c) => c && c.d.board === board && c.d.name === name);
}

// Puts the series into the plot: one axis a unit, titled with it; summaries with their
// minimum-to-maximum band.
function fill() {
  if (!plot) return;
  const sets = [];
  const scales = { x: timeAxis() };
  let side = 0;
  for (const s of view.series) {
    if (!picked.has(s.key)) continue;
    const axis = axisOf(s.unit);
    if (!scales[axis])
      scales[axis] = { position: side++ % 2 ? "right" : "left", title: { display: true, text: s.unit || "(no unit)" },
                       grid: { drawOnChartArea: side === 1 } };
    const range = limitRange(s.limits);
    if (range.suggestedMin !== undefined) {
      const a = scales[axis];
      a.suggestedMin = Math.min(range.suggestedMin, a.suggestedMin ?? Infinity);
      a.suggestedMax = Math.max(range.suggestedMax, a.suggestedMax ?? -Infinity);
    }
    if (s.band) {
      sets.push({ label: s.label + " min", band: true, data: s.low, yAxisID: axis, borderWidth: 0, pointRadius: 0,
                  spanGaps: view.step * 1.5 });
      sets.push({ label: s.label + " max", band: true, data: s.high, yAxisID: axis, borderWidth: 0, pointRadius: 0,
                  backgroundColor: s.colour + "33", fill: "-1", spanGaps: view.step * 1.5 });
    }
    sets.push({ label: s.label + (s.unit ? " (" + s.unit + ")" : ""), data: s.data, yAxisID: axis,
                borderColor: s.colour, backgroundColor: s.colour, borderWidth: 1.5,
                pointRadius: view.step === 0 && s.data.length < 300 ? 2 : 0,
                spanGaps: view.step ? view.step * 1.5 : false });
  }
  plot.options.scales = scales;
  plot.data.datasets = sets;
  applyRange();
  const canvas = document.getElementById("history-plot");
  canvas.dataset.series = sets.filter((d) => !d.band).length;
  canvas.dataset.points = sets.filter((d) => !d.band).reduce((n, d) => n + d.data.length, 0);
  canvas.dataset.axes = Object.keys(scales).filter((k) => k !== "x").map((k) => scales[k].title.text).join(",");
}

function applyRange() {
  document.getElementById("from").value = iso(view.from).substring(0, 19).replace("T", " ");
  document.getElementById("to").value = view.follow ? "now" : iso(view.to).substring(0, 19).replace("T", " ");
  if (!plot) return;
  plot.options.scales.x.min = view.from;
  plot.options.scales.x.max = view.to;
  plot.update("none");
}

function showPicks() {
  const box = document.getElementById("picks");
  box.replaceChildren();
  for (const s of view.series) {
    const label = document.createElement("label");
    const check = document.createElement("input");
    check.type = "checkbox";
    check.checked = picked.has(s.key);
    check.addEventListener("change", () => { if (check.checked) picked.add(s.key); else picked.delete(s.key); fill(); });
    label.append(check, " " + s.label);
    label.style.color = s.colour;
    box.append(label);
  }
}

function seriesOf(board, name, unit, n) {
  const info = channelInfo(board, name);
  return { key: key(board, name), board, name, unit, label: board + " / " + name,
           colour: palette[n % palette.length], limits: info ? info.d.limits : [],
           data: [], low: [], high: [], band: false };
}

let loading = 0;
async function load() {
  const state = document.getElementById("history-state");
  if (!hasHistory) {
    // Without a recording to read, the plot shows what the page has seen.
    view.source = "live";
    view.step = 0;
    view.marks = [];
    view.series = channels.filter((c) => c).map((c, n) => {
      const s = seriesOf(c.d.board, c.d.name, c.d.unit, n);
      s.data = c.data.slice();
      for (const m of c.marks) view.marks.push(m);
      return s;
    });
    for (const s of view.series) if (!document.body.dataset.picked) picked.add(s.key);
    document.body.dataset.picked = "1";
    showPicks();
    fill();
    state.textContent = "what the page has seen since it opened (the run writes no SQLite recording to read history from)";
    document.body.dataset.history = "live";
    return;
  }
  const ticket = ++loading;
  state.textContent = "loading " + iso(view.from) + " to " + iso(view.to);
  const started = performance.now();
  let answer;
  try {
    const reply = await fetch("/history?from=" + Math.floor(view.from) + "&to=" + Math.ceil(view.to), { cache: "no-store" });
    answer = await reply.json();
    if (!reply.ok) throw new Error(answer.error || reply.statusText);
  } catch (err) {
    if (ticket === loading) { state.textContent = "history: " + err.message; document.body.dataset.history = "error"; }
    return;
  }
  if (ticket !== loading) return;
  view.source = answer.source;
  view.step = answer.step;
  view.marks = answer.marks.map(([t, what, board, name, text]) => [t, what, text]);
  view.series = answer.channels.map((c, n) => {
    const s = seriesOf(c.board, c.name, c.unit, n);
    for (const p of c.points) {
      s.data.push({ x: p[0], y: p[1] });
      if (p.length > 2) { s.low.push({ x: p[0], y: p[2] }); s.high.push({ x: p[0], y: p[3] }); }
    }
    s.band = s.low.length > 0;
    return s;
  });
  if (!document.body.dataset.picked) for (const s of view.series) picked.add(s.key);
  document.body.dataset.picked = "1";
  showPicks();
  fill();
  const points = view.series.reduce((n, s) => n + s.data.length, 0);
  const took = performance.now() - started;
  state.textContent = (answer.source === "readings" ? "readings" : "per " + answer.source + " (mean, band from minimum to maximum)") +
    ": " + points + " points, " + view.marks.length + " marks" + (answer.truncated ? " (cut short: zoom in for all)" : "") +
    "; " + Math.round(took) + " ms";
  document.body.dataset.history = answer.source;
  document.body.dataset.historyMs = Math.round(took);
}

function setRange(from, to) {
  view.from = Math.max(0, from);
  view.to = Math.max(view.from + 1000, to);
  view.follow = false;
  applyRange();
  return load();
}

// The present as it comes, into a plot that follows it.
function follow(c, e) {
  if (!view.follow || !plot) return;
  const s = view.series.find((x) => x.key === key(c.d.board, c.d.name));
  if (!s) return;
  const last = s.data.length ? s.data[s.data.length - 1].x : -Infinity;
  if (e.s === "gap") s.data.push({ x: e.t, y: null });
  else if (e.s === "ok" && e.t - last >= view.step / 4) s.data.push({ x: e.t, y: e.v });
}

const ranges = [["live", 0], ["last hour", 3600e3], ["last 6 hours", 6 * 3600e3], ["last day", 86400e3],
                ["last week", 7 * 86400e3], ["last 4 weeks", 28 * 86400e3]];

function pickRange() {
  const span = ranges[document.getElementById("range").selectedIndex][1] || minutes * 60000;
  const now = Date.now();
  view.from = now - span; view.to = now; view.follow = true;
  applyRange();
  return load();
}

function download() {
  const lines = [view.step ? "time,board,name,unit,mean,min,max" : "time,board,name,unit,value"];
  const quote = (t) => /[",\r\n]/.test(t) ? '"' + t.replace(/"/g, '""') + '"' : t;
  for (const s of view.series) {
    if (!picked.has(s.key)) continue;
    s.data.forEach((p, n) => {
      if (p.x < view.from || p.x > view.to || p.y === null) return;
      const row = [iso(p.x), quote(s.board), quote(s.name), quote(s.unit), p.y];
      if (view.step) row.push(s.low[n] ? s.low[n].y : "", s.high[n] ? s.high[n].y : "");
      lines.push(row.join(","));
    });
  }
  for (const [t, what, text] of view.marks.concat(noteMarks(view.from, view.to)))
    if (what === "note") lines.push([iso(t), "", "", "", ""].join(",") + ",\"note: " + String(text).replace(/"/g, '""') + "\"");
  const csv = lines.join("\n") + "\n";
  document.body.dataset.csv = csv;
  const a = document.createElement("a");
  a.href = URL.createObjectURL(new Blob([csv], { type: "text/csv" }));
  a.download = "vantrel-" + iso(view.from).substring(0, 16).replace(/:/g, "") + ".csv";
  document.body.append(a);
  a.click();
  a.remove();
}

async function addNote() {
  const field = document.getElementById("note-text");
  const state = document.getElementById("history-state");
  const text = field.value;
  const reply = await fetch("/note?text=" + encodeURIComponent(text),
                            { method: "POST", headers: { "X-Requested-With": "vantrel" } });
  const answer = await reply.json();
  if (!reply.ok) { state.textContent = "note not written: " + answer.error; return; }
  field.value = "";
  state.textContent = "note written at " + answer.time;
}

let dirty = new Set();
function redraw() {
  const now = Date.now();
  for (const i of dirty) {
    const c = channels[i];
    trim(c, now);
    if (c.chart) {
      c.chart.options.scales.x.min = now - minutes * 60000;
      c.chart.options.scales.x.max = now;
      c.chart.update("none");
    }
    show(c);
  }
  if (view.follow && dirty.size) {
    const span = view.to - view.from;
    view.to = now; view.from = now - span;
    for (const s of view.series) {
      let n = 0;
      while (n < s.data.length && s.data[n].x < view.from) n++;
      if (n) { s.data.splice(0, n); s.low.splice(0, n); s.high.splice(0, n); }
    }
    applyRange();
  }
  dirty = new Set();
}

async function start() {
  const reply = await fetch("/data", { cache: "no-store" });
  const snapshot = await reply.json();
  minutes = snapshot.minutes;
  hasHistory = snapshot.history;
  for (const n of snapshot.notes) notes.push(n);
  view.to = snapshot.now; view.from = snapshot.now - minutes * 60000;
  snapshot.channels.forEach((d, i) => addChannel(i, d));
  showBoards(snapshot.boards);
  const select = document.getElementById("range");
  for (const [label, span] of ranges) {
    if (span && !hasHistory) continue;
    select.append(new Option(label !== "live" ? label : minutes === 1 ? "last minute" : "last " + minutes + " minutes"));
  }
  select.addEventListener("change", pickRange);
  document.getElementById("show").addEventListener("click", () => {
    const from = parseTime(document.getElementById("from").value), to = parseTime(document.getElementById("to").value);
    if (from === null || to === null || from >= to) { document.getElementById("history-state").textContent = "from and to: UTC times, from first (2026-12-08 06:30)"; return; }
    setRange(from, to);
    view.follow = document.getElementById("to").value.trim() === "" || document.getElementById("to").value.trim() === "now";
  });
  const move = (f) => () => { const span = view.to - view.from; setRange(view.from + f * span, view.to + f * span); };
  document.getElementById("back").addEventListener("click", move(-0.5));
  document.getElementById("forward").addEventListener("click", move(0.5));
  document.getElementById("zoom-out").addEventListener("click", () => {
    const span = view.to - view.from, mid = (view.from + view.to) / 2;
    setRange(mid - span, Math.min(mid + span, Date.now()));
  });
  document.getElementById("download").addEventListener("click", download);
  document.getElementById("note").addEventListener("click", addNote);
  makePlot();
  // A view to come back to: #from=MS&to=MS, or #range=N (of the list above).
  const asked = new URLSearchParams(location.hash.substring(1));
  if (hasHistory && asked.has("from") && asked.has("to")) {
    await setRange(Number(asked.get("from")), Number(asked.get("to")));
  } else if (hasHistory && asked.has("range")) {
    select.selectedIndex = Number(asked.get("range"));
    await pickRange();
  } else {
    await load();
  }
  const link = document.getElementById("link");
  const events = new EventSource("/events");
  events.onopen = () => { link.textContent = "live"; };
  events.onerror = () => { link.textContent = "connection lost: trying again"; };
  events.addEventListener("readings", (m) => {
    for (const e of JSON.parse(m.data)) {
      if (!channels[e.i]) continue;
      take(e);
      dirty.add(e.i);
    }
  });
  events.addEventListener("notes", (m) => {
    for (const n of JSON.parse(m.data)) notes.push(n);
    for (const c of channels) if (c) dirty.add(channels.indexOf(c));
    if (plot) plot.update("none");
  });
  events.addEventListener("boards", (m) => showBoards(JSON.parse(m.data)));
  setInterval(redraw, 250);
  // From the page's request to its plots drawn, for a reader of the DOM.
  document.body.dataset.readyMs = Math.round(performance.now());
  document.body.dataset.ready = "1";
}
start();
</script>
</body>
</html>
)html";

}  // namespace vantrel::publish
