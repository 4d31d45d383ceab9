// The HTTP endpoint against the server on the simulated crates: /metrics passes promtool's
// check, names every crate with its state, size and library calls, counts an OPC UA
// session, and follows a crate that falls silent (its state, its timed-out calls);
// /api/status says the same, and the status page, rendered by headless Chromium, shows
// every crate, an alarm the simulator raised and the test's own OPC UA client, and follows
// the silenced crate. Bad requests are answered with errors and cost
// only their own connection: an unknown path, another method, a header past the limit, a
// client that never finishes its request. Bounded: 110 s.
"use strict";
const assert = require("assert");
const http = require("http");
const net = require("net");
const path = require("path");
const { execFileSync, spawnSync } = require("child_process");
const { OPCUAClient, MessageSecurityMode, SecurityPolicy } = require("node-opcua-client");
const { startServer } = require("../../scripts/hv_server");

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function get(port, pathname, options = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: "127.0.0.1", port, path: pathname, method: options.method || "GET",
      headers: options.headers || {}, timeout: 10000 }, (res) => {
      let body = "";
      res.on("data", (d) => { body += d; });
      res.on("end", () => resolve({ status: res.statusCode, type: res.headers["content-type"], body }));
    });
    req.on("timeout", () => req.destroy(new Error("no answer")));
    req.on("error", reject);
    req.end();
  });
}

// The status page as a real browser renders it, after its script has read /api/status;
// null when this machine has no Chromium.
function renderedPage(port, profile) {
  const r = spawnSync("chromium", ["--headless", "--no-sandbox", "--disable-gpu", `--user-data-dir=${profile}`,
    "--virtual-time-budget=3000", "--dump-dom", `http://127.0.0.1:${port}/`], { encoding: "utf8", timeout: 60000 });
  if (r.error && r.error.code === "ENOENT") return null;
  assert.strictEqual(r.status, 0, r.stderr);
  return r.stdout;
}

// A metric's value for the labels given, or undefined.
function value(text, name, labels) {
  for (const line of text.split("\n")) {
    if (!line.startsWith(name + "{") && !line.startsWith(name + " ")) continue;
    if (Object.entries(labels || {}).every(([k, v]) => line.includes(`${k}="${v}"`))) return Number(line.split(" ").pop());
  }
  return undefined;
}

