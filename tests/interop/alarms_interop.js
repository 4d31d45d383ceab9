// Alarms as an operator's client sees them, through node-opcua against vexahv-opcserver
// over the simulated crates: a channel driven past its current limit trips, and the Trip
// alarm arrives as an event of the Server object with its message, severity and states, and
// is a node under its channel whose states read the same;
// the operator acknowledges it with a comment; "ClearAlarm" makes it inactive, and
// acknowledged and inactive it is retained no longer. A client that comes later gets the
// retained alarms of a ConditionRefresh between its RefreshStart and RefreshEnd. A crate
// that stops answering raises its ConnectionLost alarm, which returns to normal with it.
// Bounded: both processes stop by themselves after 60 s.
"use strict";
const assert = require("assert");
const { execFileSync } = require("child_process");
const path = require("path");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType, StatusCodes,
  ClientSubscription, ClientMonitoredItem, TimestampsToReturn, constructEventFilter, resolveNodeId, NodeClass,
} = require("node-opcua-client");

const item = (id) => `ns=1;s=${id}`;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const FIELDS = ["EventId", "EventType", "SourceName", "Message", "Severity", "Retain", "AckedState.Id",
  "ActiveState.Id", "ConditionName", "ConditionId"];

async function waitFor(what, pred, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    const found = pred();
    if (found) return found;
    await sleep(50);
  }
  assert.fail(`${what} within ${ms} ms`);
}

// Events of the Server object, each as { field: value }.
async function watchAlarms(session) {
  const sub = ClientSubscription.create(session, {
    requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 0, publishingEnabled: true,
  });
  const seen = [];
  const m = ClientMonitoredItem.create(sub, { nodeId: resolveNodeId("Server"), attributeId: AttributeIds.EventNotifier },
    { queueSize: 1000, filter: constructEventFilter(FIELDS) }, TimestampsToReturn.Both);
  m.on("changed", (values) => {
    const e = {};
    FIELDS.forEach((f, i) => { e[f] = values[i].value; });
    seen.push(e);
  });
  await new Promise((res) => sub.once("started", res));
  await sleep(300);
  return { sub, seen };
}

async function main() {
  const bin = process.argv[2];
  const run = await startServer({ bin, duration: 60, logLevel: 6, keepAlivePeriodMs: 300 });
  const control = (line) => execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), ...line.split(" ")]).toString();
  const connect = async () => {
    const client = OPCUAClient.create({
      applicationName: "vexahv alarms interop", endpointMustExist: false,
      securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 },
    });
    await client.connect(run.url);
    return { client, session: await client.createSession() };
  };
  const first = await connect();
  try {
    await scenario(first, connect, control, run);
  } catch (e) {
    // What the server saw, for a failure on a machine we cannot log into (the keep-alive
    // lines left out); ALARMS_LOG_COPY names a file for the whole log.
    const log = run.log();
    if (process.env.ALARMS_LOG_COPY) require("fs").writeFileSync(process.env.ALARMS_LOG_COPY, log);
    const lines = log.split("\n").filter((l) => !/KEEPALIVE|KeepAlive for device|Events? received/.test(l));
    console.error(`-- the server's log, its last 150 lines of note --\n${lines.slice(-150).join("\n")}`);
    throw e;
  } finally {
    await first.session.close();
    await first.client.disconnect();
    await run.stop();
  }
}

