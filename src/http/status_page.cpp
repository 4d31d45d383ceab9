#include "http/status_page.h"

namespace vexahv::http {

const std::string& statusPage() {
  static const std::string page = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>HV OPC server</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 0; padding: 0.8em; background: #f6f6f4; color: #222; }
  h1 { font-size: 1.2em; margin: 0 0 0.4em; }
  h2 { font-size: 1em; margin: 1em 0 0.3em; }
  #summary { color: #555; font-size: 0.9em; }
  .crates { display: grid; grid-template-columns: repeat(auto-fill, minmax(15em, 1fr)); gap: 0.5em; }
  .crate { background: #fff; border-left: 0.4em solid #999; padding: 0.4em 0.6em; border-radius: 0.2em; }
  .crate.connected { border-color: #2a8a3a; }
  .crate.lost { border-color: #c0392b; }
  .crate .name { font-weight: 600; }
  .crate .detail { font-size: 0.85em; color: #555; }
  table { border-collapse: collapse; width: 100%; background: #fff; font-size: 0.9em; }
  td, th { text-align: left; padding: 0.25em 0.4em; border-bottom: 1px solid #ddd; vertical-align: top; }
  .stale { color: #c0392b; }
</style>
</head>
<body>
<h1>HV OPC server</h1>
<div id="summary">waiting for the first figures...</div>
<h2>Crates</h2>
<div class="crates" id="crates"></div>
<h2>Active alarms</h2>
<table><thead><tr><th>severity</th><th>alarm</th><th>acknowledged</th><th>message</th></tr></thead><tbody id="alarms"></tbody></table>
<h2>OPC UA clients</h2>
<table><thead><tr><th>user</th><th>address</th><th>security</th><th>session</th><th>items</th></tr></thead><tbody id="clients"></tbody></table>
<script>
"use strict";
function cell(row, text) { const td = document.createElement("td"); td.textContent = text; row.appendChild(td); }
// Each crate's applied event counts of the last minute's polls: the rate over that minute.
const seen = new Map();
function rate(c) {
  const now = Date.now();
  const history = (seen.get(c.name) || []).filter((h) => now - h.t <= 60000);
  history.push({ t: now, n: c.eventsApplied });
  seen.set(c.name, history);
  const first = history[0];
  return now > first.t ? (c.eventsApplied - first.n) * 1000 / (now - first.t) : 0;
}
function show(s) {
  document.getElementById("summary").textContent = "release " + s.release + " · " + s.crates.length + " crates · " +
    s.opcUaSessions + " OPC UA sessions · " + s.alarmsActive + " active alarms, " + s.alarmsUnacknowledged +
    " unacknowledged · updated " +
    new Date().toLocaleTimeString();
  document.getElementById("summary").className = "";
  const crates = document.getElementById("crates");
  crates.replaceChildren();
  for (const c of s.crates) {
    const box = document.createElement("div");
    box.className = "crate " + c.state;
    box.dataset.crate = c.name;
    const name = document.createElement("div"); name.className = "name"; name.textContent = c.name + " · " + c.state;
    const detail = document.createElement("div"); detail.className = "detail";
    detail.textContent = c.address + " · " + c.boards + " boards, " + c.channels + " channels · " +
      c.libraryCalls + " calls, " + c.libraryFailures + " failed · " + rate(c).toFixed(1) + " events/s over the last minute";
    box.append(name, detail);
    crates.appendChild(box);
  }
  const alarms = document.getElementById("alarms");
  alarms.replaceChildren();
  for (const a of s.alarms) {
    const row = document.createElement("tr");
    row.dataset.alarm = a.id;
    cell(row, a.severity); cell(row, a.id); cell(row, a.acknowledged ? "yes" : "no"); cell(row, a.message);
    alarms.appendChild(row);
  }
  const clients = document.getElementById("clients");
  clients.replaceChildren();
  for (const c of s.opcUa.clients) {
    const row = document.createElement("tr");
    row.dataset.client = c.address;
    cell(row, c.user || "(not activated)"); cell(row, c.address); cell(row, c.policy + " · " + c.mode);
    cell(row, c.session + " · " + Math.round(c.connectedSeconds) + " s");
    cell(row, c.subscriptions + " subscriptions, " + c.monitoredItems + " monitored items");
    clients.appendChild(row);
  }
}
async function update() {
  try {
    const answer = await fetch("/api/status", { cache: "no-store" });
    if (!answer.ok) throw new Error("HTTP " + answer.status);
    show(await answer.json());
  } catch (e) {
    const summary = document.getElementById("summary");
    summary.textContent = "no answer from the server (" + e.message + "); the figures below are old";
    summary.className = "stale";
  }
}
update();
setInterval(update, 2000);
</script>
</body>
</html>
)html";
  return page;
}

}  // namespace vexahv::http
