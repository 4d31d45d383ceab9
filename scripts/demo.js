// The main job on the simulated mainframes: starts the simulator and the server (event mode
// on, as a plant runs it), switches a few channels of CrateA (UDP events) and CrateB (TCP
// events) on through the OPC UA endpoint, subscribes to their values and prints a live
// table of what the subscription delivers until Ctrl-C (or --duration SECONDS).
"use strict";
const path = require("path");
const fs = require("fs");
const { startServer, waitUntilRunning } = require("./hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType,
  ClientSubscription, ClientMonitoredItem, TimestampsToReturn,
} = require(path.join(__dirname, "..", "tests", "interop", "node_modules", "node-opcua-client"));
const { OPCUACertificateManager } = require(
  path.join(__dirname, "..", "tests", "interop", "node_modules", "node-opcua-certificate-manager"));

const args = process.argv.slice(2);
const durationAt = args.indexOf("--duration");
const duration = durationAt >= 0 ? Number(args[durationAt + 1]) : 0;
if (durationAt >= 0 && !(Number.isInteger(duration) && duration > 0 && duration <= 86400)) {
  console.error("demo: --duration takes a whole number of seconds from 1 to 86400");
  process.exit(2);
}
// A user of the demo's own, for trying a secure connection.
const DEMO_USER = "demo-operator", DEMO_PASSWORD = "hv-demo-pass";
const WATCHED = [{ crate: "CrateA", channels: [0, 1, 2, 3] }, { crate: "CrateB", channels: [0, 1] }];
const PARAMS = ["Name", "V0Set", "VMon", "IMon", "Pw"];
const id = (crate, ch, p) => `ns=1;s=${crate}.Board00.Chan${String(ch).padStart(3, "0")}.${p}`;

let run = null;
let client = null;
let stopping = false;

// Ctrl-C (SIGINT to the whole process group) or SIGTERM: the client leaves, the server and
// the simulator are stopped and waited for, whatever moment of the run it comes at.
async function stop(code) {
  if (stopping) return;
  stopping = true;
  if (client) {
    try { await client.disconnect(); } catch (_) { /* the server may be gone already */ }
  }
  if (run) {
    const { code: exitCode } = await run.stop();
    console.log(`\nserver stopped (exit ${exitCode}); simulator stopped`);
  }
  process.exit(code);
}
process.on("SIGINT", () => stop(0));
process.on("SIGTERM", () => stop(0));

