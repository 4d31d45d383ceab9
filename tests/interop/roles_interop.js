// Roles against vexahv-opcserver over the simulated crates: an anonymous reader's writes are
// refused with BadUserAccessDenied and reach neither the mainframe (the simulator's request
// count stays) nor the configuration file; an operator (a user name over None, its password
// encrypted for the server's certificate) switches a channel but may not change a server
// setting; an admin over an encrypted channel may. UserAccessLevel tells each session what
// it may write, and the audit lines name who did what. Bounded: both processes stop by
// themselves after 60 s.
"use strict";
const assert = require("assert");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { execFileSync } = require("child_process");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, DataType, StatusCodes, UserTokenType,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

const item = (id) => `ns=1;s=${id}`;
const pw = item("CrateA.Board00.Chan007.Pw");
const SECURITY = [
  "securityPolicies = Basic256Sha256", "noneForSessions = true", "anonymousSessions = true",
  "anonymousRole = reader", "trustAllClients = true", "",
].join("\n");

async function main() {
  const bin = process.argv[2];
  const run = await startServer({
    bin, duration: 60, logLevel: 7, security: SECURITY,
    users: [["oper", "operator", "operator-pw-1"], ["boss", "admin", "admin-pw-123"]],
  });
  const certificateManager = new OPCUACertificateManager({
    rootFolder: path.join(run.dir, "client-pki"), automaticallyAcceptUnknownCertificate: true,
  });
  await certificateManager.initialize();
  const clients = [];
  const open = async (policy, mode) => {
    const c = OPCUAClient.create({
      applicationName: "vexahv roles", endpointMustExist: false, securityMode: mode, securityPolicy: policy,
      connectionStrategy: { maxRetry: 0 }, clientCertificateManager: certificateManager,
    });
    clients.push(c);
    await c.connect(run.url);
    return c;
  };
  const requestsOf = (crate) => Number(new RegExp(`${crate}@\\S*/req(\\d+)`).exec(
    execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), "list"]).toString())[1]);
  const write = (session, nodeId, dataType, value) =>
    session.write({ nodeId, attributeId: AttributeIds.Value, value: { value: { dataType, value } } });
  // Read and write only: Pw's history is kept (HistoryRead, 4) whoever reads.
  const access = async (session, nodeId) => (await session.read([
    { nodeId, attributeId: AttributeIds.AccessLevel }, { nodeId, attributeId: AttributeIds.UserAccessLevel }])).map((d) => d.value.value & 3);
  const cfg = path.join(run.work, "VEXAHVOPCServer.cfg");
  let stopped = false;
  try {
    const plain = await open(SecurityPolicy.None, MessageSecurityMode.None);
    const reader = await plain.createSession();
    await waitUntilRunning(reader);
    const settingsBefore = fs.readFileSync(cfg, "utf8");
    const sent = requestsOf("CrateA");
    assert.strictEqual((await write(reader, pw, DataType.Boolean, true)).name, "BadUserAccessDenied", "a reader switches nothing");
    assert.strictEqual((await write(reader, item("CrateA.Kill"), DataType.Boolean, true)).name, "BadUserAccessDenied");
    assert.strictEqual((await write(reader, item("OPCServerLogLevel"), DataType.UInt16, 3)).name, "BadUserAccessDenied");
    assert.strictEqual(requestsOf("CrateA"), sent, "no request reached the mainframe");
    assert.strictEqual(fs.readFileSync(cfg, "utf8"), settingsBefore, "the configuration file is untouched");
    assert.deepStrictEqual(await access(reader, pw), [3, 1], "a reader sees Pw as read-only");
    assert.strictEqual((await reader.read({ nodeId: pw, attributeId: AttributeIds.Value })).statusCode, StatusCodes.Good);

    const operator = await plain.createSession({ type: UserTokenType.UserName, userName: "oper", password: "operator-pw-1" });
    assert.strictEqual((await write(operator, pw, DataType.Boolean, true)).name, "Good", "an operator switches a channel");
    assert.ok(requestsOf("CrateA") > sent, "the write reached the mainframe");
    assert.deepStrictEqual(await access(operator, pw), [3, 3]);
    assert.deepStrictEqual(await access(operator, item("OPCServerLogLevel")), [3, 1], "settings are the admin's");
    assert.strictEqual((await write(operator, item("OPCServerLogLevel"), DataType.UInt16, 3)).name, "BadUserAccessDenied");
    assert.strictEqual(fs.readFileSync(cfg, "utf8"), settingsBefore, "still untouched");

    const secure = await open(SecurityPolicy.Basic256Sha256, MessageSecurityMode.SignAndEncrypt);
    const admin = await secure.createSession({ type: UserTokenType.UserName, userName: "boss", password: "admin-pw-123" });
    assert.strictEqual((await write(admin, item("OPCServerLogLevel"), DataType.UInt16, 7)).name, "Good");
    assert.ok(fs.readFileSync(cfg, "utf8").includes("LogLevel = 7;"), "an admin changes a setting");

    for (const s of [reader, operator, admin]) await s.close();
    for (const c of clients) await c.disconnect();
    const { code } = await run.stop();
    stopped = true;
    assert.strictEqual(code, 0, run.stderr());
    const log = run.log();
    for (const line of [
      "OPC UA audit: session activated: user [anonymous] role [reader] policy [None] mode [None]",
      "OPC UA audit: session activated: user [oper] role [operator] policy [None] mode [None]",
      "OPC UA audit: session activated: user [boss] role [admin] policy [Basic256Sha256] mode [SignAndEncrypt]",
      "OPC UA audit: write refused: user [anonymous] item [CrateA.Board00.Chan007.Pw] (BadUserAccessDenied)",
      "OPC UA audit: write: user [oper] item [CrateA.Board00.Chan007.Pw] value [",
      "OPC UA audit: write refused: user [oper] item [OPCServerLogLevel]",
    ]) {
      assert.ok(log.includes(line), `log line "${line}"`);
    }
    assert.ok(!log.includes("operator-pw-1") && !log.includes("admin-pw-123"), "no password in the log");
    fs.rmSync(run.dir, { recursive: true, force: true });
    console.log("roles interop passed");
  } finally {
    for (const c of clients) await c.disconnect().catch(() => {});
    if (!stopped) await run.stop();
    await certificateManager.dispose();
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
