// The configuration interface with 100 systems configured (100 one-board simulated crates,
// all connected): getConnectionStatus round trips and a whole status through the proxy
// (build/bin/automation_bench), and `vexahv-config status` as a person runs it (median of
// 20 runs, process start included). On a private session bus started here.
//   node bench/config_measure.js [build/bin] [out.json]     (bounded: about a minute)
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawn, execFileSync } = require("child_process");
const { startServer } = require("../scripts/hv_server");

const bin = path.resolve(process.argv[2] || "build/bin");
const out = process.argv[3] || "build/config-measure.json";
const SYSTEMS = 100;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function crateFile(dir, n) {
  const file = path.join(dir, `cfg-${n}.crate`);
  fs.writeFileSync(file, [
    `mainframe name=Cfg${n} address=127.0.3.${n} type=0 slots=1`,
    "property name=SwRelease type=text mode=ro value=\"1.0\"",
    "board slot=0 model=A1535 description=\"2 Ch\" serial=1 firmware=1.0 channels=2 load=1",
    "channelparam name=V0Set type=numeric mode=rw min=0 max=100 unit=2 exp=0 resol=1 value=0",
    "",
  ].join("\n"));
  return file;
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-config-bench-"));
  const daemon = spawn("dbus-daemon", ["--session", "--nofork", "--print-address=1"], { stdio: ["ignore", "pipe", "ignore"] });
  process.env.DBUS_SESSION_BUS_ADDRESS = await new Promise((r) => daemon.stdout.once("data", (d) => r(d.toString().trim())));
  const guard = setTimeout(() => { daemon.kill("SIGKILL"); process.exit(1); }, 240000);
  const crates = [];
  const entries = [];
  for (let n = 1; n <= SYSTEMS; ++n) {
    crates.push(crateFile(dir, n));
    entries.push(`Cfg${n},0,0,127.0.3.${n}`);
  }
  const run = await startServer({ bin, dir: path.join(dir, "run"), crates, entries, eventEnabled: false, logLevel: 4,
    duration: 200, simPort: 33000 + (process.pid % 5000) });
  try {
    const tool = path.join(bin, "vexahv-config");
    const status = () => JSON.parse(execFileSync(tool, ["--json", "status"]).toString());
    for (const end = Date.now() + 120000; ; await sleep(500)) {
      let s = null;
      try { s = status(); } catch (e) { /* not on the bus yet */ }
      if (s && s.systems === SYSTEMS && s.status.every((x) => x.status === "connected")) break;
      if (Date.now() > end) throw new Error("the 100 systems were not connected in 120 s");
    }
    const runs = [];
    for (let i = 0; i < 20; ++i) {
      const t = process.hrtime.bigint();
      execFileSync(tool, ["status"], { stdio: "ignore" });
      runs.push(Number(process.hrtime.bigint() - t) / 1e6);
    }
    runs.sort((a, b) => a - b);
    const bench = JSON.parse(execFileSync(path.join(bin, "automation_bench"),
      ["--benchmark_format=json", "--benchmark_min_time=1"]).toString());
    const R = {
      systems: SYSTEMS,
      getConnectionStatusUs: bench.benchmarks.find((b) => b.name === "BM_GetConnectionStatus").real_time,
      statusThroughProxyMs: bench.benchmarks.find((b) => b.name === "BM_StatusOf100Systems").real_time,
      toolStatusMedianMs: runs[10], toolStatusMaxMs: runs[19],
    };
    console.log(JSON.stringify(R, null, 2));
    fs.writeFileSync(out, JSON.stringify(R, null, 2) + "\n");
  } finally {
    await run.stop();
    clearTimeout(guard);
    daemon.kill("SIGTERM");
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
