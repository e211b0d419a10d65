// vantrel publishing: the live page. One plot a channel over the last minutes, its value with
// its unit, minimum, maximum and mean, gaps and reconnects marked, and each board's status. It
// loads /data once, then follows /events; Chart.js comes from /chart.js.
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
<div id="channels"></div>
<script>
"use strict";
let minutes = 10;
const channels = [];

function fmt(v) {
  if (v === null || v === undefined || !isFinite(v)) return "\u2014";
  return Number(v.toPrecision(6)).toString();
}
function clock(ms) { return new Date(ms).toISOString().substring(11, 19); }

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

// Gaps, reconnects and alarms as vertical lines over the plot.
const markPlugin = {
  id: "marks",
  afterDatasetsDraw(chart) {
    const c = chart.$channel;
    if (!c) return;
    const x = chart.scales.x, area = chart.chartArea, g = chart.ctx;
    for (const [t, what, why] of c.marks) {
      if (t < x.min || t > x.max) continue;
      const px = x.getPixelForValue(t);
      g.save();
      g.strokeStyle = what === "gap" ? "#c00" : what === "alarm" ? "#d70" : "#0a0";
      g.setLineDash([4, 3]);
      g.beginPath(); g.moveTo(px, area.top); g.lineTo(px, area.bottom); g.stroke();
      g.fillStyle = g.strokeStyle;
      g.fillText(what === "alarm" ? why : what, px + 3, area.top + 10);
      g.restore();
    }
  }
};

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
  if (window.Chart) {
    c.chart = new Chart(box.querySelector("canvas"), {
      type: "line",
      data: { datasets: [{ label: d.name, data, borderColor: "#1f6fb4", borderWidth: 1.5,
                           pointRadius: 0, spanGaps: false }] },
      options: { animation: false, responsive: true, parsing: false, normalized: true,
                 plugins: { legend: { display: false } },
                 scales: { x: { type: "linear", ticks: { callback: clock, maxTicksLimit: 6 } } } },
      plugins: [markPlugin]
    });
    c.chart.$channel = c;
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
}

function trim(c, now) {
  const oldest = now - minutes * 60000;
  let n = 0;
  while (n < c.data.length && c.data[n].x < oldest) n++;
  if (n) c.data.splice(0, n);
  while (c.data.length > 5000) c.data.shift();
  if (c.marks.length > 200) c.marks.splice(0, c.marks.length - 200);
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
  dirty = new Set();
}

async function start() {
  const reply = await fetch("/data", { cache: "no-store" });
  const snapshot = await reply.json();
  minutes = snapshot.minutes;
  snapshot.channels.forEach((d, i) => addChannel(i, d));
  showBoards(snapshot.boards);
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
  events.addEventListener("boards", (m) => showBoards(JSON.parse(m.data)));
  setInterval(redraw, 250);
  document.body.dataset.ready = "1";
}
start();
</script>
</body>
</html>
)html";

}  // namespace vantrel::publish
