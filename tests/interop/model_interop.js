// The address space as node-opcua's client sees its Data Access model, over the sample
// crates: numeric parameters are AnalogItems with EURange and EngineeringUnits (and
// ValuePrecision where the crate has "Resol"), on/off parameters TwoStateDiscrete items with
// their labels, every other variable a DataItem; the types, their subtype chain and the
// properties' DataTypes are browsable. Bounded: both processes stop after 90 s.
"use strict";
const assert = require("assert");
const { plainClient } = require("./plain_client");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const {
  AttributeIds, BrowseDirection, readUAAnalogItem, NodeClassMask,
  ClientSubscription, ClientMonitoredItem, constructEventFilter, resolveNodeId, EventFilter, FilterOperator,
  LiteralOperand, DataType,
} = require("node-opcua-client");

// The event fields, of the events of type `ofType` (and its subtypes) only.
function eventFilterOfType(fields, ofType) {
  return new EventFilter({
    selectClauses: constructEventFilter(fields).selectClauses,
    whereClause: { elements: [{ filterOperator: FilterOperator.OfType,
      filterOperands: [new LiteralOperand({ value: { dataType: DataType.NodeId, value: resolveNodeId(ofType) } })] }] },
  });
}

const chan = (crate, ch, p) => `ns=1;s=${crate}.Board00.Chan${String(ch).padStart(3, "0")}.${p}`;
const HasTypeDefinition = "ns=0;i=40";
const HasProperty = "ns=0;i=46";
const types = { DataItem: 2365, AnalogItem: 2368, TwoStateDiscrete: 2373 };

async function typeOf(session, nodeId) {
  const r = await session.browse({ nodeId, browseDirection: BrowseDirection.Forward, referenceTypeId: HasTypeDefinition,
    includeSubtypes: false, resultMask: 63 });
  assert.strictEqual(r.references.length, 1, `${nodeId}: one type definition`);
  return r.references[0].nodeId.value;
}

async function property(session, nodeId, name) {
  const r = await session.browse({ nodeId, browseDirection: BrowseDirection.Forward, referenceTypeId: HasProperty,
    includeSubtypes: false, resultMask: 63 });
  const ref = r.references.find((x) => x.browseName.name === name && x.browseName.namespaceIndex === 0);
  return ref ? ref.nodeId : null;
}

