// HistoryRead through OPC UA: one plant crate (16 boards x 48 channels) whose server finds,
// in its history database, a day of one channel's VMon (86,400 values, one a second) and a
// minute of every channel's (made by history_bench --make-day before it starts). Measures reading that day with
// ReadRawModifiedDetails (the server gives at most 10,000 values a call, the rest by
// continuation points), and a minute of all 768 channels' VMon in one request.
//   node bench/history_read_measure.js [build/bin]   (bounded: about a minute)
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { execFileSync } = require("child_process");
const { startServer, waitUntilRunning } = require("../scripts/hv_server");
const {
  OPCUAClient, MessageSecurityMode, SecurityPolicy, HistoryReadRequest, ReadRawModifiedDetails, TimestampsToReturn,
} = require("../tests/interop/node_modules/node-opcua-client");

const bin = path.resolve(process.argv[2] || "build/bin");
const DAY_ITEM = "Plant1.Board00.Chan000.VMon";
const ticksOf = (ms) => (BigInt(ms) + 11644473600000n) * 10000n;  // OPC UA DateTime

async function readAll(session, nodeIds, startTime, endTime) {
  const values = nodeIds.map(() => 0);
  let points = nodeIds.map(() => null), calls = 0;
  let pending = nodeIds.map((_, i) => i);
  while (pending.length && calls < 1000) {
    const response = await session.historyRead(new HistoryReadRequest({
      historyReadDetails: new ReadRawModifiedDetails({ isReadModified: false, startTime, endTime, numValuesPerNode: 0 }),
      timestampsToReturn: TimestampsToReturn.Source,
      nodesToRead: pending.map((i) => ({ nodeId: nodeIds[i], continuationPoint: points[i] })),
    }));
    ++calls;
    const next = [];
    response.results.forEach((r, k) => {
      const i = pending[k];
      if (r.statusCode.value !== 0) throw new Error(`${nodeIds[i]}: ${r.statusCode.toString()}`);
      values[i] += r.historyData.dataValues.length;
      points[i] = r.continuationPoint && r.continuationPoint.length ? r.continuationPoint : null;
      if (points[i]) next.push(i);
    });
    pending = next;
  }
  return { values: values.reduce((a, b) => a + b, 0), calls };
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-history-read-"));
  const end = Date.now() - 60000;  // the day ends a minute ago: the server's own values come after
  const db = path.join(dir, "history.db");
  execFileSync(path.join(bin, "history_bench"), ["--make-day", db, "Plant1", String(ticksOf(end))]);
  const run = await startServer({ bin, dir: path.join(dir, "run"), crates: [path.join(__dirname, "crates", "plant-1.crate")],
    entries: ["Plant1,0,0,127.0.0.51"], eventEnabled: true, latencyMs: 2, logLevel: 4, duration: 100,
    simPort: 34000 + (process.pid % 5000), rootFiles: { "VEXAHVHistory.db": fs.readFileSync(db) } });
  const client = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 }, requestedSessionTimeout: 120000 });
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    await waitUntilRunning(session);
    for (let turn = 0; turn < 3; ++turn) {
      const t = process.hrtime.bigint();
      const { values, calls } = await readAll(session, [`ns=1;s=${DAY_ITEM}`], new Date(end - 86400000), new Date(end));
      console.log(`a day of one channel through OPC UA: ${values} values in ${calls} calls, ${Number(process.hrtime.bigint() - t) / 1e6} ms`);
    }
    const vmon = [];
    for (let b = 0; b < 16; ++b) for (let c = 0; c < 48; ++c) vmon.push(`ns=1;s=Plant1.Board${String(b).padStart(2, "0")}.Chan${String(c).padStart(3, "0")}.VMon`);
    for (let turn = 0; turn < 3; ++turn) {
      const t = process.hrtime.bigint();
      const { values, calls } = await readAll(session, vmon, new Date(end - 60000), new Date(end));
      console.log(`a minute of 768 channels' VMon through OPC UA: ${values} values in ${calls} calls, ${Number(process.hrtime.bigint() - t) / 1e6} ms`);
    }
    await session.close();
  } catch (e) {
    console.error(run.log().split("\n").slice(-30).join("\n"));
    throw e;
  } finally {
    await client.disconnect();
    await run.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
