// SemanticsChanged through node-opcua against vexahv-opcserver over the simulated crates.
// A board of the UDP crate is swapped, live, for one whose VMon spans 0..1000 V instead
// of 0..3500 V: its insertion signal makes the server read the board's properties again,
// the watched VMon's next value carries the SemanticsChanged bit (once), the EURange
// property and the board's serial number show the new board, and a percent deadband is
// of the new span. The TCP crate, which signals no insertion, gets its swapped board
// read after a reconnection; and a crate back from a loss shows its ranges good again.
// Bounded: both processes stop after 90 s, every wait is bounded.
"use strict";
const assert = require("assert");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { OPCUAClient, AttributeIds, DataType, TimestampsToReturn, ClientSubscription, ClientMonitoredItem,
  DataChangeFilter, DataChangeTrigger, DeadbandType } = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");
const { startServer, waitUntilRunning, within } = require("../../scripts/hv_server");

const item = (id) => `ns=1;s=${id}`;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const CHAN = "CrateA.Board00.Chan006";

async function range(session, id) {
  const v = await session.read({ nodeId: item(`${id}#EURange`), attributeId: AttributeIds.Value });
  return v.statusCode.isGood() ? [v.value.value.low, v.value.value.high] : v.statusCode.name;
}

async function scenario(session, run) {
  await waitUntilRunning(session);
  assert.deepStrictEqual(await range(session, `${CHAN}.VMon`), [0, 3500]);
  const sub = ClientSubscription.create(session, {
    requestedPublishingInterval: 50, requestedLifetimeCount: 1200, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 0, publishingEnabled: true,
  });
  await new Promise((res) => sub.once("started", res));
  const watch = (id, filter) => {
    const seen = [];
    const m = ClientMonitoredItem.create(sub, { nodeId: item(id), attributeId: AttributeIds.Value },
      { samplingInterval: 0, queueSize: 100, discardOldest: true, filter }, TimestampsToReturn.Both);
    m.on("changed", (dv) => seen.push({ value: dv.value.value, semantics: dv.statusCode.hasSemanticChangedBit }));
    return seen;
  };
  // 10 %: 350 V of the old range, 100 V of the new.
  const vmon = watch(`${CHAN}.VMon`, new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue,
    deadbandType: DeadbandType.Percent, deadbandValue: 10 }));
  const vset = watch(`${CHAN}.V0Set`);  // its own range unchanged
  const other = watch("CrateB.Board00.Chan003.VMon");
  await within(5000, "the first values", () => vmon.length > 0 && vset.length > 0 && other.length > 0);
  assert.ok(!vmon[0].semantics, "the first value carries no change");

  const replaced = run.simControl("replace CrateA 0 VMon 0 1000");
  assert.match(replaced, /^OK/);
  await within(15000, "VMon's value with the SemanticsChanged bit", () => vmon.some((s) => s.semantics));
  assert.deepStrictEqual(await range(session, `${CHAN}.VMon`), [0, 1000], "the property shows the new board");
  const serial = await session.read({ nodeId: item("CrateA.Board00.SerNum"), attributeId: AttributeIds.Value });
  assert.strictEqual(serial.value.value, 102, "the board's identity is the new board's");
  assert.deepStrictEqual(await range(session, "CrateA.Board00.Chan006.V0Set"), [0, 3500]);
  assert.deepStrictEqual(await range(session, "CrateA.Board01.Chan000.VMon"), [0, 3500], "another board keeps its range");
  await sleep(500);
  assert.strictEqual(vmon.filter((s) => s.semantics).length, 1, "the bit is on one value");
  assert.ok(!vset.some((s) => s.semantics), "an item whose range stayed is not told");
  assert.match(run.log(), /Board \[0\] of system \[CrateA\] is another board: model \[A1535\], serial \[102\]/);
  assert.match(run.log(), /Board \[0\] of system \[CrateA\]: \[12\] parameters have new properties/);

  // The percent deadband is of the new span: a ramp to 700 V passes 100 V steps, which
  // 350 V steps of the old range would not.
  const write = (p, dataType, value) => session.write({ nodeId: item(`${CHAN}.${p}`), attributeId: AttributeIds.Value,
    value: { value: { dataType, value } } });
  const before = vmon.length;
  assert.strictEqual((await write("RUp", DataType.Float, 250)).value, 0);
  assert.strictEqual((await write("V0Set", DataType.Float, 700)).value, 0);
  assert.strictEqual((await write("Pw", DataType.Boolean, true)).value, 0);
  await within(20000, "the ramp to 700 V", () => vmon.length > before && vmon[vmon.length - 1].value >= 600);
  const ramp = vmon.slice(before).map((s) => s.value);
  assert.ok(ramp.length >= 4, `steps of 10 % of 0..1000 V: ${ramp}`);
  for (let i = 1; i < ramp.length; ++i) assert.ok(ramp[i] - ramp[i - 1] > 100, `a step past 100 V: ${ramp}`);
  await write("Pw", DataType.Boolean, false);

  // The TCP crate signals no insertion: its swapped board is read after a reconnection.
  assert.deepStrictEqual(await range(session, "CrateB.Board00.Chan003.VMon"), [0, 3000]);
  assert.match(run.simControl("replace CrateB 0 VMon 0 2000"), /^OK/);
  await sleep(1500);
  assert.deepStrictEqual(await range(session, "CrateB.Board00.Chan003.VMon"), [0, 3000], "not seen while connected");
  run.simControl("break-events CrateB");
  await within(20000, "CrateB's range after its reconnection", async () => {
    const r = await range(session, "CrateB.Board00.Chan003.VMon");
    return Array.isArray(r) && r[1] === 2000;
  });
  await within(5000, "CrateB's VMon with the bit", () => other.some((s) => s.semantics));

  // A crate lost and back: its ranges show "not connected" while it is away, good again after.
  run.simControl("silent CrateA on");
  await within(20000, "CrateA lost", () => /Connection KO for \[CrateA\]/.test(run.log()));
  assert.notDeepStrictEqual(await range(session, "CrateA.Board01.Chan000.VMon"), [0, 3500]);
  run.simControl("silent CrateA off");
  await within(20000, "CrateA's ranges good again", async () => {
    const r = await range(session, "CrateA.Board01.Chan000.VMon");
    return Array.isArray(r) && r[1] === 3500;
  });
  await sub.terminate();
}

async function main() {
  const bin = process.argv[2];
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-semantics-"));
  const run = await startServer({ bin, duration: 90, logLevel: 6, keepAlivePeriodMs: 500, liveInsertion: true,
    dir: path.join(dir, "server") });
  const clientCertificateManager = new OPCUACertificateManager({ rootFolder: path.join(dir, "client-pki"),
    automaticallyAcceptUnknownCertificate: true });
  await clientCertificateManager.initialize();
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 },
    clientCertificateManager });
  let failed = null;
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    try {
      await scenario(session, run);
    } finally {
      await session.close();
    }
  } catch (e) {
    failed = e;
  } finally {
    await client.disconnect();
    await run.stop();
    if (!failed) fs.rmSync(dir, { recursive: true, force: true });
  }
  if (failed) {
    console.error(run.log().split("\n").filter((l) => /Board|Slot|Connection|properties/.test(l)).slice(-40).join("\n"));
    throw failed;
  }
  console.log("semantics interop: OK");
}

main().catch((e) => { console.error(e); process.exit(1); });
