// The server's diagnostics as a generic OPC UA client and an operator's browser see them:
// node-opcua reads the Server object's ServerDiagnosticsSummary, the sessions' summary
// with one SessionDiagnostics object per session (found by Browse), and EnabledFlag; the
// counts follow the sessions made, refused and closed, a session's subscription and its
// items, its reads; each subscription's own counts, and a session's node monitored. Who
// is connected as whom (SessionSecurityDiagnostics) is an admin's
// to read. /metrics and /api/status show the same figures and clients over HTTPS, to a
// client with a certificate the settings' issuer signed (none: no handshake) and a
// signed-in user (HTTP Basic as one of the server's users; none or a wrong password: 401).
// Bounded: 80 s.
"use strict";
const assert = require("assert");
const fs = require("fs");
const https = require("https");
const os = require("os");
const path = require("path");
const { execFileSync } = require("child_process");
const { startServer, waitUntilRunning } = require("../../scripts/hv_server");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, StatusCodes, UserTokenType, BrowseDirection,
  TimestampsToReturn,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

const SECURITY = [
  "securityPolicies = Basic256Sha256", "noneForSessions = true", "anonymousSessions = true",
  "anonymousRole = reader", "trustAllClients = true", "",
].join("\n");
const SUMMARY = "ns=0;i=2275", SESSIONS = "ns=0;i=3707", SECURITY_ARRAY = "ns=0;i=3708", SESSIONS_SUMMARY = "ns=0;i=3706";

// An issuer, a server certificate and a client certificate the issuer signed, as PEM texts.
function certificates() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-web-"));
  const openssl = (...args) => execFileSync("openssl", args, { cwd: dir, stdio: "ignore" });
  try {
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=test issuer", "-days", "1",
      "-keyout", "ca.key", "-out", "ca.pem");
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-days", "1",
      "-keyout", "web.key", "-out", "web.pem");
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=scraper", "-keyout", "client.key", "-out", "client.csr");
    openssl("x509", "-req", "-in", "client.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "1",
      "-out", "client.pem");
    const read = (f) => fs.readFileSync(path.join(dir, f), "utf8");
    return { ca: read("ca.pem"), web: read("web.pem"), webKey: read("web.key"), client: read("client.pem"),
      clientKey: read("client.key") };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}
const pem = certificates();

// The body of a 200 (anything else rejects with its status).
function get(port, pathname, auth = "oper:operator-pw-1", withCertificate = true) {
  return new Promise((resolve, reject) => {
    const mine = withCertificate ? { cert: pem.client, key: pem.clientKey } : {};
    https.get({ host: "127.0.0.1", port, path: pathname, auth, rejectUnauthorized: false, timeout: 10000, ...mine },
      (res) => {
      let body = "";
      res.on("data", (d) => { body += d; });
      res.on("end", () => (res.statusCode === 200 ? resolve(body) : reject(new Error(`HTTP ${res.statusCode} ${body}`))));
    }).on("error", reject);
  });
}

const metric = (text, name) => {
  const line = text.split("\n").find((l) => l.startsWith(name + " "));
  return line === undefined ? undefined : Number(line.split(" ").pop());
};

