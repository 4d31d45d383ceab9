// The configuration interface's bus policy, as the registration installs it, on a private
// bus with the system bus's default policy (a dbus-daemon this test starts): the server,
// registered and run as a service by root, owns the name; an unprivileged user may read
// the status and the list (without passwords) but not add or remove mainframes; root may. Needs root (to run
// the tool as "nobody"); without it the test says so and passes. Bounded: 90 s.
"use strict";
const assert = require("assert");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawn, execFile, execFileSync } = require("child_process");
const { startServer } = require("../../scripts/hv_server");

const bin = process.argv[2];
const tool = path.join(bin, "vexahv-config");
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function run(argv, env) {
  return new Promise((resolve) => {
    execFile(argv[0], argv.slice(1), { timeout: 30000, env }, (error, stdout, stderr) =>
      resolve({ code: error ? error.code : 0, stdout, stderr }));
  });
}

// The system bus's default policy (deny unless allowed), plus the installed policy files.
function busConfig(dir, policies) {
  return `<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir=${dir}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Peer"/>
  </policy>
  <includedir>${policies}</includedir>
</busconfig>
`;
}

async function main() {
  if (process.getuid() !== 0) {
    console.log("config policy interop test: not root, so no user to compare with; nothing checked");
    return;
  }
  const nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"];
  try {
    execFileSync(nobody[0], [...nobody.slice(1), tool, "--help"], { stdio: "ignore" });
  } catch (e) {
    console.log(`config policy interop test: "nobody" cannot run ${tool}; nothing checked`);
    return;
  }

  // The policy file exactly as a registration writes it.
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-policy-"));
  fs.chmodSync(scratch, 0o755);
  execFileSync(path.join(bin, "vexahv-opcserver"), ["/Service"],
    { cwd: scratch, env: { ...process.env, VEXAHV_ROOT: path.join(scratch, "root") }, stdio: "ignore" });
  const policies = path.join(scratch, "policies");
  fs.mkdirSync(policies);
  fs.copyFileSync(path.join(scratch, "root", "dbus", "system.d", "VEXAHVOPCService.VEXAHVOPCService.conf"),
    path.join(policies, "VEXAHVOPCService.VEXAHVOPCService.conf"));
  const socketDir = path.join(scratch, "bus");
  fs.mkdirSync(socketDir, { mode: 0o755 });
  fs.writeFileSync(path.join(scratch, "bus.conf"), busConfig(socketDir, policies));
  const daemon = spawn("dbus-daemon", [`--config-file=${path.join(scratch, "bus.conf")}`, "--nofork", "--print-address=1"],
    { stdio: ["ignore", "pipe", "ignore"] });
  const address = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("dbus-daemon gave no address")), 10000);
    daemon.stdout.once("data", (d) => { clearTimeout(timer); resolve(d.toString().trim().split("\n")[0]); });
  });
  const guard = setTimeout(() => { daemon.kill("SIGKILL"); process.exit(1); }, 90000);
  process.env.DBUS_SYSTEM_BUS_ADDRESS = address;
  let server;
  try {
    server = await startServer({ bin, register: true, duration: 80, entries: ["CrateA,0,0,127.0.0.2"] });
    const end = Date.now() + 20000;
    while (!server.log().includes("Configuration interface served on the system bus")) {
      if (Date.now() > end) throw new Error(`the name was not taken:\n${server.log()}`);
      await sleep(100);
    }
    const env = { PATH: process.env.PATH, DBUS_SYSTEM_BUS_ADDRESS: address };
    const asNobody = (...args) => run([...nobody, tool, "--system", ...args], env);
    const asRoot = (...args) => run([tool, "--system", ...args], env);

    const status = await asNobody("--json", "status");
    assert.strictEqual(status.code, 0, status.stderr);
    assert.strictEqual(JSON.parse(status.stdout).systems, 1);
    assert.strictEqual((await asNobody("list")).code, 0);
    for (const args of [["add", "CrateB,1,0,127.0.0.3"], ["remove", "0"]]) {
      const refused = await asNobody(...args);
      assert.strictEqual(refused.code, 1, `${args}: ${refused.stdout}${refused.stderr}`);
      assert.match(refused.stderr, /refused by the bus policy/);
    }
    assert.strictEqual(JSON.parse((await asRoot("--json", "status")).stdout).systems, 1, "nothing changed");
    // A mainframe's password: root and the service's user read it through the interface;
    // nobody else does, the tool prints it to no one, the log never holds it, and the
    // stored list is the owner's alone.
    // The entry through standard input: a password in the arguments would be in every
    // local user's view of the process list.
    const added = await new Promise((resolve) => {
      const child = execFile(tool, ["--system", "add", "-"], { timeout: 30000, env },
        (error, stdout, stderr) => resolve({ code: error ? error.code : 0, stdout, stderr }));
      child.stdin.end("CrateB,1,0,127.0.0.3:admin:hvsecret\n");
    });
    assert.strictEqual(added.code, 0, added.stderr);
    assert.match(added.stdout, /added \[CrateB,1,0,127\.0\.0\.3:admin:\*{8}\]/);
    const getEntry = (...who) => run([...who, "busctl", `--address=${address}`, "call",
      "VEXAHVOPCService.VEXAHVOPCService", "/VEXAHVOPCService", "VEXAHVOPCService.IVEXAHVOPCService", "getEntry", "u", "1"], env);
    assert.match((await getEntry()).stdout, /"CrateB,1,0,127\.0\.0\.3:admin:hvsecret"/);
    const masked = await getEntry(...nobody);
    assert.strictEqual(masked.code, 0, masked.stderr);
    assert.match(masked.stdout, /"CrateB,1,0,127\.0\.0\.3:admin:\*{8}"/);
    for (const shown of [await asNobody("--json", "list"), await asRoot("--json", "list"), await asRoot("list")]) {
      assert.strictEqual(shown.code, 0, shown.stderr);
      assert.ok(!shown.stdout.includes("hvsecret"), shown.stdout);
    }
    assert.strictEqual(JSON.parse((await asRoot("--json", "list")).stdout).systems[1].user, "admin");
    assert.ok(!server.log().includes("hvsecret"), "the log holds no password");
    const hive = path.join(server.root, "registry", "HKEY_CURRENT_USER.hive");
    assert.strictEqual(fs.statSync(hive).mode & 0o777, 0o600, "the stored list is the owner's alone");
    assert.strictEqual((await asRoot("remove", "1")).code, 0);
    console.log("config policy interop test passed");
  } finally {
    if (server) await server.stop();
    clearTimeout(guard);
    daemon.kill("SIGTERM");
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

main().then(() => process.exit(0), (e) => { console.error(e); process.exit(1); });
