// Event throughput and latency through the whole server: four simulated crates of 16
// boards x 48 channels (two reporting over UDP, two over TCP), every channel ramping, all
// of VMon and IMon (6,144 items) subscribed by one node-opcua client at 100 ms. Measures,
// over a window of the ramp: event records the crates sent and notifications the client
// received per second, server CPU and RSS; after the ramps, whether any value was lost
// (the client's last values against a device read); then the latency from the server's
// receipt of an event (the value's source timestamp, stamped when the event is applied)
// to the client's notification, at the server's fastest publishing interval.
// With --scrape, the HTTP endpoint is on and /metrics is read once a second throughout:
// its answer time and size, and the endpoint's threads' CPU, beside the same figures.
// History is kept as by default (its database's size is reported); --no-history turns it
// off, for the cost of keeping it.
//   node bench/events_measure.js [--scrape] [--no-history] [build/bin] [out.json]   (bounded: about 2 minutes)
"use strict";
const fs = require("fs");
const http = require("http");
const os = require("os");
const path = require("path");
const { execFileSync } = require("child_process");
const { startServer, waitUntilRunning } = require("../scripts/hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType,
  ClientSubscription, ClientMonitoredItem, TimestampsToReturn, StatusCodes,
} = require("../tests/interop/node_modules/node-opcua-client");

const scrape = process.argv.includes("--scrape");
const noHistory = process.argv.includes("--no-history");
const args = process.argv.slice(2).filter((a) => a !== "--scrape" && a !== "--no-history");
const bin = path.resolve(args[0] || "build/bin");
const out = args[1] || (scrape ? "build/events-measure-scrape.json" : "build/events-measure.json");
const HTTP_PORT = 31000 + (process.pid % 5000);
const BOARDS = 16, CHANNELS = 48, RAMP = 25, TARGET = 500;  // V/s and V: a 20 s ramp
const CRATES = [
  { name: "EvA", type: 0, index: 0, address: "127.0.0.21" }, { name: "EvB", type: 0, index: 0, address: "127.0.0.22" },
  { name: "EvC", type: 2, index: 1, address: "127.0.0.23" }, { name: "EvD", type: 2, index: 1, address: "127.0.0.24" },
];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function crateText(c) {
  const lines = [`mainframe name=${c.name} address=${c.address} type=${c.type}` +
    (c.type === 2 ? " user=admin password=hvsecret" : "") + ` slots=${BOARDS}`,
  'property name=SwRelease type=text mode=ro value="1.0.0"',
  "command name=Kill", "command name=ClearAlarm",
  `board slot=0 model=A1535 description="48 Ch" serial=1 firmware=1.0 channels=${CHANNELS} load=100`,
  "channelparam name=V0Set type=numeric mode=rw min=0 max=3000 unit=2 exp=0 value=0",
  "channelparam name=I0Set type=numeric mode=rw min=0 max=3000 unit=1 exp=-6 value=200",
  "channelparam name=VMon type=numeric mode=ro min=0 max=3000 unit=2 exp=0 value=0",
  "channelparam name=IMon type=numeric mode=ro min=0 max=3000 unit=1 exp=-6 value=0",
  `channelparam name=RUp type=numeric mode=rw min=1 max=500 unit=7 exp=0 value=${RAMP}`,
  "channelparam name=RDWn type=numeric mode=rw min=1 max=500 unit=7 exp=0 value=50",
  "channelparam name=Pw type=onoff mode=rw on=\"On\" off=\"Off\" value=0",
  "channelparam name=Status type=chstatus mode=ro value=0"];
  for (let b = 1; b < BOARDS; ++b) lines.push(`board slot=${b} like=0 serial=${b + 1}`);
  return lines.join("\n") + "\n";
}