async function main() {
  const run = await startServer({ bin: process.argv[2], duration: 90, logLevel: 5 });
  const client = plainClient();
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    await waitUntilRunning(session);

    // Numeric parameters: AnalogItemType with its range and unit (CrateA: volts, microamperes).
    const v0set = chan("CrateA", 0, "V0Set");
    assert.strictEqual(await typeOf(session, v0set), types.AnalogItem);
    let analog = await readUAAnalogItem(session, v0set);
    assert.deepStrictEqual([analog.engineeringUnitsRange.low, analog.engineeringUnitsRange.high], [0, 3500]);
    assert.strictEqual(analog.engineeringUnits.unitId, 5655636, "VLT");
    assert.strictEqual(analog.engineeringUnits.displayName.text, "V");
    assert.strictEqual(analog.engineeringUnits.namespaceUri, "http://www.opcfoundation.org/UA/units/un/cefact");
    assert.strictEqual(analog.valuePrecision, null, "a type-0 crate has no Resol");
    analog = await readUAAnalogItem(session, chan("CrateA", 0, "IMon"));
    assert.strictEqual(analog.engineeringUnits.unitId, 4339764, "B84");
    assert.strictEqual(analog.engineeringUnits.displayName.text, "µA");
    analog = await readUAAnalogItem(session, chan("CrateA", 0, "RUp"));
    assert.strictEqual(analog.engineeringUnits.unitId, 4731958, "H46");
    // A crate of a system type with "Resol": ValuePrecision too.
    analog = await readUAAnalogItem(session, chan("CrateC", 0, "V0Set"));
    assert.strictEqual(typeof analog.valuePrecision, "number");

    // On/off: TwoStateDiscreteType with the mainframe's labels, DataType Boolean.
    const pw = chan("CrateA", 0, "Pw");
    assert.strictEqual(await typeOf(session, pw), types.TwoStateDiscrete);
    const [dataType, trueState, falseState] = await session.read([
      { nodeId: pw, attributeId: AttributeIds.DataType },
      { nodeId: await property(session, pw, "TrueState"), attributeId: AttributeIds.Value },
      { nodeId: await property(session, pw, "FalseState"), attributeId: AttributeIds.Value },
    ]);
    assert.strictEqual(dataType.value.value.value, 1);
    assert.strictEqual(trueState.value.value.text, "On");
    assert.strictEqual(falseState.value.value.text, "Off");

    // The properties' DataTypes and type definitions.
    const euRange = await property(session, v0set, "EURange");
    const units = await property(session, v0set, "EngineeringUnits");
    const [rangeType, unitsType] = await session.read([
      { nodeId: euRange, attributeId: AttributeIds.DataType }, { nodeId: units, attributeId: AttributeIds.DataType }]);
    assert.strictEqual(rangeType.value.value.value, 884);
    assert.strictEqual(unitsType.value.value.value, 887);
    assert.strictEqual(await typeOf(session, euRange), 68, "PropertyType");
    const written = await session.write({ nodeId: euRange, attributeId: AttributeIds.Value,
      value: { value: { dataType: "Double", value: 1 } } });
    assert.strictEqual(written.name, "BadNotWritable");
    const back = await session.browse({ nodeId: euRange, browseDirection: BrowseDirection.Inverse, resultMask: 63 });
    assert.strictEqual(back.references[0].nodeId.toString(), v0set);

    // Every variable of a channel has one of the Data Access types; the DA property items
    // are where OPC DA clients always found them.
    const channel = await session.browse({ nodeId: "ns=1;s=CrateA.Board00.Chan000", browseDirection: BrowseDirection.Forward,
      nodeClassMask: NodeClassMask.Variable, resultMask: 63 });
    const names = channel.references.map((r) => r.browseName.name);
    for (const n of ["V0Set#LowEU", "V0Set#HighEU", "V0Set#EU", "Pw#CoOpen", "Pw#CoClose"]) assert.ok(names.includes(n), n);
    for (const r of channel.references) {
      assert.ok(Object.values(types).includes(r.typeDefinition.value), `${r.browseName.name}: ${r.typeDefinition.toString()}`);
    }
    assert.strictEqual(channel.references.find((r) => r.browseName.name === "Status").typeDefinition.value, types.DataItem);
    // A status word says what its bits mean.
    const definition = await session.read({ nodeId: await property(session, chan("CrateA", 0, "Status"), "Definition"),
      attributeId: AttributeIds.Value });
    assert.match(definition.value.value, /^Channel status bits: 0 on, 1 ramping up/);

    // The types are in the server's type tree.
    const subtypes = await session.browse({ nodeId: "ns=0;i=2365", browseDirection: BrowseDirection.Forward,
      referenceTypeId: "ns=0;i=45", resultMask: 63 });
    assert.deepStrictEqual(subtypes.references.map((r) => r.nodeId.value).sort(), [2368, 2372]);
    const declared = await session.browse({ nodeId: "ns=0;i=2368", browseDirection: BrowseDirection.Forward,
      referenceTypeId: HasProperty, resultMask: 63 });
    assert.deepStrictEqual(declared.references.map((r) => r.browseName.name).sort(),
      ["EURange", "EngineeringUnits", "InstrumentRange"]);
    // The reference type hierarchy: every reference type under References, reached by HasSubtype.
    const referenceTypes = [];
    for (let frontier = ["ns=0;i=31"]; frontier.length;) {
      const results = await session.browse(frontier.map((nodeId) => ({ nodeId, browseDirection: BrowseDirection.Forward,
        referenceTypeId: "ns=0;i=45", includeSubtypes: false, resultMask: 63 })));
      frontier = results.flatMap((r) => r.references.map((x) => x.nodeId.toString()));
      referenceTypes.push(...frontier);
    }
    for (const id of [33, 35, 40, 46, 47, 37, 38, 41, 48, 3065, 9006]) assert.ok(referenceTypes.includes(`ns=0;i=${id}`), `i=${id}`);
    const builtins = await session.browse({ nodeId: "ns=0;i=24", browseDirection: BrowseDirection.Forward,
      referenceTypeId: "ns=0;i=45", resultMask: 63 });
    for (const id of [1, 12, 13, 15, 16, 17, 18, 19, 20, 21, 22, 23, 25]) {
      assert.ok(builtins.references.some((r) => r.nodeId.value === id), `built-in data type i=${id}`);
    }
    await session.close();
  } finally {
    await client.disconnect().catch(() => {});
    await run.stop();
  }
}

