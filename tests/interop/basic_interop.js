// node-opcua's client against vexahv-ua-fixture: connect with None/Anonymous, read
// namespace-0 and item values, browse with continuation points, write with conversion
// and refusals, close. Bounded: the fixture stops by itself after 60 s.
"use strict";
const assert = require("assert");
const { startFixture, stopFixture } = require("./fixture");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType, StatusCodes,
  ClientSubscription, ClientMonitoredItem, TimestampsToReturn, DataChangeFilter, DataChangeTrigger, DeadbandType,
  makeBrowsePath, BrowseDirection,
} = require("node-opcua-client");

const waitFor = (what, predicate, ms = 5000) => new Promise((resolve, reject) => {
  const started = Date.now();
  const timer = setInterval(() => {
    if (predicate()) { clearInterval(timer); resolve(); }
    else if (Date.now() - started > ms) { clearInterval(timer); reject(new Error("timed out waiting for " + what)); }
  }, 20);
});

async function main() {
  const { fixture, url } = await startFixture(process.argv[2]);
  const client = OPCUAClient.create({
    applicationName: "vexahv interop",
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0 },
  });
  try {
    await client.connect(url);
    const session = await client.createSession();

    const state = await session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
    assert.strictEqual(state.statusCode.value, StatusCodes.Good.value);
    assert.strictEqual(state.value.value, 0, "ServerStatus/State is Running");
    const ns = await session.read({ nodeId: "ns=0;i=2255", attributeId: AttributeIds.Value });
    assert.deepStrictEqual(ns.value.value.slice(0, 1), ["http://opcfoundation.org/UA/"]);

    // ServerStatus decodes as ServerStatusDataType; the operation limits are the real ones.
    const status = await session.read({ nodeId: "ns=0;i=2256", attributeId: AttributeIds.Value });
    assert.strictEqual(status.value.value.state, 0);
    assert.strictEqual(status.value.value.buildInfo.manufacturerName, "VEXA SpA");
    const maxRead = await session.read({ nodeId: "ns=0;i=11705", attributeId: AttributeIds.Value });
    assert.strictEqual(maxRead.value.value, 100000);
    // The bounds a client must live with, where OPC UA has a node for them.
    const bounds = await session.read([24095, 24097, 24098, 24104, 31916].map((i) => ({ nodeId: `ns=0;i=${i}`, attributeId: AttributeIds.Value })));
    assert.deepStrictEqual(bounds.map((b) => b.value.value), [100, 300000, 100, 100000, 100]);
    const capabilities = await session.browse("ns=0;i=2268");
    assert.ok(capabilities.references.some((r) => r.browseName.name === "MaxMonitoredItemsQueueSize"));

    // Type hierarchies: HasComponent is found under HierarchicalReferences with subtypes.
    const refs = await session.browse({ nodeId: "ns=0;i=44", browseDirection: BrowseDirection.Forward,
      referenceTypeId: "HasSubtype", includeSubtypes: true, resultMask: 63 });
    assert.deepStrictEqual(refs.references.map((r) => r.browseName.name).sort(),
      ["HasComponent", "HasHistoricalConfiguration", "HasProperty"]);
    const path = await session.translateBrowsePath(makeBrowsePath("ns=0;i=85", "/1:Demo/1:Folder/1:Inner/1:Leaf"));
    assert.strictEqual(path.statusCode.name, "Good");
    assert.strictEqual(path.targets[0].targetId.toString(), "ns=1;s=Demo.Folder.Inner.Leaf");
    const missing = await session.translateBrowsePath(makeBrowsePath("ns=0;i=85", "/1:Demo/1:Nothing"));
    assert.strictEqual(missing.statusCode.name, "BadNoMatch");

    const values = await session.read([
      { nodeId: "ns=1;s=Demo.Float", attributeId: AttributeIds.Value },
      { nodeId: "ns=1;s=Demo.String", attributeId: AttributeIds.Value },
      { nodeId: "ns=1;s=Demo.Boolean", attributeId: AttributeIds.Value },
      { nodeId: "ns=1;s=Demo.Float", attributeId: AttributeIds.DataType },
      { nodeId: "ns=1;s=Demo.ReadOnly", attributeId: AttributeIds.AccessLevel },
      { nodeId: "ns=1;s=No.Such.Item", attributeId: AttributeIds.Value },
      { nodeId: "ns=1;s=Demo", attributeId: AttributeIds.Value },
    ]);
    assert.strictEqual(values[0].value.value, 1.5);
    assert.strictEqual(values[1].value.value, "text");
    assert.strictEqual(values[2].value.value, true);
    assert.strictEqual(values[3].value.value.value, 10, "Float");
    assert.strictEqual(values[4].value.value, 1, "CurrentRead only");
    assert.strictEqual(values[5].statusCode.value, StatusCodes.BadNodeIdUnknown.value);
    assert.strictEqual(values[6].statusCode.value, StatusCodes.BadAttributeIdInvalid.value);

    // Browse: Objects holds Server and the toolbox's top folders; 1000 channels of a board
    // come through continuation points when the client asks for 100 at a time.
    const objects = await session.browse("ns=0;i=85");
    const names = objects.references.map((r) => r.browseName.name);
    assert.ok(names.includes("Server") && names.includes("Demo") && names.includes("S"), names.join(","));
    session.requestedMaxReferencesPerNode = 100;
    let page = await session.browse("ns=1;s=S.Board03");
    let count = page.references.length;
    while (page.continuationPoint && page.continuationPoint.length > 0) {
      page = await session.browseNext(page.continuationPoint, false);
      count += page.references.length;
    }
    assert.strictEqual(count, 1000, "1000 channels; the default filter leaves out HasTypeDefinition");
    session.requestedMaxReferencesPerNode = 0;

    // Writes: only the item's own DataType, never converted; refusals.
    const value = (nodeId, dataType, v, attributeId = AttributeIds.Value) => ({ nodeId, attributeId, value: { value: { dataType, value: v } } });
    const results = await session.write([
      value("ns=1;s=Demo.Int32", DataType.Int32, 77),
      value("ns=1;s=Demo.Int32", DataType.Double, 78),
      value("ns=1;s=Demo.UInt16", DataType.Int32, -1),
      value("ns=1;s=Demo.Float", DataType.Float, NaN),
      value("ns=1;s=Demo.Float", DataType.Float, -Infinity),
      value("ns=1;s=Demo.ReadOnly", DataType.Float, 1),
      value("ns=1;s=Demo.Int32", DataType.LocalizedText, { text: "x" }, AttributeIds.DisplayName),
      value("ns=1;s=Nope", DataType.Int32, 1),
    ]);
    assert.deepStrictEqual(results.map((s) => s.name),
      ["Good", "BadTypeMismatch", "BadTypeMismatch", "BadOutOfRange", "BadOutOfRange", "BadNotWritable", "BadNotWritable",
        "BadNodeIdUnknown"]);
    const writeOnly = await session.read({ nodeId: "ns=1;s=Demo.WriteOnly", attributeId: AttributeIds.Value, maxAge: 0 });
    assert.strictEqual(writeOnly.statusCode.name, "BadNotReadable");
    const written = await session.read({ nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value, maxAge: 60000 });
    assert.strictEqual(written.value.value, 77);
    assert.strictEqual(written.value.dataType, DataType.Int32);

    // Subscriptions: the initial value, a written change, an absolute deadband, keep-alive.
    const sub = ClientSubscription.create(session, {
      requestedPublishingInterval: 100, requestedLifetimeCount: 100, requestedMaxKeepAliveCount: 5,
      maxNotificationsPerPublish: 1000, publishingEnabled: true, priority: 1,
    });
    let keepAlives = 0;
    sub.on("keepalive", () => { keepAlives += 1; });
    await new Promise((resolve) => sub.on("started", resolve));
    const ints = [];
    const intItem = ClientMonitoredItem.create(sub, { nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value },
      { samplingInterval: 50, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
    intItem.on("changed", (dv) => ints.push(dv.value.value));
    const floats = [];
    const floatItem = ClientMonitoredItem.create(sub, { nodeId: "ns=1;s=Demo.Float", attributeId: AttributeIds.Value },
      { samplingInterval: 50, discardOldest: true, queueSize: 10,
        filter: new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue, deadbandType: DeadbandType.Absolute, deadbandValue: 1.0 }) },
      TimestampsToReturn.Both);
    floatItem.on("changed", (dv) => floats.push(dv.value.value));
    await waitFor("initial values", () => ints.length >= 1 && floats.length >= 1);
    assert.strictEqual(ints[0], 77);
    assert.strictEqual(floats[0], 1.5);
    const write = (id, dataType, value) =>
      session.write({ nodeId: id, attributeId: AttributeIds.Value, value: { value: { dataType, value } } });
    assert.strictEqual((await write("ns=1;s=Demo.Int32", DataType.Int32, 5)).name, "Good");
    await waitFor("the written Int32", () => ints.includes(5));
    await write("ns=1;s=Demo.Float", DataType.Float, 2.0);   // within the deadband of 1.5
    await write("ns=1;s=Demo.Float", DataType.Float, 3.0);   // beyond it
    await waitFor("the Float beyond the deadband", () => floats.includes(3));
    assert.deepStrictEqual(floats, [1.5, 3], "2.0 stayed within the deadband");
    await waitFor("a keep-alive", () => keepAlives >= 1, 3000);

    // A polled item is sampled at its revised interval: each sample has a new source
    // timestamp, which a StatusValueTimestamp trigger reports.
    const polled = [];
    const polledItem = ClientMonitoredItem.create(sub, { nodeId: "ns=1;s=Demo.Polled", attributeId: AttributeIds.Value },
      { samplingInterval: 20, discardOldest: true, queueSize: 10,
        filter: new DataChangeFilter({ trigger: DataChangeTrigger.StatusValueTimestamp }) },
      TimestampsToReturn.Both);
    polledItem.on("changed", (dv) => polled.push(dv.sourceTimestamp.getTime()));
    await waitFor("three samples of the polled item", () => polled.length >= 3);
    // Revised to the fastest it can honestly be sampled, which its MinimumSamplingInterval states.
    const fastest = (await session.read({ nodeId: "ns=1;s=Demo.Polled", attributeId: AttributeIds.MinimumSamplingInterval })).value.value;
    assert.ok(fastest >= 50, `the server's floor, not 20 ms: ${fastest}`);
    assert.ok(fastest < 1000, `not the old one-second floor: ${fastest}`);
    assert.strictEqual(polledItem.monitoringParameters.samplingInterval, fastest, "revised to the fastest honest rate");
    assert.ok(polled[2] > polled[1] && polled[1] > polled[0], "each sample is newer");

    const modified = await intItem.modify({ samplingInterval: 250, queueSize: 2, discardOldest: true });
    assert.strictEqual(modified.statusCode.name, "Good");
    assert.strictEqual(modified.revisedSamplingInterval, 250);
    assert.strictEqual(modified.revisedQueueSize, 2);
    assert.strictEqual((await write("ns=1;s=Demo.Int32", DataType.Int32, 6)).name, "Good");
    await waitFor("a change after the modify", () => ints.includes(6));

    // The server's own clock and state, the watchdog of many SCADA clients, notify too.
    const times = [];
    const states = [];
    const timeItem = ClientMonitoredItem.create(sub, { nodeId: "ns=0;i=2258", attributeId: AttributeIds.Value },
      { samplingInterval: 100, discardOldest: true, queueSize: 1 }, TimestampsToReturn.Both);
    timeItem.on("changed", (dv) => times.push(dv.value.value.getTime()));
    const stateItem = ClientMonitoredItem.create(sub, { nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value },
      { samplingInterval: 100, discardOldest: true, queueSize: 1 }, TimestampsToReturn.Both);
    stateItem.on("changed", (dv) => states.push(dv.value.value));
    await waitFor("three samples of CurrentTime", () => times.length >= 3, 5000);
    assert.ok(times[2] > times[1] && times[1] > times[0], "the clock moves on");
    assert.deepStrictEqual(states, [0], "State Running, once: it does not change");
    await timeItem.terminate();
    await stateItem.terminate();

    const handles = await session.getMonitoredItems(sub.subscriptionId);
    assert.strictEqual(handles.serverHandles.length, 3);
    await polledItem.terminate();
    await intItem.terminate();
    await sub.terminate();

    await session.close();
    console.log("interop: read, browse, write and subscriptions passed");
  } finally {
    await client.disconnect();
    await stopFixture(fixture);
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
