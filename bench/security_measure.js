// What security costs the server: the same work with SecurityPolicy None and with
// Basic256Sha256 SignAndEncrypt against vexahv-ua-fixture (--security, its own root), each
// alone: server CPU per Read of 10,000 values and per single-value Read, server CPU while a
// subscription of 10,000 items delivers 10,000 changes a second, and the time to open a
// channel and a session. Bounded: about 80 s.
//   node bench/security_measure.js build/bin/vexahv-ua-fixture [out.json]
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawn, execSync } = require("child_process");
const modules = path.join(__dirname, "..", "tests", "interop", "node_modules");
const {
  OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds, TimestampsToReturn, ClientMonitoredItemGroup,
} = require(path.join(modules, "node-opcua-client"));
const { OPCUACertificateManager } = require(path.join(modules, "node-opcua-certificate-manager"));

const CLK_TCK = Number(execSync("getconf CLK_TCK").toString().trim()) || 100;
const now = () => Number(process.hrtime.bigint()) / 1e6;
const ticks = (pid) => { const f = fs.readFileSync(`/proc/${pid}/stat`, "utf8"); const p = f.slice(f.lastIndexOf(")") + 2).split(" "); return Number(p[11]) + Number(p[12]); };
const cpuMs = (pid, t0) => (1000 * (ticks(pid) - t0)) / CLK_TCK;
const median = (v) => { const s = [...v].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };
const ids = Array.from({ length: 10000 }, (_, i) =>
  `ns=1;s=S.Board${String(Math.floor(i / 1000)).padStart(2, "0")}.Chan${String(i % 1000).padStart(3, "0")}.VMon`);

async function measure(url, pid, label, policy, mode, certificateManager) {
  const make = () => OPCUAClient.create({
    applicationName: "vexahv-security-bench", endpointMustExist: false, securityMode: mode, securityPolicy: policy,
    connectionStrategy: { maxRetry: 0 }, clientCertificateManager: certificateManager, keepSessionAlive: false,
  });
  const opens = [];
  for (let i = 0; i < 6; ++i) {
    const c = make();
    const t0 = now();
    await c.connect(url);
    const s = await c.createSession();
    opens.push(now() - t0);
    await s.close();
    await c.disconnect();
  }
  const client = make();
  await client.connect(url);
  const session = await client.createSession();
  const many = ids.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value }));
  const readFor = async (nodes, seconds, maxCalls) => {
    for (let i = 0; i < 5; ++i) await session.read(nodes, 0);  // warm up
    const t0 = ticks(pid), start = now();
    let n = 0;
    while (now() - start < seconds * 1000 && n < maxCalls) { await session.read(nodes, 0); ++n; }
    return { calls: n, serverCpuMsPerRead: +(cpuMs(pid, t0) / n).toFixed(3) };
  };
  const bulk = await readFor(many, 8, 2000);
  const single = await readFor([many[0]], 5, 100000);
  const subscription = await session.createSubscription2({
    requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 10,
  });
  const group = ClientMonitoredItemGroup.create(subscription, many,
    { samplingInterval: 100, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
  let changes = 0;
  group.on("changed", () => { ++changes; });
  await new Promise((r) => setTimeout(r, 3000));
  const t0 = ticks(pid), start = now();
  changes = 0;
  await new Promise((r) => setTimeout(r, 10000));
  const seconds = (now() - start) / 1000;
  const subscriptionCpuPct = +((cpuMs(pid, t0) / 10) / seconds).toFixed(1);
  const changesPerSec = Math.round(changes / seconds);
  await subscription.terminate();
  await session.close();
  await client.disconnect();
  const out = {
    label, openChannelAndSessionMedianMs: +median(opens).toFixed(1), read10000: bulk, readSingle: single,
    subscription10000: { serverCpuPct: subscriptionCpuPct, changesPerSec },
  };
  console.log(JSON.stringify(out));
  return out;
}

async function main() {
  const binary = process.argv[2], outFile = process.argv[3] || "build/security-measure.json";
  const root = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-secbench-"));
  fs.writeFileSync(path.join(root, "security.conf"),
    "securityPolicies = Basic256Sha256\nnoneForSessions = true\nanonymousSessions = true\ntrustAllClients = true\n");
  const certificateManager = new OPCUACertificateManager({ rootFolder: path.join(root, "client-pki"), automaticallyAcceptUnknownCertificate: true });
  await certificateManager.initialize();
  const fixture = spawn(binary, ["--duration", "150", "--security", root], {
    env: { ...process.env, VEXAHV_OPCUA_PORT: "0", VEXAHV_OPCUA_HOST: "127.0.0.1" }, stdio: ["ignore", "pipe", "ignore"],
  });
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("fixture did not start")), 10000);
    fixture.stdout.on("data", (d) => { const m = /listening on (\S+)/.exec(d.toString()); if (m) { clearTimeout(timer); resolve(m[1]); } });
  });
  try {
    const none = await measure(url, fixture.pid, "None", SecurityPolicy.None, MessageSecurityMode.None, certificateManager);
    const secure = await measure(url, fixture.pid, "Basic256Sha256 SignAndEncrypt", SecurityPolicy.Basic256Sha256,
      MessageSecurityMode.SignAndEncrypt, certificateManager);
    const ratio = +(secure.read10000.serverCpuMsPerRead / none.read10000.serverCpuMsPerRead).toFixed(2);
    const result = { none, secure, read10000CpuRatio: ratio };
    fs.writeFileSync(outFile, JSON.stringify(result, null, 2));
    console.log(`Read of 10,000 values: SignAndEncrypt costs ${ratio}x the server CPU of None; figures in ${outFile}`);
  } finally {
    fixture.kill("SIGTERM");
    await certificateManager.dispose();
    fs.rmSync(root, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
