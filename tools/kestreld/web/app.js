// The front panel: one board at a time, driven through kestreld's JSON API.
// The daemon's status stream (about once a second) keeps every readout
// current, whoever changed the board; the controls post only the fields of
// their own form, and say what the daemon answered.
"use strict";

const TREND_POINTS = 300;
const SVG = "http://www.w3.org/2000/svg";

const state = { board: null, events: null, plot: null, trend: [[], [], [], []], planFor: null, token: null,
                limits: null };

const $ = (id) => document.getElementById(id);

function mhz(value) {
  return Number(value).toFixed(Math.abs(value) >= 1000 ? 3 : 4).replace(/\.?0+$/, "") + " MHz";
}

function lookup(object, path) {
  return path.split(".").reduce((o, key) => (o == null ? undefined : o[key]), object);
}

// ---- talking to the daemon --------------------------------------------------

async function api(path, options = {}) {
  const response = await fetch(path, options);
  let body = null;
  try {
    body = await response.json();
  } catch (e) {
    body = { error: "the daemon answered " + response.status + " without JSON" };
  }
  return { ok: response.ok, status: response.status, body };
}

function boardPath(suffix = "") {
  return "/api/boards/" + encodeURIComponent(state.board) + suffix;
}

// Every change carries the daemon's token, which only a page of the daemon's
// own origin can read.
async function post(settings) {
  return api(boardPath("/settings"), {
    method: "POST",
    headers: { "Content-Type": "application/json", Authorization: "Bearer " + state.token },
    body: JSON.stringify(settings),
  });
}

// ---- the board's limits, from the daemon ---------------------------------------

// 40000 → "40 k", 50000000 → "50 M": ranges in Hz read at a glance.
function compact(value) {
  for (const [scale, prefix] of [[1e6, " M"], [1e3, " k"]]) {
    if (Math.abs(value) >= scale && value % scale === 0) return value / scale + prefix;
  }
  return String(value);
}

function rangeText(limit) {
  if (limit.exclusive) return "above " + compact(limit.min) + " and below " + compact(limit.max);
  return compact(limit.min) + "–" + compact(limit.max);
}

// Every field takes its range from GET /api/limits, which the daemon takes
// from the board's own facts: the page restates none of them.
function applyLimits(limits) {
  state.limits = limits;
  $("version").textContent = "kestreld " + limits.version;
  for (const input of document.querySelectorAll("input[name]")) {
    const limit = limits.settings[input.name];
    if (!limit || limit.min === undefined) continue;
    // An open range has no inclusive bound for the browser to hold to.
    if (!limit.exclusive) {
      input.min = limit.min;
      input.max = limit.max;
    }
    if (limit.kind === "integer") input.step = "1";
  }
  for (const span of document.querySelectorAll("[data-range]")) {
    const limit = limits.settings[span.dataset.range];
    if (limit) span.textContent = rangeText(limit);
  }
  for (const [field, id] of [["points", "sweep-points"], ["dwellSeconds", "sweep-dwell"]]) {
    const limit = limits.sweep[field];
    $(id).min = limit.min;
    $(id).max = limit.max;
    document.querySelector("[data-sweep-range=" + field + "]").textContent = limit.min + "–" + limit.max;
  }
}

// ---- what each control did ----------------------------------------------------

function report(resultId, what, outcome, note = "") {
  const ok = outcome.ok;
  const text = ok ? what + ": ok" + note : what + ": error " + outcome.status + " — " + (outcome.body && outcome.body.error);
  const result = $(resultId);
  result.textContent = text;
  result.className = "result " + (ok ? (note ? "warn" : "ok") : "error");
  const item = document.createElement("li");
  item.className = ok ? "ok" : "error";
  item.textContent = new Date().toLocaleTimeString() + "  " + text;
  $("log").prepend(item);
  while ($("log").children.length > 50) $("log").lastChild.remove();
  if (outcome.body && outcome.body.board) showStatus(outcome.body.board);
}

