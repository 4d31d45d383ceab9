// node-opcua's client against vexahv-ua-fixture through a loopback proxy that can cut the
// connection: the client reconnects, keeps its session and its subscription; and a session
// left alone times out. Bounded: the fixture stops by itself after 60 s.
"use strict";
const assert = require("assert");
const net = require("net");
const { startFixture, stopFixture } = require("./fixture");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType,
  ClientSubscription, ClientMonitoredItem, TimestampsToReturn, StatusCodes,
} = require("node-opcua-client");

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const waitFor = (what, predicate, ms = 10000) => new Promise((resolve, reject) => {
  const started = Date.now();
  const timer = setInterval(() => {
    if (predicate()) { clearInterval(timer); resolve(); }
    else if (Date.now() - started > ms) { clearInterval(timer); reject(new Error("timed out waiting for " + what)); }
  }, 20);
});

function proxyTo(url) {
  const [, host, port] = /opc\.tcp:\/\/([^:]+):(\d+)/.exec(url);
  const sockets = new Set();
  const server = net.createServer((client) => {
    const upstream = net.connect(Number(port), host);
    for (const s of [client, upstream]) { sockets.add(s); s.on("close", () => sockets.delete(s)); s.on("error", () => {}); }
    client.pipe(upstream);
    upstream.pipe(client);
    client.on("close", () => upstream.destroy());
    upstream.on("close", () => client.destroy());
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve({
    url: `opc.tcp://127.0.0.1:${server.address().port}`,
    cut: () => { for (const s of sockets) s.destroy(); },
    close: () => server.close(),
  })));
}

async function main() {
  const { fixture, url } = await startFixture(process.argv[2]);
  const proxy = await proxyTo(url);
  const client = OPCUAClient.create({
    endpointMustExist: false, securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 20, initialDelay: 100, maxDelay: 500 }, requestedSessionTimeout: 30000,
  });
  const lonely = OPCUAClient.create({
    endpointMustExist: false, securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0 }, requestedSessionTimeout: 10000, keepSessionAlive: false,
  });
  try {
    await client.connect(proxy.url);
    const session = await client.createSession();
    const sub = ClientSubscription.create(session, {
      requestedPublishingInterval: 100, requestedLifetimeCount: 300, requestedMaxKeepAliveCount: 5,
      maxNotificationsPerPublish: 100, publishingEnabled: true, priority: 1,
    });
    await new Promise((resolve) => sub.on("started", resolve));
    const seen = [];
    const item = ClientMonitoredItem.create(sub, { nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value },
      { samplingInterval: 50, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
    item.on("changed", (dv) => seen.push(dv.value.value));
    await waitFor("the initial value", () => seen.length >= 1);

    // Cut the connection: the client comes back on a new channel with the same session.
    let reestablished = false;
    client.on("connection_reestablished", () => { reestablished = true; });
    const sessionId = session.sessionId.toString();
    proxy.cut();
    await waitFor("the reconnection", () => reestablished, 20000);
    assert.strictEqual(session.sessionId.toString(), sessionId, "the session survived");
    const r = await session.read({ nodeId: "ns=1;s=Demo.Float", attributeId: AttributeIds.Value });
    assert.strictEqual(r.statusCode.value, StatusCodes.Good.value);
    await session.write({ nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value, value: { value: { dataType: DataType.Int32, value: 4321 } } });
    await waitFor("a notification after the reconnection", () => seen.includes(4321));
    await sub.terminate();

    // A subscription transferred to a second session belongs to that session alone.
    const moving = ClientSubscription.create(session, {
      requestedPublishingInterval: 100, requestedLifetimeCount: 300, requestedMaxKeepAliveCount: 5,
      maxNotificationsPerPublish: 100, publishingEnabled: true, priority: 1,
    });
    await new Promise((resolve) => moving.on("started", resolve));
    const movingItem = ClientMonitoredItem.create(moving, { nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value },
      { samplingInterval: 50, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    await new Promise((resolve) => movingItem.on("initialized", resolve));
    const sid = moving.subscriptionId;
    const second = await client.createSession();
    const transfer = await second.transferSubscriptions({ subscriptionIds: [sid], sendInitialValues: true });
    assert.strictEqual(transfer.results[0].statusCode.value, StatusCodes.Good.value, "transferred");
    const monitoredOf = (s) => s.call({ objectId: "ns=0;i=2253", methodId: "ns=0;i=11492",
      inputArguments: [{ dataType: DataType.UInt32, value: sid }] });
    const owned = await monitoredOf(second);
    assert.strictEqual(owned.statusCode.value, StatusCodes.Good.value);
    assert.strictEqual(owned.outputArguments[1].value.length, 1, "its one monitored item came along");
    const gone = await monitoredOf(session);
    assert.strictEqual(gone.statusCode.value, StatusCodes.BadSubscriptionIdInvalid.value, "no longer the first session's");
    const deleted = await second.deleteSubscriptions({ subscriptionIds: [sid] });
    assert.strictEqual(deleted.results[0].value, StatusCodes.Good.value);
    await second.close();
    await session.close();

    // A session nobody uses for longer than its time-out is closed by the server.
    await lonely.connect(url);
    const idle = await lonely.createSession();
    assert.strictEqual(idle.timeout, 10000, "revised to the server's minimum");
    const idleId = idle.sessionId.toString();
    let closedByServer = false;
    idle.on("session_closed", () => { closedByServer = true; });
    await sleep(12000);
    let outcome = null;
    try {
      const v = await idle.read({ nodeId: "ns=1;s=Demo.Float", attributeId: AttributeIds.Value });
      outcome = v.statusCode.name;
    } catch (e) {
      outcome = e.message;
    }
    // The server refused the old session; the client may then have opened a new one.
    assert.ok(closedByServer || idle.sessionId.toString() !== idleId || /Session/i.test(String(outcome)),
      `after the time-out: ${outcome}, session ${idle.sessionId.toString()} (was ${idleId})`);
    console.log("interop: reconnection with session and subscription, and session time-out passed");
  } finally {
    await lonely.disconnect().catch(() => {});
    await client.disconnect();
    proxy.close();
    await stopFixture(fixture);
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