async function main() {
  const bin = process.argv[2];
  const guard = setTimeout(() => { console.error("metrics interop test: out of time"); process.exit(1); }, 110000);
  const run = await startServer({ bin, duration: 100, logLevel: 6, keepAlivePeriodMs: 300,
    rootFiles: { "http.conf": "# the test's own port\nenabled = true\nport = 0\n" } });
  let client;
  try {
    let port = 0;
    for (let end = Date.now() + 20000; !port && Date.now() < end; await sleep(100)) {
      const m = /HTTP endpoint serving \[http:\/\/127\.0\.0\.1:(\d+)\/metrics\]/.exec(run.log());
      if (m) port = Number(m[1]);
    }
    assert.ok(port, `no HTTP endpoint:\n${run.log()}`);
    // Until the crates are built: every one connected with its channels.
    const built = (text) => ["CrateA", "CrateB", "CrateC"].every((crate) =>
      value(text, "vexahv_crate_connected", { crate }) === 1 && value(text, "vexahv_crate_channels", { crate }) > 0);
    for (let end = Date.now() + 20000; !built((await get(port, "/metrics")).body); await sleep(100)) {
      assert.ok(Date.now() < end, "the address space was not built");
    }

    client = OPCUAClient.create({ applicationName: "vexahv metrics", endpointMustExist: false,
      securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 } });
    await client.connect(run.url);
    const session = await client.createSession();

    const first = await get(port, "/metrics");
    assert.strictEqual(first.status, 200);
    assert.match(first.type, /^text\/plain; version=0\.0\.4/);
    const check = spawnSync("promtool", ["check", "metrics"], { input: first.body, encoding: "utf8", timeout: 20000 });
    if (check.error && check.error.code === "ENOENT") {
      console.log("metrics interop test: promtool is not installed (scripts/setup installs prometheus); the format is not checked");
    } else {
      assert.strictEqual(check.status, 0, `promtool: ${check.stdout}${check.stderr}\n${first.body}`);
      assert.strictEqual(check.stdout + check.stderr, "", "not even a lint remark");
    }
    for (const crate of ["CrateA", "CrateB", "CrateC"]) {
      assert.strictEqual(value(first.body, "vexahv_crate_connected", { crate }), 1, `${crate}\n${first.body}`);
    }
    assert.strictEqual(value(first.body, "vexahv_crate_boards", { crate: "CrateA", address: "127.0.0.2" }), 3);
    assert.strictEqual(value(first.body, "vexahv_crate_channels", { crate: "CrateA" }), 48, "12 + 24 + 12");
    assert.ok(value(first.body, "vexahv_opcua_sessions") >= 1, "the test's own session");
    assert.ok(value(first.body, "process_resident_memory_bytes") > 1e6);
    const calls = value(first.body, "vexahv_library_calls_total", { crate: "CrateA" });
    assert.ok(calls > 10, `the build's calls: ${calls}`);
    assert.strictEqual(value(first.body, "vexahv_library_call_duration_seconds_bucket", { crate: "CrateA", le: "+Inf" }),
      value(first.body, "vexahv_library_call_duration_seconds_count", { crate: "CrateA" }));
    assert.ok(value(first.body, "vexahv_library_call_failures_total", { crate: "CrateA", reason: "write_only" }) > 0,
      "the build reads write-only items, which the mainframe refuses");

    // CrateA reports over UDP and CrateB over TCP: their event records are counted as they come.
    let evented;
    for (let end = Date.now() + 15000; Date.now() < end; await sleep(250)) {
      evented = (await get(port, "/metrics")).body;
      if (["CrateA", "CrateB"].every((crate) => value(evented, "vexahv_crate_event_records_total", { crate }) > 0)) break;
    }
    for (const crate of ["CrateA", "CrateB"]) {
      assert.ok(value(evented, "vexahv_crate_event_records_total", { crate }) > 0, `${crate}'s events:\n${evented}`);
      assert.ok(value(evented, "vexahv_crate_last_event_age_seconds", { crate }) < 10);
      assert.strictEqual(value(evented, "vexahv_crate_event_records_dropped_total", { crate, cause: "unknown_item" }), 0);
    }

    // The same as JSON, and on the status page in a browser, with an alarm the simulator raised.
    const status = JSON.parse((await get(port, "/api/status")).body);
    assert.deepStrictEqual(status.crates.map((c) => [c.name, c.state, c.channels]),
      [["CrateA", "connected", 48], ["CrateB", "connected", 24], ["CrateC", "connected", 8]]);
    assert.strictEqual(status.opcUaSessions, value(first.body, "vexahv_opcua_sessions"));
    execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), "interlock", "CrateA"]);
    let alarmed;
    for (let end = Date.now() + 20000; Date.now() < end; await sleep(250)) {
      alarmed = JSON.parse((await get(port, "/api/status")).body);
      if (alarmed.alarms.some((a) => a.id === "CrateA.Board00.Chan000#Interlock")) break;
    }
    assert.ok(alarmed.alarms.some((a) => a.id === "CrateA.Board00.Chan000#Interlock"), JSON.stringify(alarmed));
    assert.ok(alarmed.alarms.length <= 200 && alarmed.alarmsActive >= alarmed.alarms.length);
    assert.strictEqual(alarmed.alarms[0].severity, 900, "the most severe first");
    const profile = path.join(run.dir, "chromium");
    const page = renderedPage(port, profile);
    if (page === null) {
      console.log("metrics interop test: chromium is not installed (scripts/setup installs it); the page is not rendered");
    } else {
      for (const crate of ["CrateA", "CrateB", "CrateC"]) {
        assert.match(page, new RegExp(`class="crate connected" data-crate="${crate}"`), page);
      }
      assert.match(page, /data-alarm="CrateA\.Board00\.Chan000#Interlock"/);
      assert.match(page, /data-client="127\.0\.0\.1/, `the test's own OPC UA session is a client: ${page.slice(page.indexOf("id=\"clients\""))}`);
      assert.match(page, /events\/s over the last minute/);
      assert.doesNotMatch(page, /https?:\/\/(?!127\.0\.0\.1)/, "no asset from elsewhere");
    }

    // CrateC (polled, supervised by library calls) falls silent: its state follows within
    // the supervision's time, and its calls time out.
    execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), "silent", "CrateC", "on"]);
    let lost;
    for (let end = Date.now() + 40000; Date.now() < end; await sleep(250)) {
      lost = (await get(port, "/metrics")).body;
      if (value(lost, "vexahv_crate_connected", { crate: "CrateC" }) === 0) break;
    }
    assert.strictEqual(value(lost, "vexahv_crate_connected", { crate: "CrateC" }), 0, lost);
    assert.strictEqual(value(lost, "vexahv_crate_state", { crate: "CrateC" }), 2);
    assert.ok(value(lost, "vexahv_library_call_failures_total", { crate: "CrateC", reason: "timeout" }) > 0,
      `its calls time out:\n${lost}`);
    assert.strictEqual(value(lost, "vexahv_crate_connected", { crate: "CrateA" }), 1, "the others are untouched");
    if (page !== null) {
      assert.match(renderedPage(port, profile), /class="crate lost" data-crate="CrateC"/, "the page follows");
    }

    // Bad requests: errors, and the endpoint serves on.
    const home = await get(port, "/");
    assert.strictEqual(home.status, 200);
    assert.match(home.type, /^text\/html/);
    assert.strictEqual((await get(port, "/index.html")).status, 404);
    assert.strictEqual((await get(port, "/metrics/../etc/passwd")).status, 404);
    assert.strictEqual((await get(port, "/metrics", { method: "POST" })).status, 405);
    const huge = await get(port, "/metrics", { headers: { "X-Padding": "x".repeat(20000) } }).catch((e) => ({ status: e.code }));
    assert.ok(huge.status === 413 || huge.status === 431 || huge.status === 400 || huge.status === "ECONNRESET" ||
      huge.status === "EPIPE", `a header past the limit: ${huge.status}`);
    // A client that starts a request and never ends it is dropped, not waited for.
    const closed = await new Promise((resolve) => {
      const socket = net.connect(port, "127.0.0.1", () => socket.write("GET /metrics HTTP/1.1\r\nHost: x\r\n"));
      const timer = setTimeout(() => { socket.destroy(); resolve(false); }, 15000);
      socket.on("close", () => { clearTimeout(timer); resolve(true); });
      socket.on("error", () => {});
      socket.resume();  // its answer (400) read and dropped, so that the close is seen
    });
    assert.ok(closed, "a slow client keeps its connection for ever");
    assert.strictEqual((await get(port, "/metrics")).status, 200, "still serving");

    await session.close();
    console.log("metrics interop test passed");
  } finally {
    if (client) await client.disconnect();
    await run.stop();
    clearTimeout(guard);
  }
}

main().then(() => process.exit(0), (e) => { console.error(e); process.exit(1); });
