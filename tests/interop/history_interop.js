// History through node-opcua against vexahv-opcserver over the simulated crates: a
// channel ramps, and HistoryRead Raw of its VMon gives the ramp's values in order, at most
// one a second, with bounds; read two at a time by continuation points it gives the same;
// at a time between two of them, a value interpolated on the line between; averages,
// minima, maxima and counts over intervals agree with each other;
// a released point is spent; items the server keeps say so (Historizing, AccessLevel's
// HistoryRead bit), others refuse; a tripped channel's alarm events are read back through
// an event filter, from the Server object and from the channel's branch; a crate that stops answering leaves a Bad value in its
// channels' history, the hole shown rather than a straight line.
// With --postgres, the same against a PostgreSQL the test starts on a Unix socket of its
// own, where the values are then found. Bounded: both processes stop by themselves after 60 s.
"use strict";
const assert = require("assert");
const { execFileSync } = require("child_process");
const path = require("path");
const fs = require("fs");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const { startPostgres } = require("./postgres_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType, StatusCodes, TimestampsToReturn,
  HistoryReadRequest, ReadRawModifiedDetails, ReadAtTimeDetails, ReadProcessedDetails, ReadEventDetails, resolveNodeId,
  constructEventFilter, makeBrowsePath, EventFilter, FilterOperator, SimpleAttributeOperand, LiteralOperand,
} = require("node-opcua-client");

const item = (id) => `ns=1;s=${id}`;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const CHAN = "CrateA.Board00.Chan005";

async function historyRead(session, nodes, details, release = false) {
  const response = await session.historyRead(new HistoryReadRequest({
    historyReadDetails: details, timestampsToReturn: TimestampsToReturn.Source, releaseContinuationPoints: release,
    nodesToRead: nodes.map(([nodeId, continuationPoint]) => ({ nodeId, continuationPoint })),
  }));
  return response.results;
}

const raw = (startTime, endTime, numValuesPerNode = 0, returnBounds = false) =>
  new ReadRawModifiedDetails({ isReadModified: false, startTime, endTime, numValuesPerNode, returnBounds });