// The form's fields as the settings resource takes them ("fm.rateHz" nests):
// those edited since the form was filled or last applied, or every filled
// one when none was (Apply again re-applies) or the form goes as a whole
// (the calibration source with its file). Empty fields are left out.
function formSettings(form) {
  const settings = {};
  const put = (path, value) => {
    const keys = path.split(".");
    let target = settings;
    keys.slice(0, -1).forEach((k) => (target = target[k] = target[k] || {}));
    target[keys[keys.length - 1]] = value;
  };
  const inputs = [...form.querySelectorAll("input[name]")];
  const edited = form.dataset.whole ? [] : inputs.filter((input) => input.dataset.edited);
  const chosen = new Set((edited.length ? edited : inputs).map((input) => input.name));
  for (const input of inputs.filter((i) => chosen.has(i.name))) {
    if (input.type === "radio") {
      if (input.checked) put(input.name, input.value);
    } else if (input.type === "checkbox") {
      put(input.name, input.checked);
    } else if (input.value.trim() !== "") {
      put(input.name, input.dataset.kind ? Number(input.value) : input.value);
    }
  }
  return settings;
}

function wireForm(formId, resultId, what, adjust = (s) => s) {
  $(formId).addEventListener("submit", async (event) => {
    event.preventDefault();
    const settings = adjust(formSettings(event.target));
    const outcome = await post(settings);
    if (outcome.ok) event.target.querySelectorAll("input[name]").forEach((input) => delete input.dataset.edited);
    const clock = settings.clockMHz !== undefined && outcome.body && outcome.body.board && outcome.body.board.clock;
    report(resultId, what, outcome, clock && producedNote(clock) ? ", but " + producedNote(clock) : "");
  });
  $(formId).addEventListener("input", (event) => (event.target.dataset.edited = "1"));
  $(formId).addEventListener("change", (event) => (event.target.dataset.edited = "1"));
}

// ---- readouts -----------------------------------------------------------------

function showStatus(status) {
  const banner = $("banner");
  banner.hidden = status.available;
  banner.textContent = status.available
    ? ""
    : "Board " + status.name + " is unavailable: the daemon is reconnecting to " + status.address + ".";
  const locked = status.vco && status.vco.locked;
  const lock = $("vco-lock");
  lock.textContent = locked == null ? "unknown" : locked ? "locked" : "unlocked";
  lock.className = "pill " + (locked == null ? "" : locked ? "good" : "bad");
  $("vco-volts").textContent = status.vco && status.vco.volts != null ? status.vco.volts.toFixed(3) : "–";
  $("temp1").textContent = status.temperatures[0] ?? "–";
  $("temp2").textContent = status.temperatures[1] ?? "–";
  $("identity").textContent = status.identity ? status.identity.boardId + ", serial " + status.identity.serial : "–";
  showSettings(status.settings);
  showProduced(status.clock);
  const clock = status.settings.clockMHz;
  if (status.clock && status.clock.requestedMHz != null) {
    if (state.planFor !== clock) showPlan(clock);
  } else if (state.planFor !== null) {
    state.planFor = null;
    clearPlan();
  }
}

// What the board makes when it differs from the clock asked for: from the
// VCO's range on, the plan takes whole MHz.
function producedNote(clock) {
  if (clock.producedMHz == null || Math.abs(clock.errorHz) < 0.001) return "";
  return "the board makes " + mhz(clock.producedMHz) + ", not " + mhz(clock.requestedMHz) + " (" +
    (clock.errorHz > 0 ? "+" : "") + clock.errorHz.toFixed(0) + " Hz): the plan takes whole MHz in the VCO's range";
}

function showProduced(clock) {
  const note = clock ? producedNote(clock) : "";
  const warning = $("clock-produced");
  warning.hidden = !note;
  warning.textContent = note ? "Note: " + note + "." : "";
}

function showSettings(settings) {
  $("now-clock").textContent = settings.clockMHz;
  for (const output of document.querySelectorAll("output[data-now]")) {
    const value = lookup(settings, output.dataset.now);
    output.textContent = typeof value === "boolean" ? (value ? "on" : "off") : value;
  }
}

// Starts the inputs from the board's settings when a board is chosen.
function fillInputs(settings) {
  const clockLimit = state.limits && state.limits.settings.clockMHz;
  const knownClock = clockLimit && settings.clockMHz > clockLimit.min && settings.clockMHz < clockLimit.max;
  $("clock-mhz").value = knownClock ? settings.clockMHz : "";
  for (const input of document.querySelectorAll("form input[name]:not(#clock-mhz)")) {
    const value = lookup(settings, input.name);
    if (value === undefined) continue;
    if (input.type === "checkbox") input.checked = !!value;
    else if (input.type === "radio") input.checked = input.value === String(value).toLowerCase();
    else input.value = value;
  }
}

