// Registration with a Local Discovery Server: node-opcua's, on loopback, with multicast DNS
// stubbed out. The server starts while no discovery server listens: it serves all the same,
// says once that it is not registered, and tries again. The discovery server comes, with a
// certificate the server does not trust yet: still not registered, and the certificate
// lands among the rejected ones. Trusted, it is registered: FindServers lists it, with its
// URL. A discovery server without RegisterServer2 gets RegisterServer instead, both ways.
// At stop it unregisters, and the list is without it. Bounded: the server stops after
// 60 s, every wait is bounded.
"use strict";
require("./no_multicast");
const assert = require("assert");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { OPCUAClient, MessageSecurityMode, SecurityPolicy } = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");
const { OPCUADiscoveryServer } = require("node-opcua-server-discovery");
const { startServer, within } = require("../../scripts/hv_server");
const { makeCertificate } = require("./certificates");

const count = (text, pattern) => (text.match(pattern) || []).length;

// FindServers of the discovery server, by a client whose certificate stays in the test's folder.
async function listed(ldsUrl, clientCertificateManager) {
  const client = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 }, clientCertificateManager });
  await client.connect(ldsUrl);
  try {
    return await client.findServers();
  } finally {
    await client.disconnect();
  }
}

async function main() {
  const bin = process.argv[2];
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-lds-"));
  const ldsPort = 20000 + (process.pid % 20000);
  const ldsUrl = `opc.tcp://127.0.0.1:${ldsPort}`;
  const ldsCert = await makeCertificate(path.join(dir, "lds"), "lds", { applicationUri: "urn:test:lds" });
  const run = await startServer({ bin, duration: 60, logLevel: 5, dir: path.join(dir, "server"), rootFiles: {
    "opcua.conf": `discoveryServerUrl = ${ldsUrl}\ndiscoveryRetryIntervalMs = 1000\n` } });
  let lds = null;
  const clientPki = new OPCUACertificateManager({ rootFolder: path.join(dir, "client-pki"),
    automaticallyAcceptUnknownCertificate: true });
  await clientPki.initialize();
  const find = () => listed(ldsUrl, clientPki);
  try {
    const notRegistered = /Not registered with the discovery server \[[^\]]*\]: ([^\n]*)/;
    const why = await within(15000, "the missing discovery server logged", () => notRegistered.exec(run.log()));
    assert.match(why[1], /Connection refused|refused/i, why[1]);

    const manager = new OPCUACertificateManager({ rootFolder: path.join(dir, "lds", "pki"),
      automaticallyAcceptUnknownCertificate: true });
    await manager.initialize();
    lds = new OPCUADiscoveryServer({ port: ldsPort, hostname: "127.0.0.1", serverCertificateManager: manager,
      certificateFile: ldsCert.certificateFile, privateKeyFile: ldsCert.privateKeyFile,
      serverInfo: { applicationUri: "urn:test:lds" } });
    await lds.start();

    // Untrusted: refused on this side, put among the rejected, and not listed.
    const rejected = path.join(run.root, "pki", "rejected", "certs");
    const file = await within(15000, "the discovery server's certificate rejected",
      () => fs.existsSync(rejected) && fs.readdirSync(rejected)[0]);
    assert.strictEqual((await find()).length, 1, "the discovery server lists only itself");
    assert.strictEqual(count(run.log(), new RegExp(notRegistered.source, "g")), 1, "logged once, however often tried");

    fs.renameSync(path.join(rejected, file), path.join(run.root, "pki", "trusted", "certs", file));
    const ours = await within(15000, "registered", async () =>
      (await find()).find((s) => s.applicationUri && !s.applicationUri.includes("urn:test:lds")));
    assert.ok(ours.discoveryUrls.some((u) => u === run.url), `its URL ${ours.discoveryUrls} is ${run.url}`);
    assert.match(run.log(), /Registered with the discovery server \[/);

    // A discovery server without RegisterServer2 (older than OPC UA 1.04) answers it
    // BadServiceUnsupported: the server unregisters and registers again with RegisterServer.
    lds._on_RegisterServer2Request = undefined;
    const registered = /Registered with the discovery server \[/g;
    assert.strictEqual((await run.restartServer()).code, 0, "the server restarts cleanly");
    assert.strictEqual(count(run.log(), /Unregistered from the discovery server \[/g), 1, "unregistered through RegisterServer");
    const back = await within(15000, "registered through RegisterServer", async () => count(run.log(), registered) === 2 &&
      (await find()).find((s) => s.applicationUri && !s.applicationUri.includes("urn:test:lds")));
    assert.ok(back.discoveryUrls.some((u) => u === run.url), `its URL ${back.discoveryUrls} is ${run.url}`);

    const stopped = await run.stop();
    assert.strictEqual(stopped.code, 0, "the server stops cleanly");
    assert.match(run.log(), /Unregistered from the discovery server \[/);
    assert.strictEqual((await find()).length, 1, "gone from the list at stop");
  } catch (e) {
    console.error(`-- the server's log, its last 40 lines --\n${run.log().split("\n").slice(-40).join("\n")}`);
    throw e;
  } finally {
    if (run.server.exitCode === null) await run.stop();
    if (lds) await lds.shutdown();
    fs.rmSync(dir, { recursive: true, force: true });
  }
  console.log("discovery interop: ok");
}

main().catch((e) => { console.error(e); process.exit(1); });
