// Secure channels with node-opcua's client: an untrusted client is refused and its
// certificate kept in rejected/, trusted once an administrator moves it; an expired
// certificate is refused, trusted or not; then every secure policy in Sign and in
// SignAndEncrypt carries sessions of a user-name user and of a certificate user that read,
// write and subscribe; None serves discovery only. Bounded: about 30 s, the fixture stops
// by itself after 90 s.
"use strict";
const assert = require("assert");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { startFixture, stopFixture } = require("./fixture");
const {
  OPCUAClient, AttributeIds, DataType, MessageSecurityMode, SecurityPolicy, StatusCodes, ClientSubscription,
  TimestampsToReturn,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");
const { execFileSync } = require("child_process");
const { UserTokenType } = require("node-opcua-client");
const { makeCertificate } = require("./certificates");

async function connect(url, policy, mode, certificateManager, extra = {}) {
  const client = OPCUAClient.create({
    endpointMustExist: false, securityMode: mode, securityPolicy: policy,
    connectionStrategy: { maxRetry: 0, initialDelay: 100 }, clientCertificateManager: certificateManager,
    applicationName: "vexahv-security-interop", ...extra,
  });
  await client.connect(url);
  return client;
}

// The users file through the server's own switches, as an administrator makes it.
function addUser(bin, root, args, password) {
  execFileSync(path.join(path.dirname(bin), "vexahv-opcserver"), ["--add-user", ...args],
    { env: { ...process.env, VEXAHV_ROOT: root }, input: password ? `${password}\n` : "" });
}

async function refusedWith(promise, pattern, what) {
  try {
    await promise;
  } catch (e) {
    assert.match(String(e.message || e), pattern, what);
    return;
  }
  assert.fail(`${what}: accepted`);
}

async function exerciseSession(client, label, identity) {
  const session = await client.createSession(identity);
  try {
    const before = await session.read({ nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value });
    assert.strictEqual(before.statusCode, StatusCodes.Good, `${label}: read`);
    const value = (before.value.value + 1) % 1000;
    const written = await session.write({
      nodeId: "ns=1;s=Demo.Int32", attributeId: AttributeIds.Value,
      value: { value: { dataType: DataType.Int32, value } },
    });
    assert.strictEqual(written, StatusCodes.Good, `${label}: write`);
    // A Read of many values spans many chunks: every chunk is signed (and encrypted).
    const nodes = [];
    for (let c = 0; c < 1000; ++c) nodes.push({ nodeId: `ns=1;s=S.Board01.Chan${String(c).padStart(3, "0")}.VMon`, attributeId: AttributeIds.Value });
    const many = await session.read(nodes);
    assert.ok(many.every((dv) => dv.statusCode === StatusCodes.Good), `${label}: 1000 values`);
    const subscription = ClientSubscription.create(session, {
      requestedPublishingInterval: 100, requestedLifetimeCount: 100, requestedMaxKeepAliveCount: 10,
      maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
    });
    const item = await subscription.monitor({ nodeId: "ns=1;s=S.Board01.Chan000.VMon", attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    const changes = await new Promise((resolve) => {
      let n = 0;
      item.on("changed", () => { if (++n === 2) resolve(n); });
      setTimeout(() => resolve(n), 3000);
    });
    assert.ok(changes >= 2, `${label}: notifications arrive (${changes})`);
    await subscription.terminate();
  } finally {
    await session.close();
  }
}

async function main() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-sec-"));
  fs.writeFileSync(path.join(root, "security.conf"),
    "securityPolicies = Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss\n" +
    "noneForSessions = false\nanonymousSessions = true\ntrustAllClients = false\n");
  const certificateManager = new OPCUACertificateManager({
    rootFolder: path.join(root, "client-pki"), automaticallyAcceptUnknownCertificate: true,
  });
  await certificateManager.initialize();
  const certificates = path.join(root, "certificates");
  const userCertificate = await makeCertificate(certificates, "certificate-user", { user: true });
  addUser(process.argv[2], root, ["hvoperator", "--role", "operator"], "correct horse battery");
  addUser(process.argv[2], root, ["hvcert", "--role", "operator", "--certificate", userCertificate.certificateFile]);
  const identities = [
    ["user name", { type: UserTokenType.UserName, userName: "hvoperator", password: "correct horse battery" }],
    ["certificate", { type: UserTokenType.Certificate, certificateData: userCertificate.der, privateKey: userCertificate.keyPem }],
  ];
  const { fixture, url } = await startFixture(process.argv[2], 90, root);
  const clients = [];
  try {
    assert.ok(fs.existsSync(path.join(root, "pki", "own", "certs", "vexahv-opcserver.der")), "certificate made");
    const keyMode = fs.statSync(path.join(root, "pki", "own", "private", "vexahv-opcserver.pem")).mode & 0o777;
    assert.strictEqual(keyMode, 0o600, "the private key is the owner's only");

    // None: discovery yes, sessions no.
    const plain = await connect(url, SecurityPolicy.None, MessageSecurityMode.None, certificateManager);
    clients.push(plain);
    const endpoints = await plain.getEndpoints();
    assert.strictEqual(endpoints.length, 6, "three policies in two modes, no None endpoint");
    assert.ok(endpoints.every((e) => e.serverCertificate && e.serverCertificate.length > 500), "each names the certificate");
    // node-opcua refuses before asking, having seen no None endpoint; the server refuses too
    // (the unit tests send the CreateSession).
    await refusedWith(plain.createSession(), /BadSecurityPolicyRejected|End point must exist/, "a session over None");
    await plain.disconnect();

    // An untrusted client: refused, its certificate kept for the administrator.
    await refusedWith(connect(url, SecurityPolicy.Basic256Sha256, MessageSecurityMode.SignAndEncrypt, certificateManager),
      /./, "an untrusted client");
    const rejected = path.join(root, "pki", "rejected", "certs");
    const files = fs.readdirSync(rejected);
    assert.strictEqual(files.length, 1, "the untrusted certificate is in rejected/certs");
    fs.renameSync(path.join(rejected, files[0]), path.join(root, "pki", "trusted", "certs", files[0]));

    // A wrong password is refused (after the guard's delay); so is an unknown certificate user.
    const checked = await connect(url, SecurityPolicy.Basic256Sha256, MessageSecurityMode.SignAndEncrypt, certificateManager);
    clients.push(checked);
    await refusedWith(checked.createSession({ type: UserTokenType.UserName, userName: "hvoperator", password: "wrong" }),
      /BadUserAccessDenied/, "a wrong password");
    const stranger = await makeCertificate(certificates, "stranger", { user: true });
    await refusedWith(checked.createSession({ type: UserTokenType.Certificate, certificateData: stranger.der, privateKey: stranger.keyPem }),
      /BadIdentityTokenRejected/, "a certificate without an account");
    await checked.disconnect();

    // An expired certificate, even a trusted one, and one whose URI is not the client's.
    const expired = await makeCertificate(certificates, "expired", {
      applicationUri: "urn:test:expired", notBefore: new Date(Date.now() - 20 * 86400e3), notAfter: new Date(Date.now() - 86400e3),
    });
    fs.copyFileSync(expired.certificateFile, path.join(root, "pki", "trusted", "certs", "expired.pem"));
    await refusedWith(connect(url, SecurityPolicy.Basic256Sha256, MessageSecurityMode.Sign, certificateManager,
      { certificateFile: expired.certificateFile, privateKeyFile: expired.privateKeyFile, applicationUri: "urn:test:expired" }),
    /./, "an expired certificate");
    // (node-opcua always sends its certificate's own URI, so a URI that differs from the
    // certificate's is checked by the unit tests.)

    const policies = [SecurityPolicy.Basic256Sha256, SecurityPolicy.Aes128_Sha256_RsaOaep, SecurityPolicy.Aes256_Sha256_RsaPss];
    for (const policy of policies) {
      for (const mode of [MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt]) {
        const label = `${policy.split("#")[1]} ${MessageSecurityMode[mode]}`;
        const client = await connect(url, policy, mode, certificateManager);
        clients.push(client);
        for (const [kind, identity] of identities) await exerciseSession(client, `${label} ${kind}`, identity);
        await client.disconnect();
        console.log(`${label}: ok`);
      }
    }
    console.log("security interop passed");
  } finally {
    for (const c of clients) await c.disconnect().catch(() => {});
    await stopFixture(fixture);
    await certificateManager.dispose();
    fs.rmSync(root, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
