// mossfit serve: the page. Each tab is one opened spectrum with its own model; the
// model travels with every request, the server keeps only the spectra and the fits.
"use strict";

const TOKEN = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);
const tabs = [];
let current = null;
let models = [];

function say(text, kind) {
  const m = $("message");
  m.textContent = text || "";
  m.className = text ? (kind || "error") : "";
}

async function api(path, body, method) {
  const opts = { method: method || (body === undefined ? "GET" : "POST"),
                 headers: { "X-Mosslib-Token": TOKEN } };
  if (body instanceof FormData) opts.body = body;
  else if (body !== undefined) {
    opts.headers["Content-Type"] = "application/json";
    opts.body = JSON.stringify(body);
  }
  const r = await fetch(path, opts);
  let data;
  try { data = await r.json(); } catch (e) { data = { error: `${r.status} ${r.statusText}` }; }
  if (!r.ok || data.error) {
    say(data.error || `${r.status} ${r.statusText}`);
    throw new Error(data.error || r.statusText);
  }
  return data;
}

function exportUrl(job, kind) {
  return `/api/job/${job}/export/${kind}?token=${encodeURIComponent(TOKEN)}`;
}

// ---- tabs -------------------------------------------------------------------------

function newTab(info) {
  const tab = { info, components: [], baseline: 2, params: null, order: [], undo: [],
                job: null, fitted: null, lines: {}, curves: null, selected: 0 };
  tabs.push(tab);
  select(tab);
}

function select(tab) {
  current = tab;
  renderTabs();
  renderAxis();
  renderComponents();
  renderParams();
  renderVerdict();
  $("baseline").value = tab.baseline;
  if (tab.components.length && tab.info.axis) update(); else drawData();
}

function renderTabs() {
  const nav = $("tabs");
  nav.textContent = "";
  for (const t of tabs) {
    const b = document.createElement("button");
    b.textContent = t.info.name;
    b.className = t === current ? "tab active" : "tab";
    b.onclick = () => select(t);
    nav.appendChild(b);
  }
}

function renderAxis() {
  const a = current && current.info.axis;
  $("axis-info").textContent = !current ? "" :
    a ? `${a.kind}: ` + Object.entries(a).filter(([k]) => k !== "kind" && k !== "n")
          .map(([k, v]) => `${k} ${typeof v === "number" ? +v.toPrecision(7) : v}`).join(", ")
      : "no velocity axis yet: calibrate a foil, apply a calibration, or type an axis";
}

// ---- model ------------------------------------------------------------------------

function renderComponents() {
  const box = $("components");
  box.textContent = "";
  if (!current) return;
  current.components.forEach((c, k) => {
    const d = document.createElement("div");
    d.className = "component" + (k === current.selected ? " selected" : "");
    d.textContent = `${c.prefix} ${c.model} `;
    d.onclick = () => { current.selected = k; renderComponents(); redraw(); };
    const x = document.createElement("button");
    x.textContent = "remove";
    x.onclick = (e) => {
      e.stopPropagation();
      pushUndo();
      current.components.splice(k, 1);
      if (current.params) for (const n of Object.keys(current.params))
        if (n.startsWith(c.prefix)) delete current.params[n];
      current.selected = 0;
      renderComponents();
      update(true);
    };
    d.appendChild(x);
    box.appendChild(d);
  });
}

