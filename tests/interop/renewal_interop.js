// A long-lived client renews its secure channel's token again and again (node-opcua at 75 %
// of the lifetime, here 10 s, the shortest the server grants) and keeps reading without
// ever losing its connection. Bounded: about 26 s, the fixture stops by itself after 60 s.
"use strict";
const assert = require("assert");
const { startFixture, stopFixture } = require("./fixture");
const { OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, StatusCodes } = require("node-opcua-client");

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const { fixture, url } = await startFixture(process.argv[2]);
  const client = OPCUAClient.create({
    endpointMustExist: false, securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    defaultSecureTokenLifetime: 10000, connectionStrategy: { maxRetry: 0 },
  });
  let renewals = 0;
  let lost = 0;
  client.on("security_token_renewed", () => { ++renewals; });
  client.on("connection_lost", () => { ++lost; });
  client.on("start_reconnection", () => { ++lost; });
  try {
    await client.connect(url);
    const session = await client.createSession();
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
    await session.close();
    console.log(`renewal interop passed: ${renewals} renewals, ${reads} reads on one connection`);
  } finally {
    await client.disconnect();
    await stopFixture(fixture);
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
