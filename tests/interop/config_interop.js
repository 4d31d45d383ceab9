// vexahv-config against vexahv-opcserver on a private session bus (a dbus-daemon this test
// starts and stops): status and list, bad entries refused with the field named, an added
// crate counted at once but built only by the next start (then node-opcua browses it),
// removals, entries added by two clients at once all kept, and the tool working on the
// stored list while the server does not run. Bounded: everything stops after 120 s.
"use strict";
const assert = require("assert");
const path = require("path");
const { spawn, execFile } = require("child_process");
const { plainClient } = require("./plain_client");
const { startServer, waitUntilRunning, within } = require("../../scripts/hv_server");

const bin = process.argv[2];
const tool = path.join(bin, "vexahv-config");

// One run of the tool: its exit code, standard output and standard error.
function config(...args) {
  return new Promise((resolve) => {
    execFile(tool, args, { timeout: 30000 }, (error, stdout, stderr) =>
      resolve({ code: error ? error.code : 0, stdout, stderr }));
  });
}

function startBus() {
  return new Promise((resolve, reject) => {
    const daemon = spawn("dbus-daemon", ["--session", "--nofork", "--print-address=1"], { stdio: ["ignore", "pipe", "ignore"] });
    const timer = setTimeout(() => reject(new Error("dbus-daemon gave no address")), 10000);
    daemon.on("error", reject);
    daemon.stdout.once("data", (d) => {
      clearTimeout(timer);
      resolve({ daemon, address: d.toString().trim().split("\n")[0] });
    });
  });
}

async function browseObjects(url) {
  const client = plainClient();
  await client.connect(url);
  const session = await client.createSession();
  await waitUntilRunning(session);
  const names = (await session.browse("ns=0;i=85")).references.map((r) => r.browseName.name);
  await session.close();
  await client.disconnect();
  return names;
}

const statusOf = async () => JSON.parse((await config("--json", "status")).stdout);
const listOf = async () => JSON.parse((await config("--json", "list")).stdout);

async function main(bus) {
  process.env.DBUS_SESSION_BUS_ADDRESS = bus.address;
  const run = await startServer({
    bin, duration: 110, logLevel: 7, entries: ["CrateA,0,0,127.0.0.2", "CrateB,1,0,127.0.0.3:admin:hvsecret"],
  });
  // The tool works on the same root as the server when it runs without it.
  process.env.VEXAHV_ROOT = run.root;
  try {
    await within(20000, "the interface is on the bus", () => run.log().includes("Configuration interface served on the session bus"));
    const help = await config("--help");
    assert.strictEqual(help.code, 0);
    assert.match(help.stdout, /usage: vexahv-config/);

    let status = await within(30000, "both crates connected", async () => {
      const s = await statusOf();
      return s.status.every((x) => x.status === "connected") && s;
    });
    assert.strictEqual(status.active, true);
    assert.strictEqual(status.systems, 2);
    assert.match(status.release, /^5\.62 \(.+\)$/);
    assert.deepStrictEqual(status.status.map((x) => x.name), ["CrateA", "CrateB"]);
    const listed = await listOf();
    assert.strictEqual(listed.server, true);
    assert.deepStrictEqual(listed.systems.map((x) => [x.index, x.name, x.type, x.link, x.address, x.user]),
      [[0, "CrateA", "0", 0, "127.0.0.2", ""], [1, "CrateB", "1", 0, "127.0.0.3", "admin"]]);
    const text = await config("list");
    assert.match(text.stdout, /0\s+CrateA\s+0\s+0\s+127\.0\.0\.2\s+connected/);

    // Refused before anything is sent or stored, naming the wrong field.
    for (const [entry, field] of [["CrateC,4,0,not-an-ip", "field 4 (address)"], ["Crate.C,4,0,127.0.0.4", "field 1 (name)"],
      ["CrateC,8,0,127.0.0.4", "field 2 (type)"], ["CrateC,4", "2 fields"], [`C${"x".repeat(79)},0,0,1.2.3.4`, "characters"]]) {
      const r = await config("add", entry);
      assert.strictEqual(r.code, 1, entry);
      assert.ok(r.stderr.includes(field), `${entry}: ${r.stderr}`);
    }
    assert.strictEqual((await config("remove", "7")).code, 1);
    assert.strictEqual((await config("remove", "x")).code, 1);
    assert.strictEqual((await config("frobnicate")).code, 1);
    assert.strictEqual((await statusOf()).systems, 2, "nothing refused was stored");

    // Counted at once, built at the next start.
    const added = await config("add", "CrateC,4,0,127.0.0.4");
    assert.strictEqual(added.code, 0, added.stderr);
    status = await statusOf();
    assert.strictEqual(status.systems, 3);
    assert.strictEqual(status.status[2].status, "not built");

    // Two clients adding at once: every entry is kept.
    const adds = [];
    for (let i = 0; i < 6; ++i) adds.push(config("add", `Extra${i},0,0,127.0.1.${i + 1}`));
    for (const r of await Promise.all(adds)) assert.strictEqual(r.code, 0, r.stderr);
    const names = (await listOf()).systems.map((x) => x.name);
    for (let i = 0; i < 6; ++i) assert.ok(names.includes(`Extra${i}`), `Extra${i} in ${names}`);
    assert.strictEqual(names.length, 9);
    for (let i = 0; i < 6; ++i) assert.strictEqual((await config("remove", "3")).code, 0);
    assert.deepStrictEqual((await listOf()).systems.map((x) => x.name), ["CrateA", "CrateB", "CrateC"]);

    const previous = await run.restartServer();
    assert.deepStrictEqual(previous, { code: 0, signal: null });
    const objects = await browseObjects(run.url);
    assert.ok(objects.includes("CrateC"), `CrateC under Objects after the restart: ${objects}`);
    await within(30000, "CrateC connected", async () => (await statusOf()).status[2]?.status === "connected");

    // Without the server: list, add and remove work on the stored list and say so.
    const stopped = run.server;
    stopped.kill("SIGTERM");
    await new Promise((r) => (stopped.exitCode !== null ? r() : stopped.on("exit", r)));
    const offline = await config("list");
    assert.strictEqual(offline.code, 0);
    assert.match(offline.stderr, /not reachable/);
    assert.match(offline.stdout, /CrateC/);
    assert.strictEqual((await config("status")).code, 2);
    const storeAdds = [];
    for (let i = 0; i < 6; ++i) storeAdds.push(config("add", `Stored${i},0,0,127.0.2.${i + 1}`));
    for (const r of await Promise.all(storeAdds)) {
      assert.strictEqual(r.code, 0, r.stderr);
      assert.match(r.stdout, /stored list/);
    }
    const stored = (await listOf()).systems.map((x) => x.name);
    assert.strictEqual(stored.length, 9, `${stored}`);
    assert.strictEqual((await config("remove", "0")).code, 0);
    assert.strictEqual((await listOf()).systems[0].name, "CrateB");
    assert.strictEqual((await config("remove", "40")).code, 1);
  } finally {
    await run.stop();
  }
}

(async () => {
  const bus = await startBus();
  const guard = setTimeout(() => { bus.daemon.kill("SIGKILL"); process.exit(1); }, 120000);
  try {
    await main(bus);
    console.log("config interop test passed");
  } catch (e) {
    console.error(e);
    process.exitCode = 1;
  } finally {
    clearTimeout(guard);
    bus.daemon.kill("SIGTERM");
  }
  process.exit(process.exitCode || 0);
})();
