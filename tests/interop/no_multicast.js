// node-opcua's discovery server announces itself, and each server it registers, by
// multicast DNS on every interface. The tests stay on loopback: before that package loads,
// its mDNS library is replaced by one that announces and browses nothing.
"use strict";
const { EventEmitter } = require("events");
const path = require("path");

class Quiet extends EventEmitter {
  start() { setImmediate(() => this.emit("up")); }
  stop(cb) { if (cb) setImmediate(cb); }
}
class Bonjour {
  publish() { return new Quiet(); }
  find() { return new Quiet(); }
  unpublishAll(cb) { if (cb) setImmediate(cb); }
  destroy(cb) { if (cb) setImmediate(cb); }
}

const resolved = require.resolve("sterfive-bonjour-service", { paths: [path.join(__dirname, "node_modules")] });
require.cache[resolved] = { id: resolved, filename: resolved, loaded: true, exports: { Bonjour, default: Bonjour } };
