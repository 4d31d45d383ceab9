// Detection and recovery times of the connection supervision, with the server's own
// timings (a probe every 5 s, the library's 3 s call time-out, 10 s of TCP event silence):
// one crate of each system type (0, 2, 4, 5, 7, 10) goes silent (answers nothing, sends no
// event) and, once its ConnStatus says Ko, answers again. A client reads every ConnStatus
// every 100 ms; the figures are the times from the fault to "Ko" and from the cure to "Ok".
//   node bench/supervision_measure.js [build/bin] [out.json]      (bounded: about 2 minutes)
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { execFileSync } = require("child_process");
const { startServer, waitUntilRunning } = require("../scripts/hv_server");
const { plainClient } = require("../tests/interop/plain_client");
const { AttributeIds } = require("../tests/interop/node_modules/node-opcua-client");

const bin = path.resolve(process.argv[2] || "build/bin");
const out = process.argv[3] || "build/supervision-measure.json";
const CRATES = [
  { name: "Ty0", type: 0, index: 0, address: "127.0.0.61" }, { name: "Ty2", type: 2, index: 1, address: "127.0.0.62" },
  { name: "Ty4", type: 4, index: 2, address: "127.0.0.64" }, { name: "Ty5", type: 5, index: 3, address: "127.0.0.65" },
  { name: "Ty7", type: 7, index: 4, address: "127.0.0.67" }, { name: "Ty10", type: 10, index: 5, address: "127.0.0.70" },
];
const LIMIT_MS = 40000;  // per phase and crate; the targets are 25 s and 10 s
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function crateText(c) {
  return [`mainframe name=${c.name} address=${c.address} type=${c.type}` +
    (c.type === 2 ? " user=admin password=hvsecret" : "") + " slots=1",
  'property name=SwRelease type=text mode=ro value="1.0.0"',
  "board slot=0 model=A1 description=\"4 Ch\" serial=1 firmware=1.0 channels=4",
  ...(c.type === 7 ? ['boardparam name=FUFwRel type=string mode=ro value="1.0"'] : []),
  "channelparam name=V0Set type=numeric mode=rw min=0 max=3000 unit=2 exp=0 value=0",
  "channelparam name=VMon type=numeric mode=ro min=0 max=3000 unit=2 exp=0 value=0"].join("\n") + "\n";
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-supervision-bench-"));
  const files = CRATES.map((c) => {
    const f = path.join(dir, `${c.name}.crate`);
    fs.writeFileSync(f, crateText(c));
    return f;
  });
  const entries = CRATES.map((c) => `${c.name},${c.index},0,${c.address}` + (c.type === 2 ? ":admin:hvsecret" : ""));
  const run = await startServer({ bin, dir: path.join(dir, "run"), crates: files, entries, logLevel: 4, duration: 200,
    simPort: 31000 + (process.pid % 5000) });
  const client = plainClient();
  const figures = {};
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    await waitUntilRunning(session);
    const status = async (c) =>
      (await session.read({ nodeId: `ns=1;s=${c.name}.ConnStatus`, attributeId: AttributeIds.Value })).value.value;
    const until = async (c, want) => {
      const t0 = Date.now();
      while (Date.now() - t0 < LIMIT_MS) {
        if ((await status(c)) === want) return Date.now() - t0;
        await sleep(100);
      }
      return null;
    };
    for (const c of CRATES) {
      if ((await until(c, "Ok")) === null) throw new Error(`${c.name} never Ok`);
    }
    // One crate at a time, so that each figure is its own.
    for (const c of CRATES) {
      run.simControl(`silent ${c.name} on`);
      const lost = await until(c, "Ko");
      run.simControl(`silent ${c.name} off`);
      const back = await until(c, "Ok");
      figures[`type ${c.type}`] = { lostMs: lost, okAgainMs: back };
      console.log(`type ${c.type}: lost after ${lost} ms, Ok again after ${back} ms`);
    }
    await session.close();
  } finally {
    await client.disconnect().catch(() => {});
    await run.stop();
  }
  fs.writeFileSync(out, JSON.stringify(figures, null, 2));
  console.log(`figures in ${out}`);
  process.exit(0);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
