// Starts vexahv-sim with the sample crates and vexahv-opcserver over them, each in a
// fresh platform root and working directory of their own, and stops both again. Used by
// scripts/demo and by the interop tests; everything listens on loopback only.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { execFileSync, spawn } = require("child_process");

const repo = path.resolve(__dirname, "..");

// The sample crates as system entries: name, system-type index, link type, address.
const ENTRIES = [
  "CrateA,0,0,127.0.0.2",
  "CrateB,1,0,127.0.0.3:admin:hvsecret",
  "CrateC,4,0,127.0.0.4",
];

// The demo's security settings: the secure policies, and besides them SecurityPolicy None
// with anonymous sessions, so that any client on this machine connects without set-up.
// Never for a plant: the server's default (no file) offers None for discovery only.
const DEMO_SECURITY = [
  "# Demo settings: loopback only. None carries sessions, anonymous users may write anything.",
  "securityPolicies = Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss",
  "noneForSessions = true",
  "anonymousSessions = true",
  "anonymousRole = admin",
  "",
].join("\n");

function hive(entries) {
  const quote = (s) => '"' + s.replace(/\\/g, "\\\\").replace(/"/g, '\\"') + '"';
  const lines = ["VEXAHV-REGISTRY-HIVE 1", "[Software\\VEXA/ZOLT\\VEXAHVOPCServer\\Settings]",
    `"HVPSNum" = dword:${entries.length}`];
  entries.forEach((e, i) => lines.push(`"${i}" = sz:${quote(e)}`));
  return lines.join("\n") + "\n";
}

function waitForLine(child, stream, pattern, what, ms) {
  return new Promise((resolve, reject) => {
    let seen = "";
    const timer = setTimeout(() => reject(new Error(`${what} did not start: ${seen}`)), ms);
    child.on("exit", (code) => { clearTimeout(timer); reject(new Error(`${what} exited (${code}): ${seen}`)); });
    stream.on("data", (d) => {
      seen += d.toString();
      const m = pattern.exec(seen);
      if (m) { clearTimeout(timer); resolve(m); }
    });
  });
}

function exitOf(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve({ code: child.exitCode, signal: child.signalCode });
  return new Promise((resolve) => child.on("exit", (code, signal) => resolve({ code, signal })));
}

// options: bin (build/bin), simPort, opcuaPort ("0": any free port), logLevel, batched,
// eventEnabled (default true: the mainframes report their changes), liveInsertion (default
// false: the UDP crates signal their boards inserted and removed), verifyTime (s),
// keepAlivePeriodMs, crates (crate files; default the three samples, which entries must
// match), latencyMs, duration (seconds both processes stop by themselves; 0: until stop() or a
// signal, default 120), entries, dir, settings (more "Key=value;" entries for the file),
// rootFiles ({ "groups.conf": text }: more files of the platform root).
async function startServer(options = {}) {
  const bin = options.bin || path.join(repo, "build", "bin");
  const simPort = options.simPort || 10000 + (process.pid % 9000);
  const control = simPort + 1;
  const duration = options.duration ?? 120;
  const dir = options.dir || fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-"));
  fs.rmSync(dir, { recursive: true, force: true });
  const root = path.join(dir, "root");
  const work = path.join(dir, "work");
  fs.mkdirSync(path.join(root, "registry"), { recursive: true });
  fs.mkdirSync(work, { recursive: true });
  fs.writeFileSync(path.join(root, "registry", "HKEY_CURRENT_USER.hive"), hive(options.entries || ENTRIES));
  fs.writeFileSync(path.join(root, "security.conf"), options.security ?? DEMO_SECURITY);
  for (const [name, text] of Object.entries(options.rootFiles || {})) fs.writeFileSync(path.join(root, name), text);
  // Users through the server's own switch, as an administrator adds them.
  for (const [name, role, password] of options.users || []) {
    execFileSync(path.join(bin, "vexahv-opcserver"), ["--add-user", name, "--role", role],
      { env: { ...process.env, VEXAHV_ROOT: root }, input: `${password}\n`, stdio: ["pipe", "ignore", "inherit"] });
  }
  fs.writeFileSync(path.join(work, "VEXAHVOPCServer.cfg"),
    `EventEnabled=${options.eventEnabled === false ? "false" : "true"};LiveInsertRemoval=${options.liveInsertion ? "true" : "false"};` +
    `VerifyTime=${options.verifyTime ?? 600};LogLevel=${options.logLevel ?? 7};` +
    `UseBatchedGroupTransactions=${options.batched === false ? "false" : "true"};${options.settings || ""}`);

  const crates = path.join(repo, "sim", "crates");
  const crateFiles = options.crates ||
    ["crate-a-udp.crate", "crate-b-tcp.crate", "crate-c-fu.crate"].map((f) => path.join(crates, f));
  const sim = spawn(path.join(bin, "vexahv-sim"), [
    ...crateFiles.flatMap((f) => ["--crate", f]), "--port", String(simPort), "--control", String(control),
    "--latency", String(options.latencyMs || 0), ...(duration ? ["--duration", String(duration)] : []),
  ], { stdio: ["ignore", "pipe", "pipe"] });
  await waitForLine(sim, sim.stdout, /control on/, "vexahv-sim", 10000);
  const simControl = (line) =>
    execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(control), ...line.split(" ")]).toString();
  if (options.beforeServer) await options.beforeServer(simControl);

  const env = {
    ...process.env, VEXAHV_ROOT: root, VEXAHV_MAINFRAME_PORT: String(simPort),
    VEXAHV_OPCUA_PORT: String(options.opcuaPort ?? "0"), VEXAHV_OPCUA_HOST: "127.0.0.1",
    ...(options.keepAlivePeriodMs ? { VEXAHV_KEEPALIVE_PERIOD_MS: String(options.keepAlivePeriodMs) } : {}),
  };
  const registration = options.register
    ? execFileSync(path.join(bin, "vexahv-opcserver"), ["/Service"], { cwd: work, env, timeout: 30000 }).toString()
    : "";
  let server = null;
  let serverErr = "";
  let serverOut = "";
  const launch = async () => {
    server = spawn(path.join(bin, "vexahv-opcserver"), [], { cwd: work, env, stdio: ["ignore", "pipe", "pipe"] });
    server.stderr.on("data", (d) => { serverErr += d.toString(); });
    server.stdout.on("data", (d) => { serverOut += d.toString(); });
    return (await waitForLine(server, server.stdout, /listening on (\S+)/, "vexahv-opcserver", 20000))[1];
  };
  const url = await launch();
  // A bounded run bounds itself too: a test that dies leaves nothing running.
  const guard = duration ? setTimeout(() => { server.kill("SIGKILL"); sim.kill("SIGKILL"); }, duration * 1000) : null;
  if (guard) guard.unref();

  const logFile = path.join(root, "VEXA_Log", "VEXAHVOPCServer.log");
  const run = {
    url, dir, root, work, sim, control, simControl, logFile, registration, env,
    get server() { return server; },
    log: () => (fs.existsSync(logFile) ? fs.readFileSync(logFile, "utf8") : ""),
    stderr: () => serverErr,
    stdout: () => serverOut,
    exited: () => exitOf(server),
    // The server alone stops (SIGTERM) and starts again in the same root and directory,
    // as an operator restarts it; the simulator runs on. The old run's exit.
    async restartServer() {
      const exit = exitOf(server);
      server.kill("SIGTERM");
      const result = await exit;
      run.url = await launch();
      return result;
    },
    // SIGTERM to the server, then to the simulator; the server's exit code and signal.
    async stop() {
      if (guard) clearTimeout(guard);
      const serverExit = exitOf(server);
      server.kill("SIGTERM");
      const result = await serverExit;
      const simExit = exitOf(sim);
      sim.kill("SIGTERM");
      await simExit;
      return result;
    },
  };
  return run;
}

// Resolves with probe's first truthy answer, polling every 100 ms; throws after ms.
async function within(ms, what, probe) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error(`${what}: not within ${ms / 1000} s`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

// Resolves once the server reports Running (ServerStatus/State, ns=0;i=2259, is 0): the
// endpoint answers while the address space is still being built.
async function waitUntilRunning(session, ms = 30000) {
  const end = Date.now() + ms;
  for (;;) {
    const state = await session.read({ nodeId: "ns=0;i=2259", attributeId: 13 /* Value */ });
    if (state.value.value === 0) return;
    if (Date.now() > end) throw new Error(`the server did not become ready in ${ms / 1000} s`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

module.exports = { startServer, waitUntilRunning, within, ENTRIES, DEMO_SECURITY };
