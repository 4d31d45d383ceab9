// node-opcua's client against vexahv-ua-fixture under load: 50 sessions at once, and a
// slow device read that holds up neither cache reads nor data-change notifications.
// Bounded: the fixture stops by itself after 60 s.
"use strict";
const assert = require("assert");
const { startFixture, stopFixture } = require("./fixture");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType,
  ClientSubscription, ClientMonitoredItem, TimestampsToReturn,
} = require("node-opcua-client");

async function main() {
  const { fixture, url } = await startFixture(process.argv[2]);
  const client = OPCUAClient.create({
    endpointMustExist: false, securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0 },
  });
  try {
    await client.connect(url);
    const sessions = await Promise.all(Array.from({ length: 50 }, () => client.createSession()));
    const reads = await Promise.all(sessions.map((s) => s.read({ nodeId: "ns=1;s=Demo.Float", attributeId: AttributeIds.Value })));
    assert.ok(reads.every((r) => r.value.value === 1.5), "every session reads");
    await Promise.all(sessions.slice(1).map((s) => s.close()));
    const session = sessions[0];

    const sub = ClientSubscription.create(session, {
      requestedPublishingInterval: 100, requestedLifetimeCount: 100, requestedMaxKeepAliveCount: 5,
      maxNotificationsPerPublish: 1000, publishingEnabled: true, priority: 1,
    });
    await new Promise((resolve) => sub.on("started", resolve));
    const seen = [];
    const item = ClientMonitoredItem.create(sub, { nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value },
      { samplingInterval: 50, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
    item.on("changed", (dv) => seen.push(dv.value.value));
    await new Promise((resolve) => item.on("changed", resolve));

    // The slow read is a device read of 2 s; cache reads, a write and its notification
    // all finish while it is still out.
    const order = [];
    const slow = session.read({ nodeId: "ns=1;s=Demo.Slow", attributeId: AttributeIds.Value }, 0)
      .then((r) => { order.push("slow"); return r; });
    const fast = Promise.all(Array.from({ length: 20 }, () =>
      session.read({ nodeId: "ns=1;s=Demo.Float", attributeId: AttributeIds.Value }, 60000)))
      .then(() => order.push("cache reads"));
    await session.write({ nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value, value: { value: { dataType: DataType.Int32, value: 1234 } } });
    await new Promise((resolve) => { const t = setInterval(() => { if (seen.includes(1234)) { clearInterval(t); resolve(); } }, 10); });
    order.push("notification");
    const [slowResult] = await Promise.all([slow, fast]);
    assert.strictEqual(slowResult.value.value, 9);
    assert.strictEqual(order[order.length - 1], "slow", order.join(" < "));

    await sub.terminate();
    await session.close();
    console.log("interop: 50 sessions and a slow read alongside fast ones passed");
  } finally {
    await client.disconnect();
    await stopFixture(fixture);
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
