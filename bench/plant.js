// The four plant crates of bench/crates (16 boards x 48 channels each, 3,072 channels) at
// 2 ms a library call with events off, served by the simulator to a server: what the
// plant benchmarks start from.
"use strict";
const path = require("path");
const { execFileSync } = require("child_process");
const { startServer } = require("../scripts/hv_server");

const BOARDS = 16, CHANNELS = 48;
const CRATES = [1, 2, 3, 4].map((n) => ({ name: `Plant${n}`, address: `127.0.0.5${n}`,
  file: path.join(__dirname, "crates", `plant-${n}.crate`) }));

// Every channel's item id, crate by crate, board by board.
function plantChannels() {
  const channels = [];
  for (const c of CRATES) for (let b = 0; b < BOARDS; ++b) for (let ch = 0; ch < CHANNELS; ++ch) {
    channels.push(`${c.name}.Board${String(b).padStart(2, "0")}.Chan${String(ch).padStart(3, "0")}`);
  }
  return channels;
}

// The server over the plant; with control(line) for the simulator, and requests(field),
// the simulator's count of that field ("req": every request, "set": channel parameter
// sets) summed over the crates.
async function startPlant({ bin, dir, duration, simPort }) {
  const run = await startServer({ bin, dir, crates: CRATES.map((c) => c.file),
    entries: CRATES.map((c) => `${c.name},0,0,${c.address}`), eventEnabled: false, latencyMs: 2, logLevel: 4,
    duration, simPort });
  const control = (line) => execFileSync(path.join(bin, "vexahv-sim"), ["--send", String(run.control), ...line.split(" ")]).toString();
  const requests = (field = "req") =>
    [...control("list").matchAll(new RegExp(`/${field}(\\d+)`, "g"))].reduce((a, m) => a + Number(m[1]), 0);
  return { run, control, requests };
}

module.exports = { BOARDS, CHANNELS, CRATES, plantChannels, startPlant };