function addTrendPoint(status) {
  const t = Date.now() / 1000;
  const columns = [t, status.temperatures[0], status.temperatures[1], status.vco ? status.vco.volts : null];
  columns.forEach((v, i) => {
    state.trend[i].push(v);
    if (state.trend[i].length > TREND_POINTS) state.trend[i].shift();
  });
  $("trend").dataset.points = String(state.trend[0].length);
  if (state.plot) state.plot.setData(state.trend);
}

function makePlot() {
  const holder = $("trend");
  if (typeof window.uPlot !== "function") {
    $("trend-note").hidden = false;
    return null;
  }
  const options = {
    width: Math.max(260, holder.clientWidth),
    height: 180,
    series: [
      {},
      { label: "Temperature 1", stroke: "#c0392b", scale: "t" },
      { label: "Temperature 2", stroke: "#2471a3", scale: "t" },
      { label: "Tuning V", stroke: "#1e8449", scale: "v" },
    ],
    axes: [{}, { scale: "t" }, { scale: "v", side: 1, grid: { show: false } }],
  };
  const plot = new window.uPlot(options, state.trend, holder);
  new ResizeObserver(() => plot.setSize({ width: Math.max(260, holder.clientWidth), height: 180 })).observe(holder);
  return plot;
}

// ---- the plan diagram -----------------------------------------------------------

function node(tag, attributes, parent, text) {
  const element = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attributes)) element.setAttribute(k, v);
  if (text !== undefined) element.textContent = text;
  parent.appendChild(element);
  return element;
}

function planBoxes(plan) {
  const ref = plan.referencePath;
  const band = plan.vco.band;
  const segments = plan.channelDivider.segments.map((s) => "/" + s).join(" ");
  return [
    { id: "ref", title: "Reference", value: mhz(plan.referenceMHz),
      note: (ref.doubler ? "×2 " : "") + "×" + ref.multiplier + " /" + ref.preDivider + " /" + ref.postDivider },
    { id: "pd", title: "Phase detector", value: mhz(plan.phaseDetectorMHz),
      note: "N = " + plan.n.integer + " + " + plan.n.numerator + "/" + plan.n.denominator },
    { id: "vco", title: "VCO", value: mhz(plan.vco.frequencyMHz),
      note: band ? "band " + band.number + ": " + band.fromMHz + "–" + band.toMHz : "outside the bands" },
    { id: "div", title: "Channel divider", value: "/" + plan.channelDivider.division, note: "segments " + segments },
    { id: "a", title: "Output A", value: mhz(plan.outputs.a.frequencyMHz), note: "from " + plan.outputs.a.source },
    { id: "b", title: "Output B", value: mhz(plan.outputs.b.frequencyMHz), note: "from " + plan.outputs.b.source },
  ];
}

// Laptop: one row with the outputs stacked at the end; phone: one column.
function layout(narrow) {
  if (narrow) {
    const at = (i) => ({ x: 40, y: 10 + i * 92 });
    return { view: "0 0 320 560", w: 240, h: 70, pos: [at(0), at(1), at(2), at(3), { x: 10, y: 378 }, { x: 166, y: 378 }],
             bw: [240, 240, 240, 240, 144, 144] };
  }
  const xs = [10, 160, 310, 460];
  return { view: "0 0 760 210", w: 136, h: 74, pos: [...xs.map((x) => ({ x, y: 66 })), { x: 614, y: 10 }, { x: 614, y: 122 }],
           bw: [136, 136, 136, 136, 136, 136] };
}

function arrow(svg, from, to) {
  node("line", { x1: from.x, y1: from.y, x2: to.x, y2: to.y, class: "wire", "marker-end": "url(#head)" }, svg);
}