// A crate that refuses the login at start-up is built when it first lets the server in;
// a client subscribed to the Server object's events hears of it as a model change.
async function modelChange() {
  const run = await startServer({ bin: process.argv[2], duration: 80, logLevel: 5, keepAlivePeriodMs: 500,
    beforeServer: (control) => control("refuse-login CrateC on") });
  const client = plainClient();
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    await waitUntilRunning(session);
    const notifier = await session.read({ nodeId: "ns=0;i=2253", attributeId: AttributeIds.EventNotifier });
    assert.strictEqual(notifier.value.value, 5, "the Server object notifies events, and their history is read");
    const subscription = ClientSubscription.create(session, {
      requestedPublishingInterval: 100, requestedMaxKeepAliveCount: 10, requestedLifetimeCount: 100, publishingEnabled: true,
    });
    await new Promise((r) => subscription.once("started", r));
    const fields = ["EventType", "SourceNode", "Message", "Severity", "Changes"];
    const watch = (filter) => {
      const heard = [];
      const item = ClientMonitoredItem.create(subscription, { nodeId: "ns=0;i=2253", attributeId: AttributeIds.EventNotifier },
        { samplingInterval: 0, queueSize: 10, discardOldest: true, filter });
      item.on("changed", (values) => heard.push(values));
      return new Promise((r, j) => { item.once("initialized", () => r(heard)); item.once("err", j); });
    };
    const events = await watch(constructEventFilter(fields));
    const ofBaseType = await watch(eventFilterOfType(fields, "ns=0;i=2132"));  // BaseModelChangeEventType
    // RefreshEndEventType: no refresh is asked for here (a crate coming back does raise a
    // condition event, its ConnectionLost alarm returning to normal).
    const ofOtherType = await watch(eventFilterOfType(fields, "ns=0;i=2788"));
    assert.ok((await session.browse("ns=1;s=CrateC")).references.every((r) => r.browseName.name !== "Board00"));
    run.simControl("refuse-login CrateC off");
    const end = Date.now() + 30000;
    while (!events.some((e) => e[4].value && e[4].value.length) || ofBaseType.length === 0) {
      if (Date.now() > end) throw new Error(`no model change event: ${JSON.stringify(events.map((e) => e.map((v) => v.toString())))}`);
      await new Promise((r) => setTimeout(r, 100));
    }
    await new Promise((r) => setTimeout(r, 500));
    assert.strictEqual(ofOtherType.length, 0, "an event of another type is not delivered");
    const change = events.find((e) => e[4].value && e[4].value.length);
    assert.strictEqual(change[0].value.toString(), "ns=0;i=2133", "GeneralModelChangeEventType");
    assert.strictEqual(change[1].value.toString(), "ns=0;i=2253");
    assert.strictEqual(change[4].value[0].affected.toString(), "ns=1;s=CrateC");
    assert.strictEqual(change[4].value[0].verb, 5, "NodeAdded | ReferenceAdded");
    const boards = (await session.browse("ns=1;s=CrateC")).references.map((r) => r.browseName.name);
    assert.ok(boards.includes("Board00"), `CrateC is built: ${boards}`);
    await subscription.terminate();
    await session.close();
  } finally {
    await client.disconnect().catch(() => {});
    await run.stop();
  }
}

main().then(modelChange).then(() => { console.log("model change interop test passed"); process.exit(0); },
  (e) => { console.error(e); process.exit(1); });