function renderParams() {
  const body = $("params").querySelector("tbody");
  body.textContent = "";
  if (!current || !current.params) return;
  for (const name of current.order) {
    const p = current.params[name];
    const tr = document.createElement("tr");
    tr.dataset.name = name;
    const cell = (el) => { const td = document.createElement("td"); td.appendChild(el); tr.appendChild(td); return el; };
    const text = (s) => { const sp = document.createElement("span"); sp.textContent = s; return sp; };
    cell(text(name));
    const v = cell(document.createElement("input"));
    v.className = "value"; v.value = fmt(p.value); v.size = 10;
    v.onchange = () => edit(name, "value", v.value);
    cell(text(p.stderr == null ? "" : fmt(p.stderr))).className = "stderr";
    cell(text(p.unit || ""));
    const f = cell(document.createElement("input"));
    f.type = "checkbox"; f.checked = p.vary && !p.expr;
    f.onchange = () => edit(name, "vary", f.checked);
    for (const key of ["min", "max"]) {
      const b = cell(document.createElement("input"));
      b.size = 6; b.value = p[key] == null ? "" : fmt(p[key]);
      b.onchange = () => edit(name, key, b.value === "" ? null : b.value);
    }
    const t = cell(document.createElement("input"));
    t.size = 12; t.value = p.expr || ""; t.placeholder = "expression";
    t.onchange = () => edit(name, "expr", t.value);
    body.appendChild(tr);
  }
}

function fmt(x) {
  if (x == null || !isFinite(x)) return String(x);
  const a = Math.abs(x);
  return a !== 0 && (a < 1e-3 || a >= 1e6) ? x.toExponential(5) : String(+x.toPrecision(7));
}

function edit(name, key, value) {
  pushUndo();
  const p = current.params[name];
  if (key === "value" || key === "min" || key === "max") {
    if (value !== null && !isFinite(Number(value))) { say(`${name} ${key}: ${value} is not a number`); renderParams(); return; }
    p[key] = value === null ? null : Number(value);
  } else p[key] = value;
  if (key === "expr" && value) p.vary = false;
  update();
}

function definition(tab) {
  return { spectrum: tab.info.id, components: tab.components, baseline: tab.baseline,
           params: tab.params };
}

function pushUndo() {
  if (!current || !current.params) return;
  current.undo.push({ components: JSON.parse(JSON.stringify(current.components)),
                      params: JSON.parse(JSON.stringify(current.params)) });
  if (current.undo.length > 50) current.undo.shift();
  $("undo").disabled = false;
}

// One request in flight per tab; the newest model waits and replaces older waiting ones.
let inFlight = false, pending = null;
async function update(fresh) {
  if (!current || !current.components.length || !current.info.axis) { drawData(); return; }
  const tab = current;
  const def = definition(tab);
  if (fresh) def.params = null;
  if (inFlight) { pending = [tab, fresh]; return; }
  inFlight = true;
  try {
    const t0 = performance.now();
    const r = await api("/api/model", def);
    tab.lastUpdateMs = performance.now() - t0;
    // Only a fresh model takes the server's starting values; otherwise the page's own
    // values (typed or dragged since this request left) stand.
    if (def.params === null || !tab.params) setParams(tab, r.params);
    tab.curves = r.curves;
    tab.lines = r.curves.lines;
    if (tab === current) { say(""); if (fresh) renderParams(); else refreshValues(); redraw(); }
  } catch (e) { /* the message bar says why */ }
  finally {
    inFlight = false;
    if (pending) { const [t, f] = pending; pending = null; if (t === current) update(f); }
  }
}

function setParams(tab, rows) {
  tab.params = {};
  tab.order = [];
  for (const row of rows) { tab.params[row.name] = row; tab.order.push(row.name); }
}

function refreshValues() {
  for (const tr of $("params").querySelectorAll("tbody tr")) {
    const p = current.params[tr.dataset.name];
    const v = tr.querySelector("input.value");
    if (p && v && document.activeElement !== v) v.value = fmt(p.value);
  }
}

// ---- plots ------------------------------------------------------------------------