async function scenario(session, control) {
  await waitUntilRunning(session);
  const t0 = new Date(Date.now() - 1000);
  const write = (p, dataType, value) => session.write({ nodeId: item(`${CHAN}.${p}`), attributeId: AttributeIds.Value,
    value: { value: { dataType, value } } });
  assert.strictEqual((await write("V0Set", DataType.Float, 400)).value, 0);
  assert.strictEqual((await write("Pw", DataType.Boolean, true)).value, 0);
  await sleep(8000);  // ramping at 50 V/s

  // Kept, and said so; a property of the channel is not.
  const [historizing, access, other] = await session.read([
    { nodeId: item(`${CHAN}.VMon`), attributeId: AttributeIds.Historizing },
    { nodeId: item(`${CHAN}.VMon`), attributeId: AttributeIds.AccessLevel },
    { nodeId: item(`${CHAN}.RUp`), attributeId: AttributeIds.Historizing },
  ]);
  assert.strictEqual(historizing.value.value, true);
  assert.strictEqual(access.value.value & 4, 4, "AccessLevel has HistoryRead");
  assert.strictEqual(other.value.value, false);
  // Its HistoricalDataConfiguration says how: a voltage on a line between its values, the
  // deadband of half its last decimal (none published here: 0), a second at the least.
  const refs = (await session.browse(item(`${CHAN}.VMon`))).references;
  const config = refs.find((r) => r.referenceTypeId.toString() === "ns=0;i=56");
  assert.ok(config, "HasHistoricalConfiguration");
  assert.strictEqual(config.browseName.name, "HA Configuration");
  const members = (await session.browse(config.nodeId)).references.map((r) => r.browseName.name);
  for (const m of ["AggregateConfiguration", "Stepped", "MinTimeInterval", "ExceptionDeviation"]) assert.ok(members.includes(m), m);
  const paths = await session.translateBrowsePath([
    makeBrowsePath(item(`${CHAN}.VMon`), "/0:HA Configuration.Stepped"),
    makeBrowsePath(item(`${CHAN}.VMon`), "/0:HA Configuration.MinTimeInterval"),
    makeBrowsePath(item(`${CHAN}.VMon`), "/0:HA Configuration/0:AggregateConfiguration.PercentDataGood"),
    makeBrowsePath(item(`${CHAN}.Status`), "/0:HA Configuration.Stepped"),
  ]);
  const targets = paths.map((p) => { assert.strictEqual(p.statusCode.value, 0, p.statusCode.toString()); return p.targets[0].targetId; });
  const [stepped, interval, good, statusStepped] = await session.read(targets.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })));
  assert.deepStrictEqual([stepped.value.value, interval.value.value, good.value.value, statusStepped.value.value], [false, 1000, 100, true]);
  assert.ok(!(await session.browse(item(`${CHAN}.RUp`))).references.some((r) => r.referenceTypeId.toString() === "ns=0;i=56"),
    "an item not kept has none");

  // An end long enough ago that everything before it, and its bound, is written: reads of
  // the range are the same each time.
  const end = new Date(Date.now() - 2500);
  const [all] = await historyRead(session, [[item(`${CHAN}.VMon`)]], raw(t0, end, 0, true));
  assert.strictEqual(all.statusCode.value, 0, all.statusCode.toString());
  const values = all.historyData.dataValues;
  const ramp = values.filter((v) => v.statusCode.value === 0);
  assert.ok(ramp.length >= 4, `a ramp of several values: ${ramp.length}`);
  for (let i = 1; i < ramp.length; i++) {
    assert.ok(ramp[i].sourceTimestamp > ramp[i - 1].sourceTimestamp, "in time order");
    assert.ok(ramp[i].value.value >= ramp[i - 1].value.value, "a ramp goes up");
  }
  // About one a second: within each second after a value is written only the last of it is.
  const span = (ramp[ramp.length - 1].sourceTimestamp - ramp[0].sourceTimestamp) / 1000;
  assert.ok(ramp.length <= span + 2, `${ramp.length} values over ${span} s: about one a second`);
  assert.ok(ramp[ramp.length - 1].value.value > ramp[0].value.value);
  assert.ok(values[values.length - 1].sourceTimestamp >= end, "the end's bound: the first value after it");

  // Two at a time by continuation points: the same values.
  const paged = [];
  let point = null, calls = 0;
  do {
    const [page] = await historyRead(session, [[item(`${CHAN}.VMon`), point]], raw(t0, end, 2, true));
    assert.strictEqual(page.statusCode.value, 0, page.statusCode.toString());
    assert.ok(page.historyData.dataValues.length <= 2);
    paged.push(...page.historyData.dataValues);
    point = page.continuationPoint && page.continuationPoint.length ? page.continuationPoint : null;
  } while (point && ++calls < 100);
  assert.deepStrictEqual(paged.map((v) => [v.value.value, +v.sourceTimestamp]), values.map((v) => [v.value.value, +v.sourceTimestamp]));
  // A released point is spent.
  const [first] = await historyRead(session, [[item(`${CHAN}.VMon`)]], raw(t0, end, 1));
  assert.ok(first.continuationPoint && first.continuationPoint.length);
  await historyRead(session, [[item(`${CHAN}.VMon`), first.continuationPoint]], raw(t0, end, 1), true);
  const [spent] = await historyRead(session, [[item(`${CHAN}.VMon`), first.continuationPoint]], raw(t0, end, 1));
  assert.strictEqual(spent.statusCode.value, StatusCodes.BadContinuationPointInvalid.value);

  // At a time between two ramp values: one on the line between them, marked Interpolated
  // (the status code's historian bits, OPC UA Part 4, 7.39); at a value's own time, that value.
  const [a, b] = [ramp[1], ramp[2]];
  const between = new Date((+a.sourceTimestamp + +b.sourceTimestamp) / 2);
  const [at] = await historyRead(session, [[item(`${CHAN}.VMon`)]],
    new ReadAtTimeDetails({ reqTimes: [between, a.sourceTimestamp], useSimpleBounds: true }));
  assert.strictEqual(at.statusCode.value, 0, at.statusCode.toString());
  const [mid, exact] = at.historyData.dataValues;
  assert.strictEqual(mid.statusCode.value & 0x403, 0x402, "Interpolated");
  assert.ok(mid.value.value >= a.value.value && mid.value.value <= b.value.value, `${mid.value.value} between`);
  // (A Date has milliseconds, the value's time 100 ns: within a millisecond of it.)
  assert.ok(Math.abs(exact.value.value - a.value.value) < 0.5, `${exact.value.value} at ${a.value.value}`);

  // Aggregates over intervals of two seconds: each interval's average lies between its
  // minimum and maximum, and its count of values is about two; an aggregate the server
  // does not compute says so.
  const processed = (types) => new ReadProcessedDetails({ startTime: ramp[0].sourceTimestamp, endTime: end,
    processingInterval: 2000, aggregateType: types.map((t) => resolveNodeId(t)) });
  const vmon = item(`${CHAN}.VMon`);
  const [avg, min, max, count, unsupported] = await historyRead(session, [[vmon], [vmon], [vmon], [vmon], [vmon]],
    processed(["i=2342", "i=2346", "i=2347", "i=2352", "i=2344"]));  // 2344: TimeAverage
  for (const r of [avg, min, max, count]) assert.strictEqual(r.statusCode.value, 0, r.statusCode.toString());
  assert.strictEqual(unsupported.statusCode.value, StatusCodes.BadAggregateNotSupported.value);
  const intervals = avg.historyData.dataValues.length;
  assert.ok(intervals >= 2, `${intervals} intervals`);
  for (let i = 0; i < intervals; i++) {
    const [a, lo, hi, n] = [avg, min, max, count].map((r) => r.historyData.dataValues[i]);
    if (n.value.value === 0) continue;
    assert.strictEqual(a.statusCode.value & 0x403, 0x401, "Calculated");
    assert.ok(lo.value.value <= a.value.value + 1e-3 && a.value.value <= hi.value.value + 1e-3, `${lo.value.value} ${a.value.value} ${hi.value.value}`);
    assert.ok(n.value.value <= 3, `${n.value.value} values in two seconds`);
  }
  await assert.rejects(historyRead(session, [[vmon], [vmon]], processed(["i=2342"])), /BadAggregateListMismatch/);
  // The client's own configuration: shares that overlap are refused.
  const [rejected] = await historyRead(session, [[vmon]], new ReadProcessedDetails({ startTime: ramp[0].sourceTimestamp,
    endTime: end, processingInterval: 2000, aggregateType: [resolveNodeId("i=2342")],
    aggregateConfiguration: { useServerCapabilitiesDefaults: false, percentDataBad: 20, percentDataGood: 20 } }));
  assert.strictEqual(rejected.statusCode.value, StatusCodes.BadAggregateConfigurationRejected.value);
  // More times or intervals than a call gives: the rest by continuation points, each once.
  const pages = async (details) => {
    const all = [];
    let point = null, calls = 0;
    do {
      const [page] = await historyRead(session, [[vmon, point]], details);
      assert.strictEqual(page.statusCode.value, 0, page.statusCode.toString());
      all.push(...page.historyData.dataValues);
      point = page.continuationPoint && page.continuationPoint.length ? page.continuationPoint : null;
    } while (point && ++calls < 10);
    return { all, calls: calls + 1 };
  };
  const from = +ramp[0].sourceTimestamp;
  const manyTimes = Array.from({ length: 60000 }, (_, i) => new Date(from + i / 10));
  const atTimes = await pages(new ReadAtTimeDetails({ reqTimes: manyTimes, useSimpleBounds: true }));
  assert.strictEqual(atTimes.calls, 2);
  assert.strictEqual(atTimes.all.length, 60000);
  const fine = await pages(new ReadProcessedDetails({ startTime: new Date(from), endTime: new Date(from + 8000),
    processingInterval: 0.1, aggregateType: [resolveNodeId("i=2352")] }));
  assert.strictEqual(fine.calls, 2);
  assert.strictEqual(fine.all.length, 80000);
  const [inRange] = await historyRead(session, [[vmon]], raw(new Date(from), new Date(from + 8000)));
  assert.strictEqual(fine.all.reduce((a, v) => a + v.value.value, 0),
    inRange.historyData.dataValues.filter((v) => v.statusCode.value === 0).length, "every raw value counted once");

  // What is not kept, or not there, or not read this way, says so.
  const [notKept, unknown] = await historyRead(session, [[item(`${CHAN}.RUp`)], [item("CrateA.Nothing")]], raw(t0, end));
  assert.strictEqual(notKept.statusCode.value, StatusCodes.BadHistoryOperationUnsupported.value);
  assert.strictEqual(unknown.statusCode.value, StatusCodes.BadNodeIdUnknown.value);
  const [noTimes] = await historyRead(session, [[item(`${CHAN}.VMon`)]], raw(null, null, 10));
  assert.strictEqual(noTimes.statusCode.value, StatusCodes.BadInvalidTimestampArgument.value);

  // A channel trips: its alarm's events are kept, and read back from the Server object and
  // from the channel's own branch through an event filter; a board without it has none, a
  // variable no events at all.
  const tripChan = "CrateA.Board00.Chan007";
  const tripFrom = new Date();
  for (const [p, t, v] of [["I0Set", DataType.Float, 1], ["Trip", DataType.Float, 0], ["V0Set", DataType.Float, 1000],
    ["Pw", DataType.Boolean, true]]) {
    assert.strictEqual((await session.write({ nodeId: item(`${tripChan}.${p}`), attributeId: AttributeIds.Value,
      value: { value: { dataType: t, value: v } } })).value, 0);
  }
  const FIELDS = ["SourceName", "ConditionName", "Message", "Severity", "ActiveState.Id", "Time"];
  const events = (nodes, filter = constructEventFilter(FIELDS, [resolveNodeId("AlarmConditionType")])) =>
    historyRead(session, nodes.map((n) => [n]), new ReadEventDetails({ startTime: tripFrom,
      endTime: new Date(Date.now() + 1000), numValuesPerNode: 0, filter }));
  const asObject = (fields) => Object.fromEntries(FIELDS.map((f, i) => [f, fields.eventFields[i].value]));
  let trip = null, fromServer = [];
  for (const until = Date.now() + 20000; !trip && Date.now() < until;) {
    await sleep(500);
    const [server] = await events(["i=2253"]);
    assert.strictEqual(server.statusCode.value & 0xC0000000, 0, server.statusCode.toString());
    fromServer = (server.historyData?.events || []).map(asObject);
    trip = fromServer.find((e) => e.SourceName === tripChan && e.ConditionName === "Trip" && e["ActiveState.Id"] === true);
  }
  assert.ok(trip, `the Trip alarm's event is kept: ${JSON.stringify(fromServer.map((e) => [e.SourceName, e.ConditionName]))}`);
  assert.match(trip.Message.text, /tripped at/);
  assert.strictEqual(trip.Severity, 900);
  const [branch, otherBoard, variable] = await events([item(tripChan), item("CrateA.Board01"), item(`${tripChan}.VMon`)]);
  const mine = (branch.historyData?.events || []).map(asObject);
  assert.ok(mine.some((e) => e.ConditionName === "Trip") && mine.every((e) => e.SourceName === tripChan), "the branch's own");
  assert.ok(!(otherBoard.historyData?.events || []).length, "another board's branch has none of them");
  assert.strictEqual(variable.statusCode.value, StatusCodes.BadHistoryOperationUnsupported.value);
  // Only the Severity asked for, where Severity is at least 900: the trip, not what came with it.
  const severe = new EventFilter({ selectClauses: constructEventFilter(["Severity"]).selectClauses,
    whereClause: { elements: [{ filterOperator: FilterOperator.GreaterThanOrEqual, filterOperands: [
      new SimpleAttributeOperand({ typeDefinitionId: resolveNodeId("BaseEventType"), browsePath: [{ name: "Severity" }],
        attributeId: AttributeIds.Value }),
      new LiteralOperand({ value: { dataType: DataType.UInt16, value: 900 } })] }] } });
  const [onlySevere] = await events(["i=2253"], severe);
  const severities = onlySevere.historyData.events.map((e) => e.eventFields[0].value);
  assert.ok(severities.length >= 1 && severities.every((v) => v >= 900), `${severities}`);
  await session.write({ nodeId: item(`${tripChan}.Pw`), attributeId: AttributeIds.Value,
    value: { value: { dataType: DataType.Boolean, value: false } } });

  // The crate goes silent: its channels' history records the loss.
  const lostFrom = new Date();
  control("silent CrateA on");
  const deadline = Date.now() + 15000;
  let loss = null;
  while (!loss && Date.now() < deadline) {
    await sleep(500);
    const [r] = await historyRead(session, [[item(`${CHAN}.VMon`)]], raw(lostFrom, new Date(Date.now() + 1000)));
    loss = (r.historyData?.dataValues || []).find((v) => v.statusCode.value === StatusCodes.BadNotConnected.value);
  }
  control("silent CrateA off");
  assert.ok(loss, "a BadNotConnected value marks the loss");
}

