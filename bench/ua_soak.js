// Soak of the OPC UA endpoint (a benchmark, not a test): honest clients, each with a
// subscription of monitored items and a Read a second, beside one hostile client that
// cycles through the attacks the endpoint must survive: connections that never say Hello,
// Hello and nothing more, a renewal-less channel, requests pipelined and never read, a
// reset with answers queued, oversized monitored-item requests, sessions never activated.
// Samples the server's RSS every second and prints one JSON line of figures at the end.
// Loopback only; stops by itself.
//   node bench/ua_soak.js <vexahv-ua-fixture> [seconds=600] [clients=50] [items=200]
"use strict";
const net = require("net");
const fs = require("fs");
const path = require("path");
const interop = path.join(__dirname, "..", "tests", "interop");
const { startFixture } = require(path.join(interop, "fixture"));
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, ClientSubscription, ClientMonitoredItem,
  TimestampsToReturn,
} = require(path.join(interop, "node_modules", "node-opcua-client"));

const [binary, secondsArg, clientsArg, itemsArg] = process.argv.slice(2);
const seconds = Number(secondsArg || 600), clients = Number(clientsArg || 50), items = Number(itemsArg || 200);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const rssKb = (pid) => Number((/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, "utf8")) || [0, 0])[1]);

async function honest(url, index, stats, until) {
  const client = OPCUAClient.create({
    endpointMustExist: false, securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 3, initialDelay: 200, maxDelay: 1000 }, requestedSessionTimeout: 60000,
  });
  await client.connect(url);
  const session = await client.createSession();
  const sub = ClientSubscription.create(session, {
    requestedPublishingInterval: 500, requestedLifetimeCount: 120, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 1000, publishingEnabled: true, priority: 1,
  });
  const board = String(index % 10).padStart(2, "0");
  for (let i = 0; i < items; ++i) {
    const item = ClientMonitoredItem.create(sub, {
      nodeId: `ns=1;s=S.Board${board}.Chan${String((index * items + i) % 1000).padStart(3, "0")}.VMon`,
      attributeId: AttributeIds.Value,
    }, { samplingInterval: 100, discardOldest: true, queueSize: 1 }, TimestampsToReturn.Neither);
    item.on("changed", () => { ++stats.notifications; });
  }
  while (Date.now() < until) {
    const started = Date.now();
    try {
      await session.read({ nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value });
      ++stats.reads;
      stats.worstReadMs = Math.max(stats.worstReadMs, Date.now() - started);
    } catch (e) {
      ++stats.failedReads;
    }
    await sleep(1000);
  }
  await sub.terminate().catch(() => {});
  await session.close().catch(() => {});
  await client.disconnect();
}

// Raw bytes of the hostile client.
const u32 = (v) => { const b = Buffer.alloc(4); b.writeUInt32LE(v >>> 0); return b; };
function hello() {
  const url = Buffer.from("opc.tcp://127.0.0.1");
  const body = Buffer.concat([u32(0), u32(65536), u32(65536), u32(0), u32(0), u32(url.length), url]);
  return Buffer.concat([Buffer.from("HELF"), u32(8 + body.length), body]);
}

async function hostile(port, stats, until) {
  const open = (bytes) => new Promise((resolve) => {
    const s = net.connect(port, "127.0.0.1", () => { if (bytes) s.write(bytes); resolve(s); });
    s.on("error", () => {});
  });
  let round = 0;
  while (Date.now() < until) {
    const sockets = [];
    // Connections that never say Hello, and that say only Hello.
    for (let i = 0; i < 100; ++i) sockets.push(await open(null));
    for (let i = 0; i < 100; ++i) sockets.push(await open(hello()));
    // A Hello dribbled one byte at a time.
    const slow = await open(null);
    sockets.push(slow);
    const h = hello();
    for (let i = 0; i < h.length && Date.now() < until; ++i) { slow.write(h.subarray(i, i + 1)); await sleep(50); }
    // A client that pipelines reads and resets with the answers queued.
    const greedy = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
      securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 } });
    try {
      await greedy.connect(`opc.tcp://127.0.0.1:${port}`);
      const session = await greedy.createSession();
      const nodes = [];
      for (let i = 0; i < 1000; ++i) nodes.push({ nodeId: `ns=1;s=S.Board03.Chan${String(i).padStart(3, "0")}.VMon`, attributeId: AttributeIds.Value });
      for (let i = 0; i < 500; ++i) session.read(nodes).catch(() => {});
      // Sessions created and never activated are what CreateSession alone leaves.
      await sleep(300);
      const transport = greedy._secureChannel && greedy._secureChannel._transport;
      if (transport && transport._socket) transport._socket.resetAndDestroy();
      await greedy.disconnect().catch(() => {});
    } catch (e) {
      ++stats.hostileRefused;
    }
    await sleep(3000);
    for (const s of sockets) s.destroy();
    ++round;
    stats.hostileRounds = round;
  }
}

async function main() {
  const { fixture, url } = await startFixture(binary, seconds + 60);
  const port = Number(/:(\d+)$/.exec(url)[1]);
  const started = Date.now();
  const until = started + seconds * 1000;
  const stats = { notifications: 0, reads: 0, failedReads: 0, worstReadMs: 0, hostileRounds: 0, hostileRefused: 0 };
  const rss = [];
  const sampler = setInterval(() => { try { rss.push(rssKb(fixture.pid)); } catch (_) { /* gone */ } }, 1000);
  const honestRuns = [];
  for (let i = 0; i < clients; ++i) honestRuns.push(honest(url, i, stats, until));
  const results = await Promise.allSettled([...honestRuns, hostile(port, stats, until)]);
  clearInterval(sampler);
  const failedClients = results.filter((r) => r.status === "rejected").length;
  fixture.kill("SIGTERM");
  rss.sort((a, b) => a - b);
  console.log(JSON.stringify({
    seconds, clients, itemsPerClient: items, ...stats, failedClients,
    readsExpected: clients * seconds, rssKbMedian: rss[Math.floor(rss.length / 2)], rssKbMax: rss[rss.length - 1],
  }));
  process.exit(failedClients === 0 && stats.failedReads === 0 ? 0 : 1);
}

// The whole run is bounded whatever happens.
setTimeout(() => { console.error("soak: over its time"); process.exit(2); }, (seconds + 120) * 1000).unref();
main().catch((e) => { console.error(e); process.exit(1); });
