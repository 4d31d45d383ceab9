// A plant's worth of crates: the four crates of bench/crates (16 boards x 48 channels each,
// 3,072 channels) at 2 ms a library call, events off (every item polled). Measures the time
// from start to ServerStatus Running, the library calls per channel the build made, the
// server's RSS, and, with every channel ramping, the notifications delivered against those
// due for 10 polled items per channel sampled every second (VMon and IMon change on every
// sample; the other eight hold still, so nothing is due for them).
//   node bench/scale_measure.js [build/bin] [out.json] [workers]   (bounded: about 3 minutes)
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { waitUntilRunning } = require("../scripts/hv_server");
const { CRATES, plantChannels, startPlant } = require("./plant");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType, ClientSubscription, TimestampsToReturn,
} = require("../tests/interop/node_modules/node-opcua-client");

const bin = path.resolve(process.argv[2] || "build/bin");
const out = process.argv[3] || "build/scale-measure.json";
const workers = process.argv[4];
const WINDOW = 20;
const POLLED = ["VMon", "IMon", "V0Set", "I0Set", "RUp", "RDWn", "SVMax", "Trip", "Pw", "Status"];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const rssKb = (pid) => Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, "utf8"))[1]);

async function main() {
  if (workers) process.env.VEXAHV_CONFIGURE_WORKERS = workers;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-scale-bench-"));
  const channels = plantChannels();
  const R = { crates: CRATES.length, channels: channels.length, latencyMs: 2, workers: workers || "default" };
  const t0 = Date.now();
  const { run, requests } = await startPlant({ bin, dir: path.join(dir, "run"), duration: 400,
    simPort: 31000 + (process.pid % 5000) });
  const client = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 }, requestedSessionTimeout: 600000,
    // The one Write that switches every channel on takes a call per board (0.2 s); item by
    // item it took 15 s, more than a request's default time-out, and a regression should
    // show as a figure, not a time-out.
    defaultTransactionTimeout: 60000 });
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    await waitUntilRunning(session, 360000);
    R.runningS = (Date.now() - t0) / 1000;
    const buildCalls = requests();
    R.buildLibraryCalls = buildCalls;
    R.buildLibraryCallsPerChannel = Math.round((buildCalls / channels.length) * 100) / 100;
    R.serverRssMbAtRunning = Math.round(rssKb(run.server.pid) / 1024);

    // Every channel on: VMon ramps at 5 V/s for the whole window, IMon follows with noise.
    const writes = channels.map((id) => ({ nodeId: `ns=1;s=${id}.Pw`, attributeId: AttributeIds.Value,
      value: { value: { dataType: DataType.Boolean, value: true } } }));
    const w0 = Date.now();
    for (let i = 0; i < writes.length; i += 3072) {
      const r = await session.write(writes.slice(i, i + 3072));
      const bad = r.filter((s) => s.value !== 0).length;
      if (bad) throw new Error(`${bad} writes refused`);
    }
    R.switchOnAllS = (Date.now() - w0) / 1000;

    const sub = ClientSubscription.create(session, { requestedPublishingInterval: 1000, requestedLifetimeCount: 600,
      requestedMaxKeepAliveCount: 10, maxNotificationsPerPublish: 0, publishingEnabled: true });
    await new Promise((r) => sub.on("started", r));
    const items = channels.flatMap((id) => POLLED.map((p) => `ns=1;s=${id}.${p}`));
    const counts = { VMon: 0, IMon: 0, other: 0 };
    const m0 = Date.now();
    const group = await sub.monitorItems(items.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })),
      { samplingInterval: 1000, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    R.createMonitoredItemsS = (Date.now() - m0) / 1000;
    R.monitoredItems = items.length;
    group.on("changed", (item, dv) => {
      const p = item.itemToMonitor.nodeId.toString().split(".").pop();
      if (dv.statusCode.value !== 0) return;
      if (p === "VMon" || p === "IMon") ++counts[p]; else ++counts.other;
    });
    await sleep(5000);
    const c0 = { ...counts }, r0 = requests(), s0 = Date.now();
    await sleep(WINDOW * 1000);
    const seconds = (Date.now() - s0) / 1000;
    const due = 2 * channels.length;
    const got = (counts.VMon - c0.VMon) + (counts.IMon - c0.IMon);
    R.notificationsDuePerS = due;
    R.notificationsDeliveredPerS = Math.round(got / seconds);
    R.deliveredPct = Math.round((got / seconds / due) * 1000) / 10;
    R.vmonPerChannelPerS = Math.round(((counts.VMon - c0.VMon) / seconds / channels.length) * 100) / 100;
    R.samplingLibraryCallsPerS = Math.round((requests() - r0) / seconds);
    R.serverRssMbSampling = Math.round(rssKb(run.server.pid) / 1024);
    await sub.terminate();
    await session.close();
  } finally {
    await client.disconnect();
    await run.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
  fs.writeFileSync(out, JSON.stringify(R, null, 1));
  console.log(JSON.stringify(R, null, 1));
}

main().catch((e) => { console.error(e); process.exit(1); });