function drawPlan(plan) {
  const svg = $("plan-diagram");
  const narrow = svg.clientWidth > 0 && svg.clientWidth < 520;
  const l = layout(narrow);
  svg.setAttribute("viewBox", l.view);
  [...svg.querySelectorAll(":scope > :not(title):not(desc)")].forEach((e) => e.remove());
  const defs = node("defs", {}, svg);
  const marker = node("marker", { id: "head", viewBox: "0 0 10 10", refX: 9, refY: 5, markerWidth: 7, markerHeight: 7,
                                  orient: "auto-start-reverse" }, defs);
  node("path", { d: "M0,0 L10,5 L0,10 z", class: "head" }, marker);
  const boxes = planBoxes(plan);
  const centre = (i, side) => {
    const p = l.pos[i], w = l.bw[i];
    if (side === "right") return { x: p.x + w, y: p.y + l.h / 2 };
    if (side === "left") return { x: p.x, y: p.y + l.h / 2 };
    if (side === "bottom") return { x: p.x + w / 2, y: p.y + l.h };
    return { x: p.x + w / 2, y: p.y };
  };
  for (let i = 0; i < 3; i++) arrow(svg, centre(i, narrow ? "bottom" : "right"), centre(i + 1, narrow ? "top" : "left"));
  for (const out of [4, 5]) arrow(svg, centre(3, narrow ? "bottom" : "right"), centre(out, narrow ? "top" : "left"));
  boxes.forEach((box, i) => {
    const g = node("g", { id: "plan-" + box.id, class: "box" }, svg);
    const p = l.pos[i];
    node("rect", { x: p.x, y: p.y, width: l.bw[i], height: l.h, rx: 6 }, g);
    node("text", { x: p.x + 8, y: p.y + 18, class: "title" }, g, box.title);
    node("text", { x: p.x + 8, y: p.y + 40, class: "value" }, g, box.value);
    node("text", { x: p.x + 8, y: p.y + 60, class: "small" }, g, box.note);
  });
  $("plan-desc").textContent = boxes.map((b) => b.title + " " + b.value + " (" + b.note + ")").join(" → ");
  const error = plan.errorHz;
  $("plan-caption").textContent = "Plan for " + mhz(plan.requestedMHz) + ": output A is off by " +
    (Math.abs(error) < 0.0005 ? "0 Hz" : error.toPrecision(4) + " Hz") + "; modulator " +
    (plan.modulatorOrder ? "order " + plan.modulatorOrder : "off (integer N)") + ".";
  svg.dataset.outputA = String(plan.outputs.a.frequencyMHz);
}

function clearPlan() {
  const svg = $("plan-diagram");
  [...svg.querySelectorAll(":scope > :not(title):not(desc)")].forEach((e) => e.remove());
  node("text", { x: 20, y: 40, class: "title" }, svg, "No clock set yet: set one to see the planner's choice.");
  $("plan-desc").textContent = "No plan yet.";
  state.plan = null;
}

async function showPlan(clockMHz) {
  state.planFor = clockMHz;
  const outcome = await api(boardPath("/plan?mhz=" + encodeURIComponent(clockMHz)));
  if (outcome.ok && state.planFor === clockMHz) {
    state.plan = outcome.body;
    drawPlan(outcome.body);
  }
}

// ---- the stored configuration ---------------------------------------------------

function readConfig() {
  const progress = $("config-progress");
  const button = $("config-read");
  progress.hidden = false;
  progress.value = 0;
  button.disabled = true;
  const finish = (outcome, config) => {
    progress.hidden = true;
    button.disabled = false;
    stream.close();
    report("config-result", "read stored configuration", outcome);
    if (!config) return;
    const list = $("config");
    list.replaceChildren();
    for (const [name, value] of Object.entries(config)) {
      const dt = document.createElement("dt");
      dt.textContent = name;
      const dd = document.createElement("dd");
      dd.textContent = String(value);
      list.append(dt, dd);
    }
  };
  const stream = new EventSource(boardPath("/config?read=board"));
  stream.addEventListener("progress", (e) => (progress.value = JSON.parse(e.data).fraction));
  stream.addEventListener("config", (e) => finish({ ok: true, status: 200, body: {} }, JSON.parse(e.data)));
  stream.addEventListener("failure", (e) => {
    const body = JSON.parse(e.data);
    finish({ ok: false, status: body.status, body });
  });
  stream.onerror = () => finish({ ok: false, status: 0, body: { error: "the stream from the daemon broke off" } });
}

// ---- the sweep ---------------------------------------------------------------------

async function postSweep(body) {
  return api(boardPath("/sweep"), {
    method: "POST",
    headers: { "Content-Type": "application/json", Authorization: "Bearer " + state.token },
    body: JSON.stringify(body),
  });
}