async function scenario(first, connect, control, run) {
  const { session } = first;
  await waitUntilRunning(session);
  const { sub, seen } = await watchAlarms(session);
  const chan = "CrateA.Board00.Chan003";
  // Watched, as a SCADA watches them: the alarm's message gives their values.
  for (const p of ["VMon", "IMon", "Status"]) {
    ClientMonitoredItem.create(sub, { nodeId: item(`${chan}.${p}`), attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
  }
  const write = (p, dataType, value) => session.write({ nodeId: item(`${chan}.${p}`), attributeId: AttributeIds.Value,
    value: { value: { dataType, value } } });
  // 100 MOhm: 1 uA at 100 V, reached within 2 s of the ramp at 50 V/s; no grace time.
  assert.strictEqual((await write("I0Set", DataType.Float, 1)).value, 0);
  assert.strictEqual((await write("Trip", DataType.Float, 0)).value, 0);
  assert.strictEqual((await write("V0Set", DataType.Float, 1000)).value, 0);
  assert.strictEqual((await write("Pw", DataType.Boolean, true)).value, 0);
  const tripped = await waitFor("the Trip alarm", () =>
    seen.find((e) => e.SourceName === chan && e.ConditionName === "Trip" && e["ActiveState.Id"] === true), 30000);
  assert.match(tripped.Message.text, /^CrateA Board00 Chan003 tripped at \d+\.\d V, \d+\.\d µA$/, tripped.Message.text);
  assert.strictEqual(tripped.Severity, 900);
  assert.strictEqual(tripped.Retain, true);
  assert.strictEqual(tripped["AckedState.Id"], false);
  assert.strictEqual(tripped.EventType.toString(), "ns=1;i=65537", "ChannelTripAlarmType");
  const conditionId = tripped.ConditionId.toString();
  assert.strictEqual(conditionId, `ns=1;s=${chan}#Trip`);
  // The alarm is a node under its channel, its states readable as its events show them.
  const under = await session.browse(item(chan));
  assert.ok(under.references.some((r) => r.nodeId.toString() === conditionId), "the condition under its channel");
  const [activeNow, severityNow] = await session.read([
    { nodeId: `${conditionId}.ActiveState.Id`, attributeId: AttributeIds.Value },
    { nodeId: `${conditionId}.Severity`, attributeId: AttributeIds.Value }]);
  assert.strictEqual(activeNow.value.value, true);
  assert.strictEqual(severityNow.value.value, 900);
  // Its methods are where a generic client looks for them, with their arguments.
  const methods = (await session.browse(conditionId)).references.filter((r) => r.nodeClass === NodeClass.Method);
  assert.deepStrictEqual(methods.map((r) => r.browseName.name), ["Acknowledge", "Confirm", "AddComment", "Enable", "Disable"]);
  const ackArgs = await session.getArgumentDefinition("ns=0;i=9111");
  assert.deepStrictEqual(ackArgs.inputArguments.map((a) => a.name), ["EventId", "Comment"]);
  const shelving = (await session.browse(`${conditionId}.ShelvingState`)).references
    .filter((r) => r.nodeClass === NodeClass.Method).map((r) => r.browseName.name);
  assert.deepStrictEqual(shelving, ["TimedShelve", "OneShotShelve", "Unshelve"]);

  const ack = async (eventId) => (await session.call({
    objectId: conditionId, methodId: "ns=0;i=9111",
    inputArguments: [{ dataType: DataType.ByteString, value: eventId }, { dataType: DataType.LocalizedText, value: { text: "seen by the shift" } }],
  })).statusCode;
  assert.strictEqual((await ack(Buffer.from("not an event"))).value, StatusCodes.BadEventIdUnknown.value);
  assert.strictEqual((await ack(tripped.EventId)).value, StatusCodes.Good.value);
  await waitFor("the acknowledged alarm", () => seen.find((e) => e.SourceName === chan && e["AckedState.Id"] === true), 5000);
  await waitFor("the audit line", () => run.log().includes(`acknowledge: user [anonymous] condition [${chan}#Trip] comment [seen by the shift]`), 5000);

  // A second channel trips and stays so; then ClearAlarm clears both in the hardware.
  const other = "CrateA.Board00.Chan004";
  const w2 = (p, dataType, value) => session.write({ nodeId: item(`${other}.${p}`), attributeId: AttributeIds.Value,
    value: { value: { dataType, value } } });
  ClientMonitoredItem.create(sub, { nodeId: item(`${other}.Status`), attributeId: AttributeIds.Value },
    { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
  for (const [p, t, v] of [["I0Set", DataType.Float, 1], ["Trip", DataType.Float, 0], ["V0Set", DataType.Float, 1000], ["Pw", DataType.Boolean, true]]) {
    assert.strictEqual((await w2(p, t, v)).value, 0);
  }
  await waitFor("the second Trip alarm", () => seen.find((e) => e.SourceName === other && e["ActiveState.Id"] === true), 30000);

  // A client that comes now: a refresh frames the one retained alarm of each channel.
  const second = await connect();
  try {
    const late = await watchAlarms(second.session);
    const refresh = await second.session.call({ objectId: "ns=0;i=2782", methodId: "ns=0;i=3875",
      inputArguments: [{ dataType: DataType.UInt32, value: late.sub.subscriptionId }] });
    assert.strictEqual(refresh.statusCode.value, StatusCodes.Good.value);
    await waitFor("RefreshEnd", () => late.seen.find((e) => e.EventType.toString() === "ns=0;i=2788"), 5000);
    const types = late.seen.map((e) => e.EventType.toString());
    const start = types.indexOf("ns=0;i=2787"), end = types.indexOf("ns=0;i=2788");
    assert.ok(start >= 0 && end > start, `framed: ${types}`);
    // Each trip came with its over-current, retained too until acknowledged. Only these
    // channels' alarms are asked after: on a loaded machine a crate that missed a probe
    // for 3 s is honestly lost, and its alarm retained.
    const framed = late.seen.slice(start + 1, end).filter((e) => e.SourceName === chan || e.SourceName === other)
      .map((e) => `${e.SourceName}#${e.ConditionName}`).sort();
    assert.deepStrictEqual(framed, [`${chan}#OverCurrent`, `${chan}#Trip`, `${other}#OverCurrent`, `${other}#Trip`]);
  } finally {
    await second.session.close();
    await second.client.disconnect();
  }

  const since = seen.length;
  assert.strictEqual((await session.write({ nodeId: item("CrateA.ClearAlarm"), attributeId: AttributeIds.Value,
    value: { value: { dataType: DataType.Boolean, value: true } } })).value, 0);
  const cleared = await waitFor("the cleared Trip", () =>
    seen.slice(since).find((e) => e.SourceName === chan && e.ConditionName === "Trip" && e["ActiveState.Id"] === false), 10000);
  assert.strictEqual(cleared.Retain, false, "inactive and acknowledged: no longer retained");
  const stillThere = await waitFor("the other, cleared but unacknowledged", () =>
    seen.slice(since).find((e) => e.SourceName === other && e["ActiveState.Id"] === false), 10000);
  assert.strictEqual(stillThere.Retain, true, "inactive, not acknowledged: retained");

  // CrateB stops answering: its connection-lost alarm, the most severe; back when it answers.
  control("silent CrateB on");
  const lost = await waitFor("CrateB's ConnectionLost", () =>
    seen.find((e) => e.SourceName === "CrateB" && e.ConditionName === "ConnectionLost" && e["ActiveState.Id"] === true), 15000);
  assert.strictEqual(lost.Severity, 1000);
  assert.match(lost.Message.text, /^CrateB lost: no answer from 127\.0\.0\.3$/);
  control("silent CrateB off");
  await waitFor("CrateB back", () =>
    seen.find((e) => e.SourceName === "CrateB" && e.ConditionName === "ConnectionLost" && e["ActiveState.Id"] === false), 20000);
  console.log("alarms interop: trip, acknowledge, refresh, clear and a lost crate as an operator's client sees them");
}

main().catch((e) => { console.error(e); process.exit(1); });