async function main() {
  run = await startServer({
    dir: path.join(__dirname, "..", "build", "demo"),
    simPort: Number(process.env.VEXAHV_MAINFRAME_PORT || 4601),
    opcuaPort: process.env.VEXAHV_OPCUA_PORT || "4840",
    logLevel: 5,
    latencyMs: 0,
    duration: duration ? duration + 30 : 0,
    users: [[DEMO_USER, "operator", DEMO_PASSWORD]],
    // The metrics endpoint, on loopback (a plant's settings leave it off).
    rootFiles: { "http.conf": `enabled = true\nport = ${process.env.VEXAHV_HTTP_PORT || "4880"}\n` },
  });
  const pki = path.join(run.root, "pki");
  console.log(`OPC UA endpoint: ${run.url}  (security None, anonymous user)`);
  // Started right after the OPC UA endpoint listens: its line follows within moments.
  let metrics = null;
  for (let end = Date.now() + 3000; !metrics && Date.now() < end; await new Promise((r) => setTimeout(r, 50))) {
    metrics = /HTTP endpoint serving \[([^\]]+)\]/.exec(run.log());
  }
  console.log(metrics ? `Status page: ${metrics[1].replace(/metrics$/, "")} (Prometheus metrics: ${metrics[1]})`
    : "Status page and metrics: not served, see the log");
  console.log(`Connect any OPC UA client (UaExpert, node-opcua, asyncua) to ${run.url} with security None and ` +
    "an anonymous user; the crates are under Objects, e.g. ns=1;s=CrateA.Board00.Chan000.VMon");
  console.log(`\nDemo security settings (${path.join(run.root, "security.conf")}), for loopback only; a plant's ` +
    "server without that file offers no None sessions:");
  for (const line of fs.readFileSync(path.join(run.root, "security.conf"), "utf8").split("\n")) {
    if (line && !line.startsWith("#")) console.log(`  ${line}`);
  }
  console.log(`A secure connection: policy Basic256Sha256, Aes128_Sha256_RsaOaep or Aes256_Sha256_RsaPss, mode Sign or ` +
    `SignAndEncrypt, user "${DEMO_USER}" with password "${DEMO_PASSWORD}" (an operator).\n` +
    `  The server refuses your client's certificate the first time and keeps it in ${path.join(pki, "rejected", "certs")};\n` +
    `  move it to ${path.join(pki, "trusted", "certs")} and connect again.\n` +
    `  Users of your own: VEXAHV_ROOT=${run.root} build/bin/vexahv-opcserver --add-user NAME --role reader|operator|admin\n`);
  console.log(`Platform root ${run.root}, log ${run.logFile}`);
  console.log(`Simulator control: build/bin/vexahv-sim --send ${run.control} list`);
  console.log(`  alarms to see: ... --send ${run.control} interlock CrateA (then "interlock CrateA off" and ClearAlarm), ` +
              `board-status CrateA 0 2 (Board00 over temperature; 0 clears it);\n` +
              `  a switch-on refused: ... --send ${run.control} hv-limit CrateA 0 1000, then V0Set 1200 and Pw true ` +
              `on CrateA.Board00.Chan000`);
  console.log("Ctrl-C stops the server and the simulator.\n");

  // A certificate store of the demo's own, so its certificate names this client.
  const clientCertificateManager = new OPCUACertificateManager({
    rootFolder: path.join(__dirname, "..", "build", "demo-pki"), automaticallyAcceptUnknownCertificate: true,
  });
  client = OPCUAClient.create({
    applicationName: "vexahv demo", endpointMustExist: false, clientCertificateManager,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 2 },
  });

  await client.connect(run.url);
  const session = await client.createSession();
  console.log("waiting for the address space to be built ...");
  // The endpoint answers while the address space is still being built (ServerStatus/State
  // Suspended); the items exist once it is Running.
  await waitUntilRunning(session, 60000);
  // A ramp to watch: set-points of 500 V steps and the channels on.
  const writes = [];
  WATCHED.forEach(({ crate, channels }) => channels.forEach((ch) => {
    writes.push({ nodeId: id(crate, ch, "V0Set"), attributeId: AttributeIds.Value,
      value: { value: { dataType: DataType.Float, value: 500 * (ch + 1) } } });
    writes.push({ nodeId: id(crate, ch, "Pw"), attributeId: AttributeIds.Value,
      value: { value: { dataType: DataType.Boolean, value: true } } });
  }));
  const results = await session.write(writes);
  const refused = results.filter((r) => r.value !== 0).length;
  if (refused) console.log(`${refused} of ${results.length} writes refused: ${results.map((r) => r.name).join(" ")}`);

  // The values come from a subscription: the mainframes report their changes as events,
  // and the server passes them on; nothing is read from the devices for the table.
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 250, requestedLifetimeCount: 240, requestedMaxKeepAliveCount: 20,
    maxNotificationsPerPublish: 0, publishingEnabled: true,
  });
  const latest = {};
  let changes = 0;
  WATCHED.forEach(({ crate, channels }) => channels.forEach((ch) => PARAMS.forEach((p) => {
    const nodeId = id(crate, ch, p);
    const item = ClientMonitoredItem.create(subscription, { nodeId, attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    item.on("changed", (dv) => { latest[nodeId] = dv; ++changes; });
  })));

  const started = Date.now();
  for (;;) {
    await new Promise((r) => setTimeout(r, 2000));
    if (stopping) return;
    const t = new Date().toISOString().slice(11, 19);
    console.log(`${t}  ${changes} value changes received in 2 s through the subscription`);
    changes = 0;
    WATCHED.forEach(({ crate, channels }) => {
      console.log(`          ${crate} Board00  channel  name          V0Set [V]   VMon [V]   IMon [uA]  Pw`);
      channels.forEach((ch) => {
        const v = PARAMS.map((p) => latest[id(crate, ch, p)]);
        const num = (dv, w) => (!dv ? "-" : dv.statusCode.value === 0 ? Number(dv.value.value).toFixed(1)
          : dv.statusCode.name).padStart(w);
        const name = String(v[0]?.value.value ?? "").padEnd(12);
        const pw = !v[4] ? "-" : v[4].statusCode.value !== 0 ? v[4].statusCode.name : v[4].value.value ? "on" : "off";
        console.log(`                         ${String(ch).padStart(7)}  ${name}${num(v[1], 10)} ${num(v[2], 10)} ${num(v[3], 10)}  ${pw}`);
      });
    });
    if (duration && Date.now() - started >= duration * 1000) break;
  }
  await stop(0);
}

main().catch(async (e) => {
  if (stopping) return;  // a read cut short by Ctrl-C; stop() ends the process
  console.error("demo: " + e.message);
  if (run) await run.stop();
  process.exit(1);
});