const procStat = (pid) => {
  const f = fs.readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
  return Number(f[11]) + Number(f[12]);  // utime + stime, ticks
};
// CPU ticks of every thread of the process, summed by thread name.
const threadTicks = (pid) => {
  const byName = {};
  for (const tid of fs.readdirSync(`/proc/${pid}/task`)) {
    try {
      const stat = fs.readFileSync(`/proc/${pid}/task/${tid}/stat`, "utf8");
      const name = stat.slice(stat.indexOf("(") + 1, stat.lastIndexOf(")"));
      const f = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
      byName[name] = (byName[name] || 0) + Number(f[11]) + Number(f[12]);
    } catch (_) { /* the thread ended */ }
  }
  return byName;
};
const rssKb = (pid) => Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, "utf8"))[1]);
const ticksPerSecond = 100;

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-events-bench-"));
  const files = CRATES.map((c) => {
    const f = path.join(dir, `${c.name}.crate`);
    fs.writeFileSync(f, crateText(c));
    return f;
  });
  const entries = CRATES.map((c) => `${c.name},${c.index},0,${c.address}` + (c.type === 2 ? ":admin:hvsecret" : ""));
  const run = await startServer({ bin, dir: path.join(dir, "run"), crates: files, entries, logLevel: 4, duration: 240,
    simPort: 30000 + (process.pid % 5000),
    rootFiles: scrape ? { "http.conf": `enabled = true\nport = ${HTTP_PORT}\n` } : {},
    settings: noHistory ? "History=false;" : "" });
  const control = (line) => execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), ...line.split(" ")]).toString();
  const sent = () => [...control("list").matchAll(/\/ev(\d+)/g)].reduce((a, m) => a + Number(m[1]), 0);
  const client = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 }, requestedSessionTimeout: 600000 });
  const R = { crates: CRATES.length, channels: CRATES.length * BOARDS * CHANNELS, scrape };
  // Once a second, as Prometheus would: each answer's time and size.
  const scrapes = [];
  let scraping = null;
  const scrapeOnce = () => new Promise((resolve) => {
    const t = process.hrtime.bigint();
    http.get({ host: "127.0.0.1", port: HTTP_PORT, path: "/metrics" }, (res) => {
      let bytes = 0;
      res.on("data", (d) => { bytes += d.length; });
      res.on("end", () => { scrapes.push({ ms: Number(process.hrtime.bigint() - t) / 1e6, bytes, status: res.statusCode }); resolve(); });
    }).on("error", () => { scrapes.push({ ms: -1, bytes: 0, status: 0 }); resolve(); });
  });
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    const t0 = Date.now();
    await waitUntilRunning(session, 120000);
    R.readyS = (Date.now() - t0) / 1000;
    const ids = [];
    for (const c of CRATES) for (let b = 0; b < BOARDS; ++b) for (let ch = 0; ch < CHANNELS; ++ch) {
      ids.push(`${c.name}.Board${String(b).padStart(2, "0")}.Chan${String(ch).padStart(3, "0")}`);
    }
    const sub = ClientSubscription.create(session, { requestedPublishingInterval: 100, requestedLifetimeCount: 600,
      requestedMaxKeepAliveCount: 10, maxNotificationsPerPublish: 0, publishingEnabled: true });
    await new Promise((r) => sub.on("started", r));
    const latest = new Map();
    let notifications = 0;
    const items = ids.flatMap((id) => ["VMon", "IMon"].map((p) => `ns=1;s=${id}.${p}`));
    const group = await sub.monitorItems(items.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })),
      { samplingInterval: 100, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    group.on("changed", (item, dv) => { latest.set(item.itemToMonitor.nodeId.toString(), dv); ++notifications; });
    await sleep(3000);
    if (scrape) scraping = setInterval(scrapeOnce, 1000);

    // Every channel on, ramping to TARGET.
    const writes = ids.flatMap((id) => [
      { nodeId: `ns=1;s=${id}.V0Set`, attributeId: AttributeIds.Value, value: { value: { dataType: DataType.Float, value: TARGET } } },
      { nodeId: `ns=1;s=${id}.Pw`, attributeId: AttributeIds.Value, value: { value: { dataType: DataType.Boolean, value: true } } }]);
    for (let i = 0; i < writes.length; i += 2000) {
      const r = await session.write(writes.slice(i, i + 2000));
      const bad = r.filter((s) => s.value !== 0).length;
      if (bad) throw new Error(`${bad} writes refused`);
    }
    await sleep(2000);
    const pid = run.server.pid;
    const window = 10;
    const s0 = sent(), n0 = notifications, c0 = procStat(pid), t0ticks = threadTicks(pid), w0 = Date.now();
    const rss = [];
    for (let k = 0; k < window; ++k) { await sleep(1000); rss.push(rssKb(pid)); }
    const seconds = (Date.now() - w0) / 1000;
    R.recordsSentPerS = Math.round((sent() - s0) / seconds);
    R.notificationsPerS = Math.round((notifications - n0) / seconds);
    R.serverCpuPct = Math.round(((procStat(pid) - c0) / ticksPerSecond / seconds) * 1000) / 10;
    R.serverRssKbMax = Math.max(...rss);
    const t1ticks = threadTicks(pid);
    R.serverCpuPctByThread = {};
    for (const [name, ticks] of Object.entries(t1ticks)) {
      const pct = Math.round(((ticks - (t0ticks[name] || 0)) / ticksPerSecond / seconds) * 1000) / 10;
      if (pct > 0) R.serverCpuPctByThread[name] = pct;
    }

    if (scrape) {
      const ok = scrapes.filter((x) => x.status === 200);
      const ms = ok.map((x) => x.ms).sort((a, b) => a - b);
      R.scrapes = { n: scrapes.length, answered: ok.length, medianMs: ms[Math.floor(ms.length / 2)],
        maxMs: ms[ms.length - 1], bytes: ok.length ? ok[ok.length - 1].bytes : 0 };
    }

    // After the ramps: the client's last VMon of every channel against a device read (IMon
    // carries the simulator's noise on every tick, so it never settles to compare).
    await sleep((TARGET / RAMP) * 1000);
    await sleep(1500);
    let lost = 0, compared = 0;
    const staleBy = {};
    const settled = items.filter((id) => id.endsWith(".VMon"));
    for (let i = 0; i < settled.length; i += 2000) {
      const slice = settled.slice(i, i + 2000);
      const device = await session.read(slice.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })), 0);
      slice.forEach((nodeId, k) => {
        const seen = latest.get(nodeId);
        ++compared;
        if (!seen || seen.statusCode.value !== 0 || seen.value.value !== device[k].value.value) {
          ++lost;
          const key = nodeId.replace(/^ns=1;s=(\w+)\..*\.(\w+)$/, "$1.$2");
          staleBy[key] = (staleBy[key] || 0) + 1;
          if (staleBy[key] <= 2) console.log(`stale ${nodeId}: client ${seen && seen.value.value} (${seen && seen.statusCode.name}), device ${device[k].value.value}`);
        }
      });
    }
    R.itemsCompared = compared;
    R.itemsWithAStaleValue = lost;
    R.staleBy = staleBy;
    await sub.terminate();

    // Latency: one channel ramping at the server's fastest publishing interval (1 ms asked: node-opcua
    // takes 0 for "its default", 100 ms). The ramp's steps and the publishing ticks keep one
    // phase for a subscription's life, which alone sets its median (0 to one interval): four
    // subscriptions one after the other, their samples pooled, so that a run does not
    // report one phase.
    const lat = [];
    for (let round = 0; round < 4; ++round) {
      const fast = ClientSubscription.create(session, { requestedPublishingInterval: 1, requestedLifetimeCount: 6000,
        requestedMaxKeepAliveCount: 100, maxNotificationsPerPublish: 0, publishingEnabled: true });
      await new Promise((r) => fast.on("started", r));
      R.fastestPublishingMs = fast.publishingInterval;
      let taking = false;
      for (const p of ["EvA", "EvC"]) {
        const m = ClientMonitoredItem.create(fast, { nodeId: `ns=1;s=${p}.Board00.Chan000.VMon`, attributeId: AttributeIds.Value },
          { samplingInterval: 0, queueSize: 1 }, TimestampsToReturn.Both);
        m.on("changed", (dv) => {
          if (taking && dv.sourceTimestamp) lat.push({ crate: p, ms: Date.now() - dv.sourceTimestamp.getTime() });
        });
      }
      await sleep(1000 + 37 * round);  // a new phase each round
      taking = true;
      // Down and up again in turn: the channel ramps through every round.
      for (const c of ["EvA", "EvC"]) {
        await session.write({ nodeId: `ns=1;s=${c}.Board00.Chan000.V0Set`, attributeId: AttributeIds.Value,
          value: { value: { dataType: DataType.Float, value: round % 2 === 0 ? 0 : TARGET } } });
      }
      await sleep(3750);
      taking = false;
      await fast.terminate();
    }
    const pct = (xs, q) => { const s = [...xs].sort((a, b) => a - b); return s[Math.min(s.length - 1, Math.floor(q * s.length))]; };
    for (const c of ["EvA", "EvC"]) {
      const xs = lat.filter((x) => x.crate === c).map((x) => x.ms);
      R[`latency${c === "EvA" ? "Udp" : "Tcp"}`] = { n: xs.length, medianMs: pct(xs, 0.5), p99Ms: pct(xs, 0.99) };
    }
    await session.close();
  } finally {
    if (scraping) clearInterval(scraping);
    await client.disconnect();
    await run.stop();
    const db = path.join(dir, "run", "root", "VEXAHVHistory.db");
    R.historyBytes = fs.existsSync(db) ? fs.statSync(db).size : 0;
    fs.rmSync(dir, { recursive: true, force: true });
  }
  fs.writeFileSync(out, JSON.stringify(R, null, 1));
  console.log(JSON.stringify(R, null, 1));
}

main().catch((e) => { console.error(e); process.exit(1); });