async function main() {
  const bin = process.argv[2];
  const guard = setTimeout(() => { console.error("diagnostics interop test: out of time"); process.exit(1); }, 80000);
  const run = await startServer({
    bin, duration: 70, logLevel: 6, security: SECURITY,
    users: [["oper", "operator", "operator-pw-1"], ["boss", "admin", "admin-pw-123"]],
    rootFiles: {
      "http.conf": "enabled = true\nport = 0\nusers = true\ncertificate = web.pem\nprivate_key = web.key\n" +
        "client_certificates = clients.pem\n",
      "web.pem": pem.web, "web.key": pem.webKey, "clients.pem": pem.ca,
    },
  });
  const certificateManager = new OPCUACertificateManager({
    rootFolder: path.join(run.dir, "client-pki"), automaticallyAcceptUnknownCertificate: true,
  });
  await certificateManager.initialize();
  const clients = [];
  const open = async () => {
    const c = OPCUAClient.create({
      applicationName: "vexahv diagnostics", endpointMustExist: false, securityMode: MessageSecurityMode.None,
      securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 }, clientCertificateManager: certificateManager,
    });
    clients.push(c);
    await c.connect(run.url);
    return c;
  };
  try {
    const served = /HTTP endpoint serving \[https:\/\/127\.0\.0\.1:(\d+)\/metrics\]/.exec(run.log());
    assert.ok(served, run.log());
    const port = Number(served[1]);
    const plain = await open();
    const reader = await plain.createSession();
    await waitUntilRunning(reader);
    const summary = async () => (await reader.read({ nodeId: SUMMARY, attributeId: AttributeIds.Value })).value.value;

    const first = await summary();
    assert.strictEqual(first.currentSessionCount, 1, JSON.stringify(first));
    assert.strictEqual(first.rejectedSessionCount, 0);
    const enabled = await reader.read({ nodeId: "ns=0;i=2294", attributeId: AttributeIds.Value });
    assert.strictEqual(enabled.value.value, true);
    // Each of the summary's components reads as its field.
    const count = await reader.read({ nodeId: "ns=0;i=2278", attributeId: AttributeIds.Value });
    assert.strictEqual(count.value.value, first.cumulatedSessionCount);

    // An operator and an admin log in; a wrong password is refused and counted.
    const operator = await plain.createSession({ type: UserTokenType.UserName, userName: "oper", password: "operator-pw-1" });
    const admin = await plain.createSession({ type: UserTokenType.UserName, userName: "boss", password: "admin-pw-123" });
    await assert.rejects(plain.createSession({ type: UserTokenType.UserName, userName: "oper", password: "wrong" }));
    const subscription = await operator.createSubscription2({ requestedPublishingInterval: 200, publishingEnabled: true });
    for (const id of ["CrateA.Board00.Chan000.VMon", "CrateA.Board00.Chan001.VMon"]) {
      await subscription.monitor({ nodeId: `ns=1;s=${id}`, attributeId: AttributeIds.Value },
        { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
    }
    const now = await summary();
    assert.strictEqual(now.currentSessionCount, 3, JSON.stringify(now));
    assert.ok(now.cumulatedSessionCount >= first.cumulatedSessionCount + 3, "the refused one was created first");
    assert.strictEqual(now.rejectedSessionCount, 1);
    assert.strictEqual(now.securityRejectedSessionCount, 1);
    assert.strictEqual(now.currentSubscriptionCount, 1);
    assert.strictEqual(now.publishingIntervalCount, 1);

    // One SessionDiagnostics per session, in the array and as an object under the summary.
    const all = (await reader.read({ nodeId: SESSIONS, attributeId: AttributeIds.Value })).value.value;
    assert.strictEqual(all.length, 3);
    const mine = all.find((s) => s.currentSubscriptionsCount === 1);
    assert.ok(mine, JSON.stringify(all));
    assert.strictEqual(mine.currentMonitoredItemsCount, 2);
    assert.strictEqual(mine.clientDescription.applicationUri.length > 0, true);
    assert.ok(mine.createMonitoredItemsCount.totalCount >= 2 && mine.createSubscriptionCount.totalCount === 1);
    const readerDiagnostics = all.find((s) => s.readCount.totalCount >= 4);
    assert.ok(readerDiagnostics, "the reader's reads are counted");
    const browsed = await reader.browse({ nodeId: SESSIONS_SUMMARY, browseDirection: BrowseDirection.Forward,
      resultMask: 63 });
    const objects = browsed.references.filter((r) => r.typeDefinition.toString() === "ns=0;i=2029");
    assert.strictEqual(objects.length, 3, JSON.stringify(browsed.references.map((r) => r.browseName.toString())));
    const object = objects.find((r) => r.nodeId.toString() === mine.sessionId.toString());
    assert.ok(object, "the session's object is its SessionId");
    const members = await reader.browse({ nodeId: object.nodeId, browseDirection: BrowseDirection.Forward, resultMask: 63 });
    const variable = members.references.find((r) => r.browseName.name === "SessionDiagnostics");
    assert.ok(variable, `${object.nodeId}: ${members.statusCode} ${JSON.stringify(members.references)}`);
    const own = (await reader.read({ nodeId: variable.nodeId, attributeId: AttributeIds.Value })).value.value;
    assert.strictEqual(own.currentMonitoredItemsCount, 2);
    assert.strictEqual(own.sessionId.toString(), mine.sessionId.toString());

    // Who is who: refused to a reader, shown to an admin.
    const denied = await reader.read({ nodeId: SECURITY_ARRAY, attributeId: AttributeIds.Value });
    assert.strictEqual(denied.statusCode.value, StatusCodes.BadUserAccessDenied.value);
    const security = (await admin.read({ nodeId: SECURITY_ARRAY, attributeId: AttributeIds.Value })).value.value;
    assert.deepStrictEqual(security.map((s) => s.clientUserIdOfSession).sort(), ["anonymous", "boss", "oper"]);
    assert.ok(security.every((s) => s.securityPolicyUri.endsWith("#None")));
    const operSecurity = security.find((s) => s.clientUserIdOfSession === "oper");
    assert.strictEqual(operSecurity.authenticationMechanism, "UserName");

    // The HTTP endpoint shows the same, to a user who signed in.
    await assert.rejects(get(port, "/metrics", "oper:operator-pw-1", false), (e) => !/HTTP/.test(e.message),
      "no handshake without a client certificate");
    await assert.rejects(get(port, "/metrics", null), /HTTP 401/);
    await assert.rejects(get(port, "/metrics", "oper:wrong"), /HTTP 401/);
    const text = await get(port, "/metrics");
    assert.strictEqual(metric(text, "vexahv_opcua_sessions"), 3, text);
    assert.strictEqual(metric(text, "vexahv_opcua_subscriptions"), 1);
    assert.strictEqual(metric(text, "vexahv_opcua_monitored_items"), 2);
    assert.strictEqual(metric(text, "vexahv_opcua_login_failures_total"), 1);
    assert.strictEqual(metric(text, "vexahv_opcua_sessions_rejected_total"), 1);
    assert.ok(metric(text, "vexahv_opcua_publish_requests_queued") >= 1, "the operator's Publish requests wait");
    for (let end = Date.now() + 10000; metric(await get(port, "/metrics"), "vexahv_opcua_notifications_sent_total") < 2;) {
      assert.ok(Date.now() < end, "the initial values are counted as sent");
      await new Promise((r) => setTimeout(r, 200));
    }
    const status = JSON.parse(await get(port, "/api/status"));
    assert.deepStrictEqual(status.opcUa.clients.map((c) => c.user).sort(), ["anonymous", "boss", "oper"]);
    assert.ok(status.opcUa.clients.every((c) => c.address.startsWith("127.0.0.1") && c.policy === "None"));
    assert.strictEqual(status.opcUa.clients.find((c) => c.user === "oper").monitoredItems, 2);

    // Each subscription's diagnostics: the server's array and the session's own.
    await subscription.modify({ requestedPublishingInterval: 250, requestedLifetimeCount: 1000,
      requestedMaxKeepAliveCount: 10, maxNotificationsPerPublish: 0, priority: 3 });
    await subscription.setPublishingMode(false);
    await subscription.setPublishingMode(true);
    const subscriptions = (await reader.read({ nodeId: "ns=0;i=2290", attributeId: AttributeIds.Value })).value.value;
    assert.strictEqual(subscriptions.length, 1, JSON.stringify(subscriptions));
    const d = subscriptions[0];
    assert.strictEqual(d.sessionId.toString(), mine.sessionId.toString());
    assert.strictEqual(d.subscriptionId, subscription.subscriptionId);
    assert.deepStrictEqual([d.publishingInterval, d.priority, d.maxLifetimeCount, d.publishingEnabled], [250, 3, 1000, true]);
    assert.deepStrictEqual([d.modifyCount, d.disableCount, d.enableCount], [1, 1, 1], JSON.stringify(d));
    assert.deepStrictEqual([d.monitoredItemCount, d.disabledMonitoredItemCount], [2, 0]);
    assert.ok(d.publishRequestCount >= 1 && d.dataChangeNotificationsCount >= 2, JSON.stringify(d));
    assert.strictEqual(d.notificationsCount, d.dataChangeNotificationsCount + d.eventNotificationsCount);
    assert.ok(d.nextSequenceNumber >= 2 && d.unacknowledgedMessageCount <= d.nextSequenceNumber);
    const ownArray = members.references.find((r) => r.browseName.name === "SubscriptionDiagnosticsArray");
    assert.ok(ownArray, JSON.stringify(members.references.map((r) => r.browseName.toString())));
    const ownSubscriptions = (await reader.read({ nodeId: ownArray.nodeId, attributeId: AttributeIds.Value })).value.value;
    assert.deepStrictEqual(ownSubscriptions.map((s) => s.subscriptionId), [subscription.subscriptionId]);

    // A session's diagnostics node is monitored like any variable: the reader sees the
    // operator's items grow.
    const watching = await reader.createSubscription2({ requestedPublishingInterval: 100, publishingEnabled: true });
    const seen = [];
    const watched = await watching.monitor({ nodeId: variable.nodeId, attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
    watched.on("changed", (v) => seen.push(v.value.value && v.value.value.currentMonitoredItemsCount));
    await subscription.monitor({ nodeId: "ns=1;s=CrateA.Board00.Chan002.VMon", attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
    for (let end = Date.now() + 10000; !seen.includes(3);) {
      assert.ok(Date.now() < end, `the third item shows: ${JSON.stringify(seen)}`);
      await new Promise((r) => setTimeout(r, 100));
    }

    // Who is who, monitored by the admin, stops once the session is the operator's.
    const adminWatch = await admin.createSubscription2({ requestedPublishingInterval: 100, publishingEnabled: true });
    const statuses = [];
    const who = await adminWatch.monitor({ nodeId: SECURITY_ARRAY, attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
    who.on("changed", (v) => statuses.push(v.statusCode.name));
    for (let end = Date.now() + 10000; !statuses.includes("Good");) {
      assert.ok(Date.now() < end, `the admin reads who is who: ${statuses}`);
      await new Promise((r) => setTimeout(r, 100));
    }
    await admin.changeUser({ type: UserTokenType.UserName, userName: "oper", password: "operator-pw-1" });
    for (let end = Date.now() + 10000; statuses[statuses.length - 1] !== "BadUserAccessDenied";) {
      assert.ok(Date.now() < end, `refused after the change of user: ${statuses}`);
      await new Promise((r) => setTimeout(r, 100));
    }

    // A closed session leaves the summary and its nodes go.
    await operator.close();
    const after = await summary();
    assert.strictEqual(after.currentSessionCount, 2);
    assert.strictEqual(after.currentSubscriptionCount, 2, "the reader's and the admin's");
    const gone = await reader.read({ nodeId: variable.nodeId, attributeId: AttributeIds.Value });
    assert.strictEqual(gone.statusCode.value, StatusCodes.BadNodeIdUnknown.value);
    console.log("diagnostics interop test passed");
  } finally {
    clearTimeout(guard);
    for (const c of clients) await c.disconnect().catch(() => {});
    await run.stop();
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
