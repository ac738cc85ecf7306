// The line's page: the state tavrel-line sends over its WebSocket, drawn anew at each change.
// Every text from a station, a board or a port goes into the page as text, never as markup.
"use strict";

const token = new URLSearchParams(location.search).get("token");
const colours = ["#e57373", "#ffb74d", "#fff176", "#4fc3f7", "#ba68c8", "#a1887f", "#90a4ae",
                 "#f06292", "#aed581", "#7986cb"];

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined && text !== null) made.textContent = String(text);
  return made;
}

function percent(share) {
  return share === null || share === undefined ? "–" : (share * 100).toFixed(1) + " %";
}

function number(value, digits) {
  return value === null || value === undefined ? "–" : Number(value).toFixed(digits);
}

function acknowledged() {
  try { return new Set(JSON.parse(localStorage.getItem("tavrel-acknowledged") || "[]")); }
  catch (e) { return new Set(); }
}

function acknowledge(id) {
  const ids = acknowledged();
  ids.add(id);
  localStorage.setItem("tavrel-acknowledged", JSON.stringify([...ids]));
  if (window.lastState) render(window.lastState);
}

function figure(label, value, id) {
  const part = element("span", "figure");
  part.append(label + " ");
  const bold = element("b", null, value);
  if (id) bold.id = id;
  part.append(bold);
  return part;
}

function renderAlarms(alarms) {
  const box = document.getElementById("alarms");
  const done = acknowledged();
  box.replaceChildren();
  for (const alarm of alarms) {
    if (done.has(alarm.id)) continue;
    const row = element("div", "alarm");
    row.dataset.id = alarm.id;
    row.dataset.kind = alarm.kind;
    row.dataset.station = alarm.station;
    row.dataset.slot = alarm.slot;
    row.append(element("span", null, alarm.active ? alarm.text : alarm.text + " (cleared)"));
    if (!alarm.active) row.classList.add("cleared");
    const button = element("button", null, "Acknowledge");
    button.addEventListener("click", () => acknowledge(alarm.id));
    row.append(button);
    box.append(row);
  }
}

function renderStations(stations, figures, alarms) {
  const byStation = new Map(figures.map(f => [f.station, f]));
  const alarmed = new Set(alarms.filter(a => a.kind === "slot" && !acknowledged().has(a.id))
                                .map(a => a.station + "\u001f" + a.slot));
  const box = document.getElementById("stations");
  box.replaceChildren();
  for (const station of stations) {
    const own = byStation.get(station.station) || {};
    const block = element("div", "station");
    block.dataset.station = station.station;
    const head = element("div", "station-head");
    head.append(element("span", "name", station.station));
    head.append(figure("first pass", percent(own.first_pass_yield)));
    head.append(figure("boards/h", number(own.boards_per_hour, 0) + " of " +
                       number(own.ceiling_per_hour, 0)));
    head.append(figure("cycle p50/p95", number(own.cycle_seconds_p50, 1) + " / " +
                       number(own.cycle_seconds_p95, 1) + " s"));
    if (station.backlog > 0) head.append(figure("records waiting", station.backlog));
    block.append(head);
    const grid = element("div", "slots");
    for (const slot of station.slots) {
      const tile = element("div", "slot " + (slot.result || "none"));
      tile.dataset.station = station.station;
      tile.dataset.slot = slot.slot;
      tile.dataset.result = slot.result || "none";
      if (alarmed.has(station.station + "\u001f" + slot.slot)) tile.classList.add("alarmed");
      tile.append(element("div", "name", slot.slot));
      tile.append(element("div", "detail", slot.board_serial ? "SN " + slot.board_serial
                                                             : slot.usb_serial));
      tile.append(element("div", "detail", slot.result === "failed"
                                             ? slot.failure + ": " + slot.reason : slot.result));
      tile.title = slot.reason || "";
      grid.append(tile);
    }
    block.append(grid);
    box.append(block);
  }
}

function renderChart(hours) {
  const kinds = [...new Set(hours.flatMap(h => Object.keys(h.failures)))].sort();
  const count = (hour, kind) => Object.hasOwn(hour.failures, kind) ? hour.failures[kind] : 0;
  const most = Math.max(1, ...hours.map(h => Object.values(h.failures).reduce((a, b) => a + b, 0)));
  const ns = "http://www.w3.org/2000/svg";
  const width = 400, height = 160, bottom = 18;
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
  const step = width / Math.max(1, hours.length);
  hours.forEach((hour, i) => {
    let y = height - bottom;
    kinds.forEach((kind, k) => {
      const n = count(hour, kind);
      if (!n) return;
      const h = n / most * (height - bottom - 4);
      const bar = document.createElementNS(ns, "rect");
      bar.setAttribute("x", i * step + 2);
      bar.setAttribute("y", y - h);
      bar.setAttribute("width", Math.max(1, step - 4));
      bar.setAttribute("height", h);
      bar.setAttribute("fill", colours[k % colours.length]);
      const tip = document.createElementNS(ns, "title");
      tip.textContent = kind + ": " + n;
      bar.append(tip);
      svg.append(bar);
      y -= h;
    });
    const label = document.createElementNS(ns, "text");
    label.setAttribute("x", i * step + step / 2);
    label.setAttribute("y", height - 4);
    label.setAttribute("text-anchor", "middle");
    label.textContent = hour.hour.substring(11, 13) + "h";
    svg.append(label);
  });
  const legend = element("div", "legend");
  kinds.forEach((kind, k) => {
    const item = element("span", null, kind);
    item.style.setProperty("--swatch", colours[k % colours.length]);
    legend.append(item);
  });
  document.getElementById("chart").replaceChildren(svg, legend);
}

function renderFailures(failures) {
  const body = document.querySelector("#last-failures tbody");
  body.replaceChildren();
  for (const failure of failures) {
    const row = element("tr");
    for (const text of [failure.time.substring(11, 19), failure.station, failure.slot,
                        failure.board_serial, failure.failure + ": " + failure.reason]) {
      row.append(element("td", null, text));
    }
    body.append(row);
  }
}

function render(state) {
  window.lastState = state;
  const line = state.summary.line;
  document.getElementById("line-figures").replaceChildren(
    figure("first pass", percent(line.first_pass_yield), "line-yield"),
    figure("boards/h", number(line.boards_per_hour, 0) + " of " + number(line.ceiling_per_hour, 0)),
    figure("passed", line.passed, "line-passed"),
    figure("failed", line.failed, "line-failed"));
  document.getElementById("line-yield").dataset.value =
    line.first_pass_yield === null ? "" : line.first_pass_yield;
  const status = document.getElementById("status");
  status.textContent = state.store.reachable ? "live · " + state.time.substring(11, 19)
                                             : "line's store unreachable: " + state.store.error;
  status.className = state.store.reachable ? "status" : "status lost";
  renderAlarms(state.alarms);
  renderStations(state.stations, state.summary.stations, state.alarms);
  renderChart(state.summary.failures_by_hour);
  renderFailures(state.summary.last_failures);
  document.body.dataset.updated = String(Date.now());
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  const query = token ? "?token=" + encodeURIComponent(token) : "";
  const socket = new WebSocket(scheme + "//" + location.host + "/live" + query);
  socket.addEventListener("message", event => render(JSON.parse(event.data)));
  socket.addEventListener("close", () => {
    const status = document.getElementById("status");
    status.textContent = "tavrel-line unreachable: trying again";
    status.className = "status lost";
    setTimeout(connect, 1000);
  });
}

connect();
