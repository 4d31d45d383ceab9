// The Standard UA Server profile's data-change facets through node-opcua against
// vexahv-opcserver over the simulated crates: a channel ramps at 50 V/s, and its VMon
// watched with a percent deadband (of its EURange's span) and with an absolute one reports
// only moves past them; a percent deadband on an item without a range, or past 100 %, is
// refused, at creation and at modification. SetTriggering: an item that only samples
// reports when the item linked to it does, and not otherwise; links to unknown items, and
// links removed twice or with their item, say so. Fifty sessions, of fifty clients at
// once, each subscribing, all get their values. Cancel answers a waiting Publish of its
// handle, cancelled, and counts it. Bounded: both processes stop after 60 s.
"use strict";
const assert = require("assert");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType, StatusCodes, TimestampsToReturn,
  ClientSubscription, ClientMonitoredItem, DataChangeFilter, DataChangeTrigger, DeadbandType, MonitoringMode,
  PublishRequest, CancelRequest, ReadRequest,
} = require("node-opcua-client");

const item = (id) => `ns=1;s=${id}`;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const CHAN = "CrateA.Board00.Chan006";

const deadband = (type, value) => new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue, deadbandType: type, deadbandValue: value });

async function scenario(session) {
  await waitUntilRunning(session);
  const profiles = await session.read({ nodeId: "ns=0;i=2269", attributeId: AttributeIds.Value });
  assert.deepStrictEqual(profiles.value.value, ["http://opcfoundation.org/UA-Profile/Server/StandardUA2017",
    "http://opcfoundation.org/UA-Profile/Server/EmbeddedUA2017"]);
  const [low, high] = (await session.read([{ nodeId: item(`${CHAN}.VMon#LowEU`) }, { nodeId: item(`${CHAN}.VMon#HighEU`) }]))
    .map((v) => v.value.value);
  const span = high - low;
  assert.ok(span > 0, `VMon's range ${low}..${high}`);
  const sub = ClientSubscription.create(session, {
    requestedPublishingInterval: 50, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 0, publishingEnabled: true,
  });
  await new Promise((res) => sub.once("started", res));
  const watch = (nodeId, filter, mode = MonitoringMode.Reporting) => {
    const seen = [];
    const m = ClientMonitoredItem.create(sub, { nodeId, attributeId: AttributeIds.Value },
      { samplingInterval: 0, queueSize: 100, discardOldest: true, filter }, TimestampsToReturn.Both, mode);
    m.on("changed", (dv) => seen.push(dv.value.value));
    return { m, seen };
  };
  const percent = watch(item(`${CHAN}.VMon`), deadband(DeadbandType.Percent, 2));   // 2 % of the span
  const absolute = watch(item(`${CHAN}.VMon`), deadband(DeadbandType.Absolute, 10));
  const plain = watch(item(`${CHAN}.VMon`));
  const triggered = watch(item(`${CHAN}.IMon`), undefined, MonitoringMode.Sampling);
  const alone = watch(item(`${CHAN}.IMon`), undefined, MonitoringMode.Sampling);
  await sleep(500);
  for (const m of [percent, plain, triggered, alone]) assert.ok(m.m.monitoredItemId, "created");
  const link = await session.setTriggering({ subscriptionId: sub.subscriptionId, triggeringItemId: plain.m.monitoredItemId,
    linksToAdd: [triggered.m.monitoredItemId, 999999], linksToRemove: [] });
  assert.deepStrictEqual(link.addResults.map((r) => r.value), [StatusCodes.Good.value, StatusCodes.BadMonitoredItemIdInvalid.value]);
  await sleep(300);
  triggered.seen.length = 0;
  const write = (p, dataType, value) => session.write({ nodeId: item(`${CHAN}.${p}`), attributeId: AttributeIds.Value,
    value: { value: { dataType, value } } });
  assert.strictEqual((await write("V0Set", DataType.Float, 400)).value, 0);
  assert.strictEqual((await write("Pw", DataType.Boolean, true)).value, 0);
  await sleep(6000);  // a ramp of about 300 V
  const steps = (values) => values.slice(1).map((v, i) => Math.abs(v - values[i]));
  assert.ok(plain.seen.length > percent.seen.length, `${plain.seen.length} values plain, ${percent.seen.length} past 2 %`);
  assert.ok(percent.seen.length >= 3, `the ramp passes the percent deadband: ${percent.seen}`);
  for (const s of steps(percent.seen)) assert.ok(s > span * 0.02, `a step of ${s} V past 2 % of ${span} V`);
  for (const s of steps(absolute.seen)) assert.ok(s > 10, `a step of ${s} V past 10 V`);
  assert.ok(absolute.seen.length > percent.seen.length || span * 0.02 <= 10, "10 V lets more through than 2 %");
  assert.ok(triggered.seen.length >= 2, `the linked item reports with its trigger: ${triggered.seen.length} values`);
  assert.strictEqual(alone.seen.length, 0, "an item that only samples, linked to none, reports nothing");

  // Links go: removed (a second time: unknown), or with their item.
  const unlink = async (add, remove) => (await session.setTriggering({ subscriptionId: sub.subscriptionId,
    triggeringItemId: plain.m.monitoredItemId, linksToAdd: add, linksToRemove: remove }));
  assert.deepStrictEqual((await unlink([], [triggered.m.monitoredItemId])).removeResults.map((r) => r.value), [0]);
  assert.deepStrictEqual((await unlink([], [triggered.m.monitoredItemId])).removeResults.map((r) => r.value),
    [StatusCodes.BadMonitoredItemIdInvalid.value]);
  assert.deepStrictEqual((await unlink([alone.m.monitoredItemId], [])).addResults.map((r) => r.value), [0]);
  await alone.m.terminate();
  assert.deepStrictEqual((await unlink([], [alone.m.monitoredItemId])).removeResults.map((r) => r.value),
    [StatusCodes.BadMonitoredItemIdInvalid.value], "deleted with its item");
  await assert.rejects(session.setTriggering({ subscriptionId: sub.subscriptionId, triggeringItemId: 999999,
    linksToAdd: [triggered.m.monitoredItemId], linksToRemove: [] }), /BadMonitoredItemIdInvalid/);

  // An item without a range (a status word), or past 100 %: refused, at creation and when
  // an item is modified to it.
  const refused = async (nodeId, filter) => {
    const result = await session.createMonitoredItems({
      subscriptionId: sub.subscriptionId, timestampsToReturn: TimestampsToReturn.Both,
      itemsToCreate: [{ itemToMonitor: { nodeId, attributeId: AttributeIds.Value }, monitoringMode: 2,
        requestedParameters: { clientHandle: 900, samplingInterval: 100, queueSize: 1, discardOldest: true, filter } }],
    });
    return result.results[0].statusCode.value;
  };
  assert.strictEqual(await refused(item(`${CHAN}.Status`), deadband(DeadbandType.Percent, 5)), StatusCodes.BadDeadbandFilterInvalid.value);
  assert.strictEqual(await refused(item(`${CHAN}.VMon`), deadband(DeadbandType.Percent, 150)), StatusCodes.BadDeadbandFilterInvalid.value);
  const modified = await session.modifyMonitoredItems({
    subscriptionId: sub.subscriptionId, timestampsToReturn: TimestampsToReturn.Both,
    itemsToModify: [{ monitoredItemId: plain.m.monitoredItemId, requestedParameters: { clientHandle: 901, samplingInterval: 100,
      queueSize: 10, discardOldest: true, filter: deadband(DeadbandType.Percent, 150) } }],
  });
  assert.strictEqual(modified.results[0].statusCode.value, StatusCodes.BadDeadbandFilterInvalid.value);
  await write("Pw", DataType.Boolean, false);
  await sub.terminate();
}

