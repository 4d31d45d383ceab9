// The address space as node-opcua's client sees its Data Access model, over the sample
// crates: numeric parameters are AnalogItems with EURange and EngineeringUnits (and
// ValuePrecision where the crate has "Resol"), on/off parameters TwoStateDiscrete items with
// their labels, every other variable a DataItem; the types, their subtype chain and the
// properties' DataTypes are browsable. Bounded: both processes stop after 90 s.
"use strict";
const assert = require("assert");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, BrowseDirection, readUAAnalogItem, NodeClassMask,
} = require("node-opcua-client");

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
  const client = OPCUAClient.create({
    applicationName: "vexahv interop", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 },
  });
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
    await session.close();
    console.log("model interop test passed");
  } finally {
    await client.disconnect().catch(() => {});
    await run.stop();
  }
}

main().then(() => process.exit(0), (e) => { console.error(e); process.exit(1); });
