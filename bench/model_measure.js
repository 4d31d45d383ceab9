// The Data Access model of a whole plant crate (16 boards x 48 channels, bench/crates):
// a browse of everything under it with node-opcua, every reference of every node followed
// (properties included), and the server's memory per published item.
//   node bench/model_measure.js [build/bin] [out.json]     (bounded: about a minute)
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { startServer, waitUntilRunning } = require("../scripts/hv_server");
const { OPCUAClient, MessageSecurityMode, SecurityPolicy, BrowseDirection } =
  require("../tests/interop/node_modules/node-opcua-client");

const bin = path.resolve(process.argv[2] || "build/bin");
const out = process.argv[3] || "build/model-measure.json";
const rssKb = (pid) => Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, "utf8"))[1]);
// The process's user and system CPU time so far, in ms (clock ticks of 10 ms).
const cpuMs = (pid) => {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
  return (Number(fields[11]) + Number(fields[12])) * 10;
};

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-model-bench-"));
  const run = await startServer({ bin, dir: path.join(dir, "run"), crates: [path.join(__dirname, "crates", "plant-1.crate")],
    entries: ["Plant1,0,0,127.0.0.51"], eventEnabled: false, logLevel: 4, duration: 200, simPort: 35000 + (process.pid % 5000) });
  const client = OPCUAClient.create({ applicationName: "vexahv interop", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 } });
  try {
    await client.connect(run.url);
    const session = await client.createSession();
    await waitUntilRunning(session, 120000);
    const seen = new Set(["ns=1;s=Plant1"]);
    let frontier = ["ns=1;s=Plant1"];
    const counts = { objects: 0, variables: 0, properties: 0, references: 0 };
    const cpu0 = cpuMs(run.server.pid);
    const t0 = process.hrtime.bigint();
    while (frontier.length) {
      const next = [];
      for (let i = 0; i < frontier.length; i += 500) {
        const results = await session.browse(frontier.slice(i, i + 500).map((nodeId) => ({
          nodeId, browseDirection: BrowseDirection.Forward, resultMask: 63, nodeClassMask: 0, includeSubtypes: true })));
        for (const r of results) {
          for (const ref of r.references || []) {
            ++counts.references;
            const id = ref.nodeId.toString();
            if (ref.nodeId.namespace !== 1 || seen.has(id)) continue;
            seen.add(id);
            if (ref.referenceTypeId.value === 46) ++counts.properties;
            else if (ref.nodeClass === 1) ++counts.objects;
            else ++counts.variables;
            next.push(id);
          }
        }
      }
      frontier = next;
    }
    const browseMs = Number(process.hrtime.bigint() - t0) / 1e6;
    const serverCpuMs = cpuMs(run.server.pid) - cpu0;
    const rss = rssKb(run.server.pid);
    const R = { ...counts, browseMs: Math.round(browseMs), serverCpuMs, serverRssKiB: rss,
      bytesPerItemWithProperties: Math.round((rss * 1024) / (counts.variables + counts.properties)) };
    console.log(JSON.stringify(R, null, 2));
    fs.writeFileSync(out, JSON.stringify(R, null, 2) + "\n");
    await session.close();
  } finally {
    await client.disconnect().catch(() => {});
    await run.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().then(() => process.exit(0), (e) => { console.error(e); process.exit(1); });