// A Publish left waiting (a subscription with nothing to send for a long while), then
// cancelled by its handle.
async function cancelled(session) {
  await session.createSubscription({ requestedPublishingInterval: 10000, requestedLifetimeCount: 100,
    requestedMaxKeepAliveCount: 10, publishingEnabled: true, maxNotificationsPerPublish: 0, priority: 0 });
  await session.performMessageTransaction(new PublishRequest({ subscriptionAcknowledgements: [] }));  // the first keep-alive
  const waiting = new PublishRequest({ subscriptionAcknowledgements: [] });
  const answer = session.performMessageTransaction(waiting).then(() => "answered", (e) => String(e.message));
  await sleep(300);
  const cancel = await session.performMessageTransaction(new CancelRequest({ requestHandle: waiting.requestHeader.requestHandle }));
  assert.strictEqual(cancel.cancelCount, 1);
  assert.match(await answer, /BadRequestCancelledByClient/);
  const none = await session.performMessageTransaction(new CancelRequest({ requestHandle: 999999 }));
  assert.strictEqual(none.cancelCount, 0, "nothing of that handle");
}

// Device reads of a slow crate: four run at once, the rest wait for a worker. Cancel of one
// that waits answers it at once, cancelled, and it never reaches the crate; one at the
// crate finishes.
async function cancelledReads(session, run) {
  run.simControl("latency CrateA 1500");
  const read = () => {
    const request = new ReadRequest({ maxAge: 0, timestampsToReturn: TimestampsToReturn.Both,
      nodesToRead: [{ nodeId: item(`${CHAN}.VMon`), attributeId: AttributeIds.Value }] });
    const answer = session.performMessageTransaction(request).then(() => "answered", (e) => String(e.message));
    return { handle: request.requestHeader.requestHandle, answer };
  };
  const reads = Array.from({ length: 7 }, read);
  await sleep(300);
  const first = reads[0], last = reads[6];
  const started = Date.now();
  const cancel = await session.performMessageTransaction(new CancelRequest({ requestHandle: last.handle }));
  assert.strictEqual(cancel.cancelCount, 1, "the waiting read is cancelled");
  assert.match(await last.answer, /BadRequestCancelledByClient/);
  assert.ok(Date.now() - started < 1000, "answered at once, not after the crate");
  const running = await session.performMessageTransaction(new CancelRequest({ requestHandle: first.handle }));
  assert.strictEqual(running.cancelCount, 0, "a read at the crate is not cancelled");
  assert.strictEqual(await first.answer, "answered");
  for (const r of reads.slice(1, 6)) assert.strictEqual(await r.answer, "answered");
  run.simControl("latency CrateA 0");
}

