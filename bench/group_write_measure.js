// Group operations on a plant: the four crates of bench/crates (16 boards x 48 channels,
// 3,072 channels) at 2 ms a library call, events off. One Write of the 3,072 Pw items
// switches every channel on: the time until its response, the time until every channel's
// status word says on (batched reads of the Status items), and the library calls setting
// channel parameters the Write made (64 boards: one per board and parameter is the goal).
// Then every channel off the same way; the crates' SwitchOn and SwitchOff methods called
// together in one Call; and, for comparison, a Write per channel as a client without group
// writes does it.
//   node bench/group_write_measure.js [build/bin] [out.json]   (bounded: about 2 minutes)
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { waitUntilRunning } = require("../scripts/hv_server");
const { BOARDS, CRATES, plantChannels, startPlant } = require("./plant");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType,
} = require("../tests/interop/node_modules/node-opcua-client");

const bin = path.resolve(process.argv[2] || "build/bin");
const out = process.argv[3] || "build/group-write-measure.json";
const LIMIT_MS = 60000;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-group-bench-"));
  const channels = plantChannels();
  const R = { crates: CRATES.length, boards: CRATES.length * BOARDS, channels: channels.length, latencyMs: 2 };
  const { run, requests: counted } = await startPlant({ bin, dir: path.join(dir, "run"), duration: 300,
    simPort: 36000 + (process.pid % 5000) });
  // The calls that set channel parameters: the server's own status polls go on meanwhile.
  const requests = () => counted("set");
  const client = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 }, requestedSessionTimeout: 600000,
    defaultTransactionTimeout: 60000 });
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    await waitUntilRunning(session, 360000);
    const status = channels.map((id) => ({ nodeId: `ns=1;s=${id}.Status`, attributeId: AttributeIds.Value }));
    // Every channel's status word, read from the devices (batched: a call per board).
    const allAre = async (on) => {
      const values = await session.read(status, 0);
      return values.every((v) => v.statusCode.value === 0 && ((v.value.value & 1) !== 0) === on);
    };
    const switchAll = async (on, perRequest) => {
      const writes = channels.map((id) => ({ nodeId: `ns=1;s=${id}.Pw`, attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.Boolean, value: on } } }));
      const r0 = requests(), t0 = Date.now();
      for (let i = 0; i < writes.length; i += perRequest) {
        const r = await session.write(writes.slice(i, i + perRequest));
        const bad = r.filter((s) => s.value !== 0).length;
        if (bad) throw new Error(`${bad} writes refused`);
      }
      const answeredMs = Date.now() - t0;
      const calls = requests() - r0;
      while (!(await allAre(on))) {
        if (Date.now() - t0 > LIMIT_MS) throw new Error(`not every channel ${on ? "on" : "off"} within ${LIMIT_MS} ms`);
        await sleep(10);
      }
      return { answeredMs, allReportMs: Date.now() - t0, libraryCalls: calls };
    };
    R.onInOneWrite = await switchAll(true, channels.length);
    R.offInOneWrite = await switchAll(false, channels.length);
    const byMethods = async (on) => {
      const r0 = requests(), t0 = Date.now();
      const results = await session.call(CRATES.map((c) => ({ objectId: `ns=1;s=${c.name}`,
        methodId: `ns=1;s=${c.name}#${on ? "SwitchOn" : "SwitchOff"}`, inputArguments: [] })));
      const answeredMs = Date.now() - t0;
      const calls = requests() - r0;
      for (const r of results) {
        if (r.statusCode.value !== 0 || r.outputArguments[0].value.some((s) => s.value !== 0)) throw new Error("a method failed");
      }
      while (!(await allAre(on))) {
        if (Date.now() - t0 > LIMIT_MS) throw new Error(`not every channel ${on ? "on" : "off"} within ${LIMIT_MS} ms`);
        await sleep(10);
      }
      return { answeredMs, allReportMs: Date.now() - t0, libraryCalls: calls };
    };
    R.onByCrateMethods = await byMethods(true);
    R.offByCrateMethods = await byMethods(false);
    // For comparison: a Write per channel, as a client without group writes does it.
    R.onOneWritePerChannel = await switchAll(true, 1);
    R.onOneWritePerChannel.note = "3,072 Writes of one item each";
    await switchAll(false, channels.length);
    await session.close();
  } finally {
    await client.disconnect();
    await run.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
  fs.writeFileSync(out, JSON.stringify(R, null, 1));
  console.log(JSON.stringify(R, null, 1));
}

main().catch((e) => { console.error(e); process.exit(1); });