let plot = null, resid = null;
const COLOURS = ["#d62728", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf"];

function plotSize() {
  const w = Math.max(400, $("plots").clientWidth - 20);
  return { width: w, height: Math.round(w * 0.5) };
}

function drawData() {
  if (!current) return;
  const counts = current.info.counts;
  const x = counts.map((_, i) => i);
  const top = [...counts].sort((a, b) => a - b)[Math.floor(counts.length * 0.95)] || 1;
  makePlot([x, counts.map((c) => c / top)], ["data"], "channel", null);
}

function redraw() {
  if (!current || !current.curves) { drawData(); return; }
  const c = current.curves;
  const names = Object.keys(c.components);
  const data = [c.velocity, c.data, c.model, ...names.map((n) => c.components[n])];
  makePlot(data, ["data", "model", ...names], "velocity (mm/s)", c.residual);
}

let plotKey = "";
function makePlot(data, labels, xlabel, residual) {
  const key = [current && current.info.id, xlabel, ...labels].join("|");
  if (plot && key === plotKey && (!residual) === (!resid)) {  // same series: new data only
    plot.setData(data, false);
    plot.redraw();
    if (resid) resid.setData([data[0], residual], false);
    return;
  }
  plotKey = key;
  const size = plotSize();
  const series = [{ label: xlabel }];
  labels.forEach((l, k) => {
    if (k === 0) series.push({ label: l, stroke: "#1f77b4", paths: () => null,
                                points: { show: true, size: 3, fill: "#1f77b4" } });
    else if (k === 1) series.push({ label: l, stroke: "#000", width: 1.5, points: { show: false } });
    else series.push({ label: l, stroke: COLOURS[(k - 2) % COLOURS.length], width: 1, dash: [4, 3],
                        points: { show: false } });
  });
  const opts = { ...size, series, legend: { show: true },
    scales: { x: { time: false } },
    axes: [{ label: xlabel }, { label: "relative transmission" }],
    cursor: { drag: { x: false, y: false } },
    hooks: { draw: [drawHandles], ready: [hookDrag] } };
  if (plot) plot.destroy();
  plot = new uPlot(opts, data, $("plot"));
  if (resid) { resid.destroy(); resid = null; }
  if (residual) {
    resid = new uPlot({ width: size.width, height: Math.round(size.height * 0.35),
      series: [{}, { label: "residual (σ)", stroke: "#555", paths: () => null,
                     points: { show: true, size: 2, fill: "#555" } }],
      scales: { x: { time: false } }, legend: { show: false },
      axes: [{ label: xlabel }, { label: "residual (σ)" }] }, [data[0], residual], $("resid"));
  }
}

function handleLines() {
  if (!current || !current.components.length) return [];
  const c = current.components[current.selected];
  return c ? (current.lines[c.prefix] || []).filter((v) => v != null) : [];
}

function drawHandles(u) {
  const lines = handleLines();
  const ctx = u.ctx;
  ctx.save();
  ctx.strokeStyle = "rgba(214,39,40,0.6)";
  ctx.lineWidth = 2 * devicePixelRatio;
  ctx.setLineDash([2, 4]);
  for (const v of lines) {
    const x = u.valToPos(v, "x", true);
    ctx.beginPath(); ctx.moveTo(x, u.bbox.top); ctx.lineTo(x, u.bbox.top + u.bbox.height); ctx.stroke();
  }
  ctx.restore();
}

// Drag a line: outer lines of a sextet scale the field, lines of a doublet the
// splitting, any other line (or shift-drag) moves the centre shift.
function hookDrag(u) {
  let drag = null;
  u.over.addEventListener("mousedown", (e) => {
    const lines = handleLines();
    if (!lines.length || !current.params) return;
    let best = -1, dist = 8;
    lines.forEach((v, k) => { const d = Math.abs(u.valToPos(v, "x") - e.offsetX); if (d < dist) { dist = d; best = k; } });
    if (best < 0) return;
    pushUndo();
    const c = current.components[current.selected];
    const get = (n) => current.params[c.prefix + n];
    const centre = (lines[0] + lines[lines.length - 1]) / 2;
    let mode = "shift";
    if (!e.shiftKey && lines.length >= 6 && (best === 0 || best === lines.length - 1) && get("field_T")) mode = "field";
    else if (!e.shiftKey && lines.length === 2 && get("quadrupole_splitting")) mode = "split";
    drag = { k: best, v0: lines[best], centre, half: (lines[lines.length - 1] - lines[0]) / 2, mode,
             start: { cs: get("centre_shift") && get("centre_shift").value,
                      field: get("field_T") && get("field_T").value,
                      qs: get("quadrupole_splitting") && get("quadrupole_splitting").value }, c };
    e.preventDefault();
  });
  window.addEventListener("mousemove", (e) => {
    if (!drag) return;
    const rect = u.over.getBoundingClientRect();
    const v = u.posToVal(e.clientX - rect.left, "x");
    const p = (n) => current.params[drag.c.prefix + n];
    if (drag.mode === "field" && drag.half > 0) p("field_T").value = drag.start.field * Math.abs(v - drag.centre) / drag.half;
    else if (drag.mode === "split" && drag.half > 0) p("quadrupole_splitting").value = drag.start.qs * Math.abs(v - drag.centre) / drag.half;
    else if (p("centre_shift")) p("centre_shift").value = drag.start.cs + (v - drag.v0);
    update();
  });
  window.addEventListener("mouseup", () => { drag = null; });
}

window.addEventListener("resize", () => { plotKey = ""; if (current) redraw(); });

// ---- fit, verdict, undo -----------------------------------------------------------

function renderVerdict() {
  const box = $("verdict");
  const ex = $("exports");
  box.textContent = ""; ex.textContent = "";
  $("report").textContent = "";
  if (!current || !current.fitted) return;
  const f = current.fitted;
  const h = document.createElement("div");
  h.className = "verdict " + f.verdict;
  h.id = "verdict-word";
  h.textContent = f.verdict;
  box.appendChild(h);
  const ul = document.createElement("ul");
  for (const r of f.reasons) { const li = document.createElement("li"); li.textContent = r; ul.appendChild(li); }
  box.appendChild(ul);
  const s = document.createElement("div");
  s.textContent = `reduced χ² ${fmt(f.redchi)}, ${f.nfev} evaluations`;
  box.appendChild(s);
  $("report").textContent = f.report;
  for (const kind of ["report.txt", "result.json", "fit.png", "fit.svg", "curves.csv"]) {
    const a = document.createElement("a");
    a.href = exportUrl(f.job, kind); a.textContent = kind; a.id = "export-" + kind.replace(".", "-");
    ex.appendChild(a);
  }
}

async function poll(tab, job, onDone) {
  for (;;) {
    await new Promise((r) => setTimeout(r, 250));
    let s;
    try { s = await api(`/api/job/${job}`); } catch (e) { return; }
    if (s.state === "running") { $("status").textContent = `running ${s.elapsed.toFixed(1)} s`; continue; }
    onDone(s);
    return;
  }
}

async function startFit() {
  if (!current) return say("open a spectrum first");
  const tab = current;
  let r;
  try { r = await api("/api/fit", definition(tab)); } catch (e) { return; }
  tab.job = r.job;
  $("fit").disabled = true; $("cancel").disabled = false;
  $("status").textContent = "running";
  poll(tab, r.job, (s) => {
    $("fit").disabled = false; $("cancel").disabled = true;
    tab.job = null;
    if (s.state !== "done") { $("status").textContent = s.state; if (s.error && s.state !== "cancelled") say(s.error); return; }
    $("status").textContent = `done in ${s.elapsed.toFixed(1)} s`;
    if (tab === current) pushUndo(); else tab.undo.push({ components: tab.components, params: tab.params });
    setParams(tab, s.params);
    tab.curves = s.curves; tab.lines = s.curves.lines;
    tab.fitted = { job: r.job, verdict: s.verdict, reasons: s.reasons, redchi: s.redchi,
                   nfev: s.nfev, report: s.report };
    if (tab === current) { say(""); renderParams(); renderVerdict(); redraw(); }
  });
}

// ---- actions ----------------------------------------------------------------------

async function init() {
  if (!TOKEN) say("this page needs the address with its token that mossfit serve printed");
  try {
    models = await api("/api/models");
    const sel = $("model-name");
    for (const m of models) {
      const o = document.createElement("option");
      o.value = m.name; o.textContent = `${m.name} — ${m.summary}`;
      sel.appendChild(o);
    }
    await listFiles();
  } catch (e) { return; }

  $("open").onclick = async () => {
    const rels = [...$("files").selectedOptions].map((o) => o.value);
    if (!rels.length) return say("choose a file in the list");
    for (const rel of rels) {
      try { newTab(await api("/api/open", { file: rel, exclude: $("exclude").value })); say(""); } catch (e) { return; }
    }
  };
  $("upload").onchange = async () => {
    const f = $("upload").files[0];
    if (!f) return;
    const form = new FormData();
    form.append("file", f); form.append("exclude", $("exclude").value);
    try { newTab(await api("/api/upload", form)); say(""); } catch (e) { /* said */ }
    $("upload").value = "";
  };
  const axisDone = (r) => { current.info = r; renderAxis(); if (r.calibration_report) $("report").textContent = r.calibration_report; update(!current.params); };
  $("set-axis").onclick = async () => {
    if (!current) return say("open a spectrum first");
    try { axisDone(await api("/api/axis", { spectrum: current.info.id, axis: $("axis").value })); } catch (e) { /* said */ }
  };
  $("use-calibration").onclick = async () => {
    if (!current) return say("open a spectrum first");
    const o = $("files").selectedOptions[0];
    if (!o) return say("choose the calibration (a JSON from mossfit calibrate, or a foil) in the file list");
    try { axisDone(await api("/api/axis", { spectrum: current.info.id, calibration: o.value })); } catch (e) { /* said */ }
  };
  $("calibrate").onclick = async () => {
    if (!current) return say("open a foil spectrum first");
    $("status").textContent = "calibrating";
    try { axisDone(await api("/api/calibrate", { spectrum: current.info.id })); $("status").textContent = "calibrated"; }
    catch (e) { $("status").textContent = ""; }
  };
  $("fold").onclick = async () => {
    if (!current) return say("open a spectrum first");
    const old = current;
    try {
      const info = await api("/api/fold", { spectrum: current.info.id });
      newTab(info);
      current.components = JSON.parse(JSON.stringify(old.components));
      current.baseline = old.baseline;
      renderComponents(); update(true);
    } catch (e) { /* said */ }
  };
  $("add").onclick = () => {
    if (!current) return say("open a spectrum first");
    if (!current.info.axis) return say("give the spectrum a velocity axis first");
    pushUndo();
    const used = new Set(current.components.map((c) => c.prefix));
    let k = 1; while (used.has(`c${k}_`)) k++;
    current.components.push({ model: $("model-name").value, prefix: `c${k}_` });
    current.selected = current.components.length - 1;
    // new parameters start from the data; the others keep their values
    const keep = current.params;
    current.params = null;
    renderComponents();
    update(true).then(() => {
      if (keep && current.params) {
        for (const [n, p] of Object.entries(keep)) if (current.params[n]) current.params[n] = p;
        renderParams(); update();
      }
    });
  };
  $("baseline").onchange = () => {
    if (!current) return;
    pushUndo();
    current.baseline = Number($("baseline").value);
    update(true);
  };
  $("fit").onclick = startFit;
  $("cancel").onclick = async () => {
    if (current && current.job) { try { await api(`/api/job/${current.job}/cancel`, {}); } catch (e) { /* said */ } }
  };
  $("undo").onclick = () => {
    if (!current || !current.undo.length) return;
    const u = current.undo.pop();
    current.components = u.components; current.params = u.params;
    current.order = Object.keys(u.params);
    $("undo").disabled = !current.undo.length;
    renderComponents(); renderParams(); update();
  };
  $("save-session").onclick = () => {
    if (!current) return say("nothing to save: open a spectrum first");
    const session = { mosslib_session: 1, spectrum: current.info.name, axis: current.info.axis,
                      components: current.components, baseline: current.baseline, params: current.params };
    const a = document.createElement("a");
    a.href = URL.createObjectURL(new Blob([JSON.stringify(session, null, 2)], { type: "application/json" }));
    a.download = (current.info.name.replace(/[^\w.-]+/g, "_") || "spectrum") + ".session.json";
    a.click();
  };
  $("open-session").onchange = async () => {
    const f = $("open-session").files[0];
    $("open-session").value = "";
    if (!f) return;
    let s;
    try { s = JSON.parse(await f.text()); } catch (e) { return say(`${f.name}: not a session file`); }
    if (!s || s.mosslib_session !== 1 || !Array.isArray(s.components)) return say(`${f.name}: not a session file`);
    if (!current || current.info.name !== s.spectrum) {
      try { newTab(await api("/api/open", { file: s.spectrum })); } catch (e) { return; }
    }
    pushUndo();
    current.components = s.components; current.baseline = s.baseline ?? 2;
    current.params = s.params; current.order = Object.keys(s.params || {});
    $("baseline").value = current.baseline;
    renderComponents(); renderParams(); update(!s.params);
  };
  $("batch").onclick = async () => {
    if (!current || !current.components.length) return say("build the model on one spectrum first");
    const rels = [...$("files").selectedOptions].map((o) => o.value);
    if (!rels.length) return say("choose the files of the batch in the list");
    const a = current.info.axis;
    const body = { files: rels, components: current.components, baseline: current.baseline,
                   axis: a ? axisText(a) : null };
    let r;
    try { r = await api("/api/batch", body); } catch (e) { return; }
    $("batch-status").textContent = "running";
    poll(current, r.job, (s) => {
      $("batch-status").textContent = s.state === "done" ? `done in ${s.elapsed.toFixed(1)} s` : s.state;
      if (s.state !== "done") { if (s.error) say(s.error); return; }
      showBatch(r.job, s.rows);
    });
  };
}

function axisText(a) {
  const kind = a.kind;
  const skip = new Set(["kind", "n"]);
  return `${kind}:` + Object.entries(a).filter(([k, v]) => !skip.has(k) && typeof v === "number")
    .map(([k, v]) => `${k}=${v}`).join(",");
}

function showBatch(job, rows) {
  const box = $("batch-result");
  box.textContent = "";
  const link = document.createElement("a");
  link.href = exportUrl(job, "table.csv"); link.textContent = "table.csv";
  box.appendChild(link);
  const names = rows.length ? Object.keys(rows[0].values).filter((n) => !n.startsWith("base_") && !n.startsWith("axis_")).slice(0, 4) : [];
  const t = document.createElement("table");
  const head = document.createElement("tr");
  for (const h of ["file", "verdict", ...names]) { const th = document.createElement("th"); th.textContent = h; head.appendChild(th); }
  t.appendChild(head);
  for (const r of rows) {
    const tr = document.createElement("tr");
    for (const x of [r.name, r.verdict, ...names.map((n) => fmt(r.values[n]) + (r.stderr[n] != null ? ` ± ${fmt(r.stderr[n])}` : ""))]) {
      const td = document.createElement("td"); td.textContent = x; tr.appendChild(td);
    }
    t.appendChild(tr);
  }
  box.appendChild(t);
  if (names.length && rows.length > 1) {
    const div = document.createElement("div");
    box.appendChild(div);
    new uPlot({ width: 360, height: 200, scales: { x: { time: false } },
      series: [{ label: "spectrum" }, { label: names[0], stroke: "#d62728", points: { show: true, size: 5 } }],
      axes: [{ label: "spectrum (order of the list)" }, { label: names[0] }] },
      [rows.map((_, i) => i + 1), rows.map((r) => r.values[names[0]] ?? null)], div);
  }
}

async function listFiles() {
  const r = await api("/api/files");
  $("root").textContent = r.root;
  const sel = $("files");
  sel.textContent = "";
  for (const f of r.files) { const o = document.createElement("option"); o.value = f; o.textContent = f; sel.appendChild(o); }
}

init();
