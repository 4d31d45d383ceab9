// node-opcua's client against vexahv-opcserver over the simulated crates: batched and
// item-by-item device reads agree, writes reach the mainframe (a set voltage ramps the
// monitored voltage), commands, refusals, a server setting, and a clean stop on SIGTERM
// with its log lines. Bounded: both processes stop by themselves after 90 s.
"use strict";
const assert = require("assert");
const fs = require("fs");
const path = require("path");
const { execFileSync } = require("child_process");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType, StatusCodes,
  ClientSubscription, ClientMonitoredItem, TimestampsToReturn,
} = require("node-opcua-client");

const item = (id) => `ns=1;s=${id}`;
const chan = (ch, p) => item(`CrateA.Board00.Chan${String(ch).padStart(3, "0")}.${p}`);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const run = await startServer({ bin: process.argv[2], duration: 90, logLevel: 7, batched: true });
  const client = OPCUAClient.create({
    applicationName: "vexahv interop", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 },
  });
  let stopped = false;
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    await waitUntilRunning(session);
    const objects = await session.browse("ns=0;i=85");
    const names = objects.references.map((r) => r.browseName.name);
    for (const n of ["CrateA", "CrateB", "CrateC", "OPCServerLogLevel", "OPCServerUseBatchedGroupTransactions"]) {
      assert.ok(names.includes(n), `${n} under Objects: ${names}`);
    }

    const write = async (nodeId, dataType, value) =>
      (await session.write({ nodeId, attributeId: AttributeIds.Value, value: { value: { dataType, value } } }));
    const readDevice = (nodeIds) => session.read(nodeIds.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })), 0);

    // Different set-points per channel, so that a mix-up of channels would show.
    for (let ch = 0; ch < 12; ++ch) assert.strictEqual((await write(chan(ch, "V0Set"), DataType.Float, 10 * ch)).value, 0);
    const group = [];
    for (let ch = 0; ch < 12; ++ch) for (const p of ["V0Set", "IMon", "Pw", "Status"]) group.push(chan(ch, p));
    const batched = await readDevice(group);
    assert.strictEqual((await write(item("OPCServerUseBatchedGroupTransactions"), DataType.Boolean, false)).value, 0);
    const oneByOne = await readDevice(group);
    group.forEach((id, i) => {
      assert.strictEqual(batched[i].statusCode.value, StatusCodes.Good.value, id);
      assert.strictEqual(oneByOne[i].statusCode.value, StatusCodes.Good.value, id);
      assert.deepStrictEqual(batched[i].value.value, oneByOne[i].value.value, id);
      assert.strictEqual(batched[i].value.dataType, oneByOne[i].value.dataType, id);
    });
    assert.strictEqual(batched[4 * 7].value.value, 70, "Chan007.V0Set");
    let log = run.log();
    assert.ok(log.includes(`batched? [Y] item count [${group.length}]`), "a batched read of the group");
    assert.ok(log.includes(`batched? [N] item count [${group.length}]`), "then item by item");
    assert.ok(log.includes("parameter type [V0Set] return value from hw read [0]"));

    // Switch a channel on and watch its monitored voltage ramp.
    assert.strictEqual((await write(chan(5, "V0Set"), DataType.Float, 800)).value, 0);
    assert.strictEqual((await write(chan(5, "Pw"), DataType.Boolean, true)).value, 0);
    const subscription = ClientSubscription.create(session, {
      requestedPublishingInterval: 200, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
      maxNotificationsPerPublish: 100, publishingEnabled: true, priority: 1,
    });
    const seen = [];
    const monitored = ClientMonitoredItem.create(subscription, { nodeId: chan(5, "VMon"), attributeId: AttributeIds.Value },
      { samplingInterval: 1000, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
    monitored.on("changed", (dv) => { if (dv.statusCode.value === 0) seen.push(dv.value.value); });
    for (let waited = 0; seen.length < 3 && waited < 15000; waited += 100) await sleep(100);
    assert.ok(seen.length >= 3, `three samples of VMon: ${seen}`);
    assert.ok(seen[seen.length - 1] > seen[0], `VMon ramps: ${seen}`);
    await subscription.terminate();

    // Kill switches every channel off; while killed a channel cannot be switched on.
    assert.strictEqual((await write(item("CrateA.Kill"), DataType.Boolean, true)).value, 0);
    assert.strictEqual((await readDevice([chan(5, "Pw")]))[0].value.value, false);
    assert.strictEqual((await write(chan(5, "Pw"), DataType.Boolean, true)).name, "BadDeviceFailure", "inhibited");
    assert.strictEqual((await write(item("CrateA.ClearAlarm"), DataType.Boolean, true)).value, 0);
    assert.strictEqual((await write(chan(5, "Pw"), DataType.Boolean, true)).value, 0);

    // A write that is not exactly the item's DataType reaches neither the toolbox nor the
    // mainframe: above all none switches a channel's high voltage on.
    const requestsOf = (crate) => Number(new RegExp(`${crate}@\\S*/req(\\d+)`).exec(
      execFileSync(path.join(process.argv[2], "vexahv-sim"), ["--send", String(run.control), "list"]).toString())[1]);
    const sent = requestsOf("CrateA");
    const refused = await session.write([
      [chan(6, "Pw"), DataType.Float, NaN], [chan(6, "Pw"), DataType.Float, 1e-30], [chan(6, "Pw"), DataType.Int32, 2],
      [chan(6, "Pw"), DataType.String, "true"], [chan(6, "V0Set"), DataType.String, "200"],
      [chan(6, "V0Set"), DataType.Double, 200], [chan(6, "V0Set"), DataType.Float, Infinity],
      [chan(6, "Name"), DataType.String, "a\u0000b"],
    ].map(([nodeId, dataType, value]) => ({ nodeId, attributeId: AttributeIds.Value, value: { value: { dataType, value } } })));
    assert.deepStrictEqual(refused.map((r) => r.name), ["BadTypeMismatch", "BadTypeMismatch", "BadTypeMismatch",
      "BadTypeMismatch", "BadTypeMismatch", "BadTypeMismatch", "BadOutOfRange", "BadOutOfRange"]);
    assert.strictEqual(requestsOf("CrateA"), sent, "no request reached the mainframe");
    assert.strictEqual((await readDevice([chan(6, "Pw")]))[0].value.value, false, "channel 6 stays off");

    // Refusals: nothing of them reaches the cache.
    const before = (await readDevice([chan(5, "V0Set")]))[0].value.value;
    assert.strictEqual((await write(chan(5, "V0Set"), DataType.String, "fast")).value, StatusCodes.BadTypeMismatch.value);
    assert.strictEqual((await write(chan(5, "VMon"), DataType.Float, 1)).value, StatusCodes.BadNotWritable.value);
    assert.strictEqual((await write(chan(5, "V0Set"), DataType.Float, 99999)).name, "BadOutOfRange", "beyond the maximum");
    assert.strictEqual((await write(chan(5, "Name"), DataType.String, "n".repeat(80))).name, "BadOutOfRange", "too long");
    const cached = await session.read({ nodeId: chan(5, "V0Set"), attributeId: AttributeIds.Value, maxAge: 60000 });
    assert.strictEqual(cached.value.value, before);
    execFileSync(path.join(process.argv[2], "vexahv-sim"), ["--send", String(run.control), "drop", "CrateA"]);
    assert.strictEqual((await write(chan(5, "V0Set"), DataType.Float, 10)).name, "BadNotConnected", "the link broke");

    // A server setting: the log level is capped at 9, stored and in force.
    assert.strictEqual((await write(item("OPCServerLogLevel"), DataType.UInt16, 12)).value, 0);
    const level = await session.read({ nodeId: item("OPCServerLogLevel"), attributeId: AttributeIds.Value });
    assert.strictEqual(level.value.value, 9);
    assert.ok(fs.readFileSync(path.join(run.work, "VEXAHVOPCServer.cfg"), "utf8").includes("LogLevel = 9;"));

    await session.close();
    await client.disconnect();
    const { code, signal } = await run.stop();
    stopped = true;
    assert.strictEqual(code, 0, `clean exit on SIGTERM (signal ${signal}): ${run.stderr()}`);
    log = run.log();
    for (const line of ["VEXAHVOPCServer successfully created", "Starting VEXAHVOPCServer", "VEXAHVOPCServer namespace built",
      "VEXAHVOPCServer ready for clients to connect", "Connection - client count = [1]",
      "Disconnection - client count = [0]", "Stopping VEXAHVOPCServer"]) {
      assert.ok(log.includes(line), `log line "${line}"`);
    }
    assert.ok(log.lastIndexOf("Stopping VEXAHVOPCServer") > log.lastIndexOf("ready for clients"));
    fs.rmSync(run.dir, { recursive: true, force: true });
    console.log("server interop test passed");
  } finally {
    if (!stopped) await run.stop();
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
