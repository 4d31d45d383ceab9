// Group operations as an operator's client calls them, through node-opcua against
// vexahv-opcserver over the simulated crates: a board's and a crate's methods are browsable
// with their argument descriptions; SwitchOn of a board switches its channels on with one
// library call, a result per channel; SetParameter sets a crate's channels; a wrong value
// type or an unknown parameter is refused with nothing sent; a reader is refused; the
// crate's Kill kills and ClearAlarms clears.
// Bounded: both processes stop by themselves after 60 s.
"use strict";
const assert = require("assert");
const { execFileSync } = require("child_process");
const path = require("path");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType, StatusCodes, UserTokenType, NodeClass,
} = require("node-opcua-client");

const item = (id) => `ns=1;s=${id}`;
// A user name's password travels encrypted under the server's certificate, even on None.
const SECURITY = ["securityPolicies = Basic256Sha256", "noneForSessions = true", "anonymousSessions = true",
  "anonymousRole = reader", "trustAllClients = true", ""].join("\n");

async function main() {
  const bin = process.argv[2];
  const run = await startServer({ bin, duration: 60, logLevel: 6, security: SECURITY, eventEnabled: false,
    users: [["oper", "operator", "operator-pw-1"]],
    rootFiles: { "groups.conf": "# the operators' groups\nUpstream = CrateA.Board0[0-1].Chan00[0-2] CrateB.*.Chan001\n" } });
  // The channel parameter sets a crate has answered: supervision's own reads do not count.
  const sets = (crate) => Number(new RegExp(`${crate}@\\S*/set(\\d+)`).exec(
    execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), "list"]).toString())[1]);
  const client = OPCUAClient.create({ applicationName: "vexahv group methods", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 } });
  try {
    await client.connect(run.url);
    const reader = await client.createSession();
    await waitUntilRunning(reader);
    const oper = await client.createSession({ type: UserTokenType.UserName, userName: "oper", password: "operator-pw-1" });
    const call = (session, folder, method, inputArguments = []) =>
      session.call({ objectId: item(folder), methodId: item(`${folder}#${method}`), inputArguments });
    const values = async (ids) => (await oper.read(ids.map((id) => ({ nodeId: item(id), attributeId: AttributeIds.Value }))))
      .map((d) => d.value.value);

    // Browsable, with what their arguments mean.
    const board = await oper.browse(item("CrateA.Board00"));
    const methods = board.references.filter((r) => r.nodeClass === NodeClass.Method).map((r) => r.browseName.name);
    assert.deepStrictEqual(methods, ["SwitchOn", "SwitchOff", "SetParameter"], "a board kills nothing: Kill is the crate's");
    const crate = await oper.browse(item("CrateA"));
    assert.ok(crate.references.some((r) => r.browseName.name === "Kill" && r.nodeClass === NodeClass.Method));
    const args = await oper.getArgumentDefinition(item("CrateA.Board00#SetParameter"));
    assert.deepStrictEqual(args.inputArguments.map((a) => a.name), ["Parameter", "Value"]);
    assert.deepStrictEqual(args.outputArguments.map((a) => a.name), ["Results", "Channels"]);
    assert.match(args.inputArguments[1].description.text, /DataType/);
    const exec = await reader.read([{ nodeId: item("CrateA.Board00#SwitchOn"), attributeId: AttributeIds.Executable },
      { nodeId: item("CrateA.Board00#SwitchOn"), attributeId: AttributeIds.UserExecutable }]);
    assert.deepStrictEqual(exec.map((d) => d.value.value), [true, false], "a reader may not");

    // A reader is refused, with nothing sent.
    let sent = sets("CrateA");
    const refused = await call(reader, "CrateA.Board00", "SwitchOn");
    assert.strictEqual(refused.statusCode, StatusCodes.BadUserAccessDenied);
    assert.strictEqual(sets("CrateA"), sent);

    // Set-points of the whole crate, then the board on: a result per channel in its order.
    const set = await call(oper, "CrateA", "SetParameter", [
      { dataType: DataType.String, value: "V0Set" }, { dataType: DataType.Float, value: 250 }]);
    assert.strictEqual(set.statusCode, StatusCodes.Good, set.statusCode.toString());
    const channels = set.outputArguments[1].value;
    assert.strictEqual(channels.length, 48, "12 + 24 + 12 channels");
    assert.strictEqual(channels[0], "CrateA.Board00.Chan000");
    assert.ok(set.outputArguments[0].value.every((s) => s.value === 0), "every channel set");
    assert.deepStrictEqual(await values(["CrateA.Board01.Chan023.V0Set", "CrateA.Board03.Chan000.V0Set"]), [250, 250]);
    // Board00's voltage limit turned below the set-points: SwitchOn switches none of them.
    const sim = (...words) => execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), ...words]);
    sim("hv-limit", "CrateA", "0", "200");
    const above = await call(oper, "CrateA.Board00", "SwitchOn");
    assert.strictEqual(above.statusCode, StatusCodes.Good);
    assert.ok(above.outputArguments[0].value.every((s) => s.value === StatusCodes.BadOutOfRange.value),
      above.outputArguments[0].value.map(String).join());
    assert.deepStrictEqual(await values(["CrateA.Board00.Chan000.Pw"]), [false]);
    sim("hv-limit", "CrateA", "0", "3500");
    sent = sets("CrateA");
    const on = await call(oper, "CrateA.Board00", "SwitchOn");
    assert.strictEqual(on.statusCode, StatusCodes.Good);
    assert.strictEqual(on.outputArguments[0].value.length, 12);
    assert.strictEqual(sets("CrateA") - sent, 1, "one switch call for the board");
    assert.deepStrictEqual(await values(["CrateA.Board00.Chan000.Pw", "CrateA.Board00.Chan011.Pw"]), [true, true]);

    // Bad arguments: refused whole, nothing sent.
    sent = sets("CrateA");
    const wrongType = await call(oper, "CrateA.Board00", "SetParameter", [
      { dataType: DataType.String, value: "V0Set" }, { dataType: DataType.Double, value: 250 }]);
    assert.strictEqual(wrongType.statusCode, StatusCodes.BadInvalidArgument);
    assert.deepStrictEqual(wrongType.inputArgumentResults.map((s) => s.name), ["Good", "BadTypeMismatch"]);
    const unknown = await call(oper, "CrateA.Board00", "SetParameter", [
      { dataType: DataType.String, value: "Voltage" }, { dataType: DataType.Float, value: 1 }]);
    assert.deepStrictEqual(unknown.inputArgumentResults.map((s) => s.name), ["BadInvalidArgument", "Good"]);
    const readOnly = await call(oper, "CrateA.Board00", "SetParameter", [
      { dataType: DataType.String, value: "VMon" }, { dataType: DataType.Float, value: 1 }]);
    assert.strictEqual(readOnly.statusCode, StatusCodes.BadInvalidArgument);
    const missing = await call(oper, "CrateA.Board00", "SetParameter", [{ dataType: DataType.String, value: "V0Set" }]);
    assert.strictEqual(missing.statusCode, StatusCodes.BadArgumentsMissing);
    const elsewhere = await oper.call({ objectId: item("CrateA.Board01"), methodId: item("CrateA.Board00#SwitchOn") });
    assert.strictEqual(elsewhere.statusCode, StatusCodes.BadMethodInvalid, "a board's method on its own board only");
    assert.strictEqual(sets("CrateA"), sent, "nothing was set");

    // The crate's commands: Kill switches every channel off, and a killed one stays off
    // until ClearAlarms.
    const kill = await call(oper, "CrateA", "Kill");
    assert.strictEqual(kill.statusCode, StatusCodes.Good);
    assert.strictEqual(kill.outputArguments[0].value.length, 48);
    assert.deepStrictEqual(await values(["CrateA.Board00.Chan000.Pw"]), [false]);
    const again = await call(oper, "CrateA.Board00", "SwitchOn");
    assert.ok(again.outputArguments[0].value.every((s) => s.value !== 0), "killed channels stay off, each says so");
    assert.strictEqual((await call(oper, "CrateA", "ClearAlarms")).statusCode, StatusCodes.Good);
    const after = await call(oper, "CrateA.Board00", "SwitchOn");
    assert.ok(after.outputArguments[0].value.every((s) => s.value === 0), "cleared: on again");
    // A group of the groups file: a folder under Groups organizing its channels, in the
    // address space's order, with the board's methods.
    const groups = await oper.browse(item("Groups"));
    assert.deepStrictEqual(groups.references.filter((r) => r.nodeClass === NodeClass.Object).map((r) => r.browseName.name),
      ["Upstream"]);
    const upstream = await oper.browse(item("Groups.Upstream"));
    const members = upstream.references.filter((r) => r.nodeClass === NodeClass.Object).map((r) => r.nodeId.value);
    assert.deepStrictEqual(members, ["CrateA.Board00.Chan000", "CrateA.Board00.Chan001", "CrateA.Board00.Chan002",
      "CrateA.Board01.Chan000", "CrateA.Board01.Chan001", "CrateA.Board01.Chan002", "CrateB.Board00.Chan001",
      "CrateB.Board01.Chan001"]);
    const offGroup = await call(oper, "Groups.Upstream", "SwitchOff");
    assert.deepStrictEqual(offGroup.outputArguments[1].value, members);
    assert.ok(offGroup.outputArguments[0].value.every((s) => s.value === 0));
    assert.deepStrictEqual(await values(["CrateA.Board00.Chan000.Pw", "CrateA.Board00.Chan003.Pw"]), [false, true],
      "only the group's channels");
    assert.strictEqual((await oper.browse(item("Groups"))).references.some((r) => r.nodeClass === NodeClass.Method), false,
      "the Groups folder itself has no methods");

    // One request's calls write no more than one Write may (10,000 items): 48 channels a call.
    const many = await oper.call(Array.from({ length: 250 }, () => ({ objectId: item("CrateA"), methodId: item("CrateA#SwitchOff") })));
    assert.strictEqual(many.filter((r) => r.statusCode === StatusCodes.Good).length, 208);
    assert.strictEqual(many[208].statusCode, StatusCodes.BadTooManyOperations);

    assert.match(run.log(), /method: user \[oper\] \[SwitchOn\] on \[CrateA.Board00\] value \[true\] channels \[12\]/);
    assert.match(run.log(), /method refused: user \[\S*\] \[SwitchOn\] on \[CrateA.Board00\] \(BadUserAccessDenied\)/);
    await oper.close();
    await reader.close();
    console.log("group methods interop: ok");
  } finally {
    await client.disconnect();
    await run.stop();
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