async function main() {
  const bin = process.argv[2];
  const pg = process.argv[3] === "--postgres" ? await startPostgres() : null;
  if (pg && pg.skip) {
    console.log(`history interop on PostgreSQL: skipped: ${pg.skip}`);
    process.exit(77);
  }
  try {
    await withServer(bin, pg);
  } finally {
    if (pg) await pg.stop();
  }
  console.log(`history interop${pg ? " on PostgreSQL" : ""}: ok`);
}

async function withServer(bin, pg) {
  const settings = pg ? `HistoryDatabase = ${pg.conninfo};HistorySource = test-stand;` : "";
  const run = await startServer({ bin, duration: 60, logLevel: 6, keepAlivePeriodMs: 300, settings });
  const control = (line) => execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), ...line.split(" ")]).toString();
  const client = OPCUAClient.create({
    applicationName: "vexahv history interop", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 },
  });
  await client.connect(run.url);
  const session = await client.createSession();
  try {
    await scenario(session, control);
    if (pg) {
      // The values went to PostgreSQL, under this server's source, and no file was made.
      const [[n]] = pg.query(`SELECT count(*) FROM history_samples s JOIN history_items i USING (key)
        WHERE i.source = 'test-stand' AND i.name = '${CHAN}.VMon'`);
      assert.ok(Number(n) >= 4, `${n} values of VMon in PostgreSQL`);
      assert.ok(!fs.existsSync(require("path").join(run.root, "VEXAHVHistory.db")), "no history file under the root");
    }
  } catch (e) {
    const lines = run.log().split("\n").filter((l) => !/KEEPALIVE|KeepAlive for device|Events? received/.test(l));
    console.error(`-- the server's log, its last 80 lines of note --\n${lines.slice(-80).join("\n")}`);
    throw e;
  } finally {
    await session.close();
    await client.disconnect();
    await run.stop();
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
