// vexahv-opcserver as the installed service of the stand-in service manager, with
// node-opcua's client: a write of "OPCServerVerifyTime" restarts the service (the same
// process runs again with the new setting, the client reconnects and reads it; the
// configuration file and the registry are intact); with StopOnLastClient the last client's
// disconnect stops a service run, without it (the default) the service goes on watching its
// crates; it never stops a local-server run; unregistration removes the firewall rules.
// Bounded: every process stops by itself after 90 s.
"use strict";
const assert = require("assert");
const fs = require("fs");
const path = require("path");
const { execFileSync } = require("child_process");
const { plainClient } = require("./plain_client");
const { startServer, waitUntilRunning, within } = require("../../scripts/hv_server");
const { AttributeIds, DataType, StatusCodes } = require("node-opcua-client");

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const bin = process.argv[2];
const port = 20000 + (process.pid % 9000);

async function connect(url) {
  const client = plainClient();
  await client.connect(url);
  const session = await client.createSession();
  await waitUntilRunning(session);
  return { client, session };
}

const record = (run) => fs.readFileSync(path.join(run.root, "services", "VEXAHVOPCServerModule"), "utf8");
const verifyTime = async (session) =>
  (await session.read({ nodeId: "ns=1;s=CrateA.OPCServerVerifyTime", attributeId: AttributeIds.Value })).value.value;

async function serviceRun() {
  const run = await startServer({ bin, register: true, opcuaPort: port, duration: 90, logLevel: 7,
    settings: "StopOnLastClient=true;" });
  try {
    assert.strictEqual(run.registration.split("Successfully added firewall rule !").length - 1, 2, run.registration);
    const cfg = path.join(run.work, "VEXAHVOPCServer.cfg");
    const hkcu = path.join(run.root, "registry", "HKEY_CURRENT_USER.hive");
    const hkcr = path.join(run.root, "registry", "HKEY_CLASSES_ROOT.hive");
    const systemsBefore = fs.readFileSync(hkcu, "utf8");
    const classesBefore = fs.readFileSync(hkcr, "utf8");

    let { client, session } = await connect(run.url);
    await within(5000, "the record names the running process",
      () => new RegExp(`state=running\\npid=${run.server.pid}\\n`).test(record(run)));
    assert.strictEqual(await verifyTime(session), 600);
    const written = await session.write({
      nodeId: "ns=1;s=CrateA.OPCServerVerifyTime", attributeId: AttributeIds.Value,
      value: { value: { dataType: DataType.UInt16, value: 77 } },
    });
    assert.strictEqual(written.value, StatusCodes.Good.value, "the write is answered before the restart");
    // The service stops and the same process runs again: a second "listening on".
    await within(30000, "the restarted service listens", () => run.stdout().split("listening on").length - 1 >= 2);
    assert.strictEqual(run.server.exitCode, null, "the process goes on");
    const log = run.log();
    assert.ok(log.includes("Restarting service [VEXAHVOPCServerModule] for the new setting"), "restart asked");
    assert.ok(log.includes("Restarting VEXAHVOPCServer"), "the run starts again");
    await client.disconnect().catch(() => {});

    ({ client, session } = await connect(run.url));
    assert.strictEqual(await verifyTime(session), 77, "the new run has the new setting");
    const settings = fs.readFileSync(cfg, "utf8");
    for (const kept of [/EventEnabled\s*=\s*true/, /LiveInsertRemoval\s*=\s*false/, /VerifyTime\s*=\s*77/,
      /LogLevel\s*=\s*7/, /UseBatchedGroupTransactions\s*=\s*true/, /StopOnLastClient\s*=\s*true/]) {
      assert.match(settings, kept);
    }
    assert.strictEqual(fs.readFileSync(hkcu, "utf8"), systemsBefore, "the systems list is intact");
    assert.strictEqual(fs.readFileSync(hkcr, "utf8"), classesBefore, "the registration is intact");
    assert.match(record(run), /state=running/);

    // The last client leaves: the service run stops by itself, cleanly.
    await session.close();
    await client.disconnect();
    const exit = await Promise.race([run.exited(), sleep(30000).then(() => ({ code: "timeout" }))]);
    assert.deepStrictEqual(exit, { code: 0, signal: null }, "the service stopped with exit 0");
    assert.match(record(run), /state=stopped\npid=0\n/);
    assert.ok(run.log().includes("Last client disconnect from VEXAHVOPCServer"));

    const unregistration = execFileSync(path.join(bin, "vexahv-opcserver"), ["/UnregServer"],
      { cwd: run.work, env: run.env, timeout: 30000 }).toString();
    assert.strictEqual(unregistration.split("Successfully removed firewall rule !").length - 1, 2, unregistration);
    assert.ok(!fs.existsSync(path.join(run.root, "services", "VEXAHVOPCServerModule")), "the service is removed");
    assert.ok(!fs.readFileSync(path.join(run.root, "firewall", "rules"), "utf8").includes("OPC Server"), "no rule left");
  } finally {
    await run.stop();
  }
}

// The default: a service whose last client leaves keeps serving and probing its crates.
async function serviceKeepsWatching() {
  const run = await startServer({ bin, register: true, opcuaPort: port + 1, duration: 60, logLevel: 7,
    keepAlivePeriodMs: 300 });
  try {
    const { client, session } = await connect(run.url);
    await session.close();
    await client.disconnect();
    await within(10000, "the disconnect is logged", () => run.log().includes("Last client disconnect from VEXAHVOPCServer"));
    const at = run.log().length;
    await within(10000, "the crates are still probed",
      () => run.log().slice(at).includes("KeepAlive for device [CrateA]"));
    assert.strictEqual(run.server.exitCode, null, "the service goes on serving");
    assert.ok(!run.log().includes("Stopping VEXAHVOPCServer Service"), "no stop was asked");
    assert.match(record(run), /state=running/);
    const again = await connect(run.url);
    await again.session.close();
    await again.client.disconnect();
  } finally {
    const exit = await run.stop();
    assert.deepStrictEqual(exit, { code: 0, signal: null });
    execFileSync(path.join(bin, "vexahv-opcserver"), ["/UnregServer"], { cwd: run.work, env: run.env, timeout: 30000 });
  }
}

async function localRun() {
  const run = await startServer({ bin, opcuaPort: port, duration: 60, logLevel: 7 });
  try {
    const { client, session } = await connect(run.url);
    await session.close();
    await client.disconnect();
    await within(10000, "the disconnect is logged", () => run.log().includes("Last client disconnect from VEXAHVOPCServer"));
    await sleep(1500);
    assert.strictEqual(run.server.exitCode, null, "a local server goes on serving");
  } finally {
    const exit = await run.stop();
    assert.deepStrictEqual(exit, { code: 0, signal: null });
  }
}

(async () => {
  await serviceRun();
  await serviceKeepsWatching();
  await localRun();
  console.log("service interop test passed");
  process.exit(0);
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