// Fifty clients at once, each with a session and a subscription to a channel's VMon.
async function fiftySessions(url) {
  const one = async (n) => {
    const client = OPCUAClient.create({ applicationName: `vexahv profile ${n}`, endpointMustExist: false,
      securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 } });
    await client.connect(url);
    const session = await client.createSession();
    const sub = ClientSubscription.create(session, { requestedPublishingInterval: 100, requestedLifetimeCount: 600,
      requestedMaxKeepAliveCount: 10, publishingEnabled: true });
    const value = await new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`session ${n} got no value`)), 20000);
      const m = ClientMonitoredItem.create(sub, { nodeId: item(`CrateA.Board00.Chan${String(n % 12).padStart(3, "0")}.VMon`),
        attributeId: AttributeIds.Value }, { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
      m.once("changed", (dv) => { clearTimeout(timer); resolve(dv); });
    });
    return { client, session, value };
  };
  const all = await Promise.all(Array.from({ length: 50 }, (_, n) => one(n)));
  for (const { value } of all) assert.strictEqual(value.statusCode.value, 0);
  await Promise.all(all.map(async ({ client, session }) => { await session.close(); await client.disconnect(); }));
}

async function main() {
  const bin = process.argv[2];
  const run = await startServer({ bin, duration: 60, logLevel: 5 });
  const client = OPCUAClient.create({
    applicationName: "vexahv profile interop", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 },
  });
  await client.connect(run.url);
  const session = await client.createSession();
  try {
    await scenario(session);
    await fiftySessions(run.url);
    await cancelled(session);
    await cancelledReads(session, run);
  } catch (e) {
    console.error(`-- the server's log, its last 40 lines --\n${run.log().split("\n").slice(-40).join("\n")}`);
    throw e;
  } finally {
    await session.close();
    await client.disconnect();
    await run.stop();
  }
  console.log("profile interop: ok");
}

main().catch((e) => { console.error(e); process.exit(1); });
