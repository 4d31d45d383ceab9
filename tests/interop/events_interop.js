// Events and supervision as an OPC UA client sees them, through node-opcua against
// vexahv-opcserver over the simulated crates: monitored voltages of a UDP-reporting and of
// a TCP-reporting crate follow a ramp through events alone (the simulator counts no
// request meanwhile), a crate that stops answering turns BadNotConnected, its neighbours
// stay Good, and it comes back Good and changing when it answers again. Probes every
// 300 ms; bounded: both processes stop by themselves after 90 s.
"use strict";
const assert = require("assert");
const { execFileSync } = require("child_process");
const path = require("path");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType, StatusCodes,
  ClientSubscription, ClientMonitoredItem, TimestampsToReturn,
} = require("node-opcua-client");

const item = (id) => `ns=1;s=${id}`;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function waitFor(what, pred, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (pred()) return;
    await sleep(50);
  }
  assert.fail(`${what} within ${ms} ms`);
}

async function main() {
  const bin = process.argv[2];
  const run = await startServer({ bin, duration: 90, logLevel: 6, keepAlivePeriodMs: 300 });
  const control = (line) => execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), ...line.split(" ")]).toString();
  const requests = (crate) => Number(new RegExp(`${crate}@[^ ]*/req(\\d+)`).exec(control("list"))[1]);
  const client = OPCUAClient.create({
    applicationName: "vexahv events interop", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 },
  });
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    await waitUntilRunning(session);
    await waitFor("the events mechanism", () => run.log().includes("Starting events data loop"), 10000);

    const sub = ClientSubscription.create(session, {
      requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
      maxNotificationsPerPublish: 0, publishingEnabled: true,
    });
    const latest = {};
    const watch = (id) => {
      const m = ClientMonitoredItem.create(sub, { nodeId: item(id), attributeId: AttributeIds.Value },
        { samplingInterval: 100, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
      m.on("changed", (dv) => { latest[id] = dv; });
    };
    const vmonA = "CrateA.Board00.Chan005.VMon", vmonB = "CrateB.Board00.Chan005.VMon";
    const vmonC = "CrateC.Board02.Chan000.VMon";
    for (const id of [vmonA, vmonB, vmonC, "CrateA.ConnStatus"]) watch(id);
    await waitFor("initial values", () => latest[vmonA] && latest[vmonB] && latest[vmonC], 10000);

    for (const crate of ["CrateA", "CrateB"]) {
      const w = (p, dataType, value) => session.write({ nodeId: item(`${crate}.Board00.Chan005.${p}`), attributeId: AttributeIds.Value,
        value: { value: { dataType, value } } });
      assert.strictEqual((await w("V0Set", DataType.Float, 1000)).value, 0);
      assert.strictEqual((await w("Pw", DataType.Boolean, true)).value, 0, `${crate} switched on`);
    }
    const counted = { CrateA: requests("CrateA"), CrateB: requests("CrateB") };
    const start = { A: latest[vmonA].value.value, B: latest[vmonB].value.value };
    await waitFor("the ramps through events", () =>
      latest[vmonA].value.value >= start.A + 20 && latest[vmonB].value.value >= start.B + 20, 10000);
    // Probes every 300 ms are the only requests meanwhile: a device read of each value
    // would be far more.
    const probes = { CrateA: requests("CrateA") - counted.CrateA, CrateB: requests("CrateB") - counted.CrateB };
    assert.ok(probes.CrateA <= 40 && probes.CrateB <= 40, `only keep-alive probes reach the crates: ${JSON.stringify(probes)}`);
    assert.strictEqual(latest[vmonA].statusCode.value, StatusCodes.Good.value);

    // A crate that stops answering.
    const lost = Date.now();
    control("silent CrateA on");
    await waitFor("CrateA's items BadNotConnected", () => latest[vmonA].statusCode.value === StatusCodes.BadNotConnected.value, 15000);
    const detected = Date.now() - lost;
    // ConnStatus follows in the same or the next publish.
    await waitFor("CrateA's ConnStatus Ko", () => latest["CrateA.ConnStatus"].value.value === "Ko", 5000);
    assert.strictEqual(latest[vmonB].statusCode.value, StatusCodes.Good.value, "CrateB untouched");
    assert.strictEqual(latest[vmonC].statusCode.value, StatusCodes.Good.value, "CrateC untouched");
    const back = Date.now();
    control("silent CrateA off");
    await waitFor("CrateA Good again", () => latest[vmonA].statusCode.value === StatusCodes.Good.value, 15000);
    const before = latest[vmonA].value.value;
    await waitFor("CrateA changing again through events", () => latest[vmonA].value.value > before, 10000);
    const recovered = Date.now() - back;
    const log = run.log();
    assert.ok(log.includes("Connection KO for [CrateA]"), "the loss is logged");
    assert.ok(log.includes("Connection restored for system [CrateA]"), "the recovery is logged: " + log.split("\n").filter((l) => /CrateA\]|KO|restored/.test(l)).slice(-20).join("\n"));
    console.log(`events interop passed: loss seen after ${detected} ms, Good and changing ${recovered} ms after the crate answered`);
    await sub.terminate();
    await session.close();
  } finally {
    await client.disconnect();
    const exit = await run.stop();
    assert.strictEqual(exit.code, 0, `server exit ${JSON.stringify(exit)}: ${run.stderr()}`);
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
