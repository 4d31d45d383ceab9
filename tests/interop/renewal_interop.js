// A long-lived client on a secure channel (Basic256Sha256, SignAndEncrypt) renews its token
// again and again (node-opcua at 75 % of the lifetime, here 10 s, the shortest the server
// grants) while a subscription delivers and reads go on: the keys change under both and
// the connection is never lost. Bounded: about 26 s, the fixture stops by itself after 60 s.
"use strict";
const assert = require("assert");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { startFixture, stopFixture } = require("./fixture");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, StatusCodes, ClientSubscription, TimestampsToReturn,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-renewal-"));
  fs.writeFileSync(path.join(root, "security.conf"),
    "securityPolicies = Basic256Sha256\nnoneForSessions = false\nanonymousSessions = true\ntrustAllClients = true\n");
  const certificateManager = new OPCUACertificateManager({
    rootFolder: path.join(root, "client-pki"), automaticallyAcceptUnknownCertificate: true,
  });
  await certificateManager.initialize();
  const { fixture, url } = await startFixture(process.argv[2], 60, root);
  const client = OPCUAClient.create({
    endpointMustExist: false, securityMode: MessageSecurityMode.SignAndEncrypt, securityPolicy: SecurityPolicy.Basic256Sha256,
    defaultSecureTokenLifetime: 10000, connectionStrategy: { maxRetry: 0 }, clientCertificateManager: certificateManager,
  });
  let renewals = 0;
  let lost = 0;
  client.on("security_token_renewed", () => { ++renewals; });
  client.on("connection_lost", () => { ++lost; });
  client.on("start_reconnection", () => { ++lost; });
  try {
    await client.connect(url);
    const session = await client.createSession();
    const subscription = ClientSubscription.create(session, {
      requestedPublishingInterval: 200, requestedLifetimeCount: 300, requestedMaxKeepAliveCount: 10,
      maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
    });
    const item = await subscription.monitor({ nodeId: "ns=1;s=S.Board01.Chan000.VMon", attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
    let notifications = 0, lastAt = Date.now(), longestGap = 0;
    item.on("changed", () => {
      const now = Date.now();
      longestGap = Math.max(longestGap, now - lastAt);
      lastAt = now;
      ++notifications;
    });
    const started = Date.now();
    let reads = 0;
    while (renewals < 3 && Date.now() - started < 26000) {
      const dv = await session.read({ nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value });
      assert.strictEqual(dv.statusCode, StatusCodes.Good);
      ++reads;
      await sleep(250);
    }
    assert.ok(renewals >= 3, `three renewals in 26 s, saw ${renewals}`);
    assert.strictEqual(lost, 0, "the connection was never lost");
    // The value changes once a second: a gap of 3 s would be a subscription that stalled.
    assert.ok(notifications >= 15 && longestGap < 3000, `notifications flowed: ${notifications}, longest gap ${longestGap} ms`);
    await subscription.terminate();
    await session.close();
    console.log(`renewal interop passed: ${renewals} renewals, ${reads} reads and ${notifications} notifications on one secure connection`);
  } finally {
    await client.disconnect();
    await stopFixture(fixture);
    await certificateManager.dispose();
    fs.rmSync(root, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