function showSweep(sweep) {
  const where = sweep.state === "idle" ? "idle" : sweep.state + ", point " + (sweep.index + 1);
  $("sweep-state").textContent = where + " (" + sweep.mode + ")";
}

function fillSweep(sweep) {
  $("sweep-start").value = sweep.startHz / 1e6;
  $("sweep-stop").value = sweep.stopHz / 1e6;
  $("sweep-points").value = sweep.points;
  $("sweep-dwell").value = sweep.dwellSeconds;
  $("sweep-spacing").value = sweep.spacing;
}

// While a run goes on, its point twice a second; then once more, idle.
async function followSweep() {
  const outcome = await api(boardPath("/sweep"));
  if (!outcome.ok) return;
  showSweep(outcome.body);
  if (outcome.body.state !== "idle") setTimeout(followSweep, 500);
}

async function sweepAction(what, body) {
  const outcome = await postSweep(body);
  if (outcome.body && outcome.body.sweep) showSweep(outcome.body.sweep);
  report("sweep-result", what, outcome);
  if (outcome.ok) followSweep();
}

function wireSweep() {
  $("sweep-form").addEventListener("submit", (event) => {
    event.preventDefault();
    sweepAction("sweep", {
      mode: "sweep",
      startHz: Number($("sweep-start").value) * 1e6,
      stopHz: Number($("sweep-stop").value) * 1e6,
      points: Number($("sweep-points").value),
      dwellSeconds: Number($("sweep-dwell").value),
      spacing: $("sweep-spacing").value,
      trigger: "immediate",
      action: "start",
    });
  });
  $("sweep-abort").addEventListener("click", () => sweepAction("sweep abort", { action: "abort" }));
  $("sweep-cw").addEventListener("click", () => sweepAction("return to CW", { mode: "cw" }));
}

async function loadSweep() {
  const outcome = await api(boardPath("/sweep"));
  if (!outcome.ok) return;
  fillSweep(outcome.body);
  showSweep(outcome.body);
  if (outcome.body.state !== "idle") followSweep();
}

// ---- choosing a board -------------------------------------------------------------

function follow(name) {
  if (state.events) state.events.close();
  state.board = name;
  state.planFor = undefined;
  clearPlan();
  state.trend = [[], [], [], []];
  if (state.plot) state.plot.setData(state.trend);
  history.replaceState(null, "", "#" + encodeURIComponent(name));
  loadSweep();
  let first = true;
  const events = new EventSource(boardPath("/events"));
  events.addEventListener("status", (e) => {
    const status = JSON.parse(e.data);
    if (first) fillInputs(status.settings);
    first = false;
    showStatus(status);
    addTrendPoint(status);
    $("link").textContent = "live";
    $("link").className = "pill good";
  });
  events.onerror = () => {
    $("link").textContent = "reconnecting to the daemon…";
    $("link").className = "pill bad";
  };
  state.events = events;
}

async function start() {
  state.plot = makePlot();
  const token = await api("/api/token");
  state.token = token.ok ? token.body.token : null;
  const limits = await api("/api/limits");
  if (limits.ok) applyLimits(limits.body);
  const outcome = await api("/api/boards");
  const select = $("board");
  if (!outcome.ok || outcome.body.length === 0) {
    $("banner").hidden = false;
    $("banner").textContent = "The daemon serves no board.";
    return;
  }
  for (const board of outcome.body) select.append(new Option(board.name + (board.emulator ? " (emulator)" : ""), board.name));
  const wanted = decodeURIComponent(location.hash.slice(1));
  if (outcome.body.some((b) => b.name === wanted)) select.value = wanted;
  select.addEventListener("change", () => follow(select.value));
  follow(select.value);

  wireForm("clock-form", "clock-result", "clock");
  wireForm("outputs-form", "outputs-result", "outputs");
  wireForm("fm-form", "fm-result", "FM");
  wireForm("tx2-form", "tx2-result", "Tx2 modulation");
  wireForm("cal-form", "cal-result", "calibration source", (s) => {
    if (s.calibration && s.calibration.source !== "file") delete s.calibration.path;
    return s;
  });
  wireSweep();
  $("config-read").addEventListener("click", readConfig);
  matchMedia("(max-width: 560px)").addEventListener("change", () => state.plan && drawPlan(state.plan));
}

document.addEventListener("DOMContentLoaded", start);
