// Starts vexahv-ua-fixture on a free loopback port and stops it, checking its clean exit.
"use strict";
const assert = require("assert");
const { spawn } = require("child_process");

// securityRoot: a folder with security.conf and pki/ (see the fixture); none: None only.
async function startFixture(binary, seconds = 60, securityRoot = null) {
  const args = ["--duration", String(seconds), ...(securityRoot ? ["--security", securityRoot] : [])];
  const fixture = spawn(binary, args, {
    env: { ...process.env, VEXAHV_OPCUA_PORT: "0", VEXAHV_OPCUA_HOST: "127.0.0.1" },
    stdio: ["ignore", "pipe", "inherit"],
  });
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("fixture did not start")), 10000);
    fixture.stdout.on("data", (d) => {
      const m = /listening on (\S+)/.exec(d.toString());
      if (m) { clearTimeout(timer); resolve(m[1]); }
    });
  });
  return { fixture, url };
}

async function stopFixture(fixture) {
  const exited = new Promise((resolve) => fixture.on("exit", (code, signal) => resolve({ code, signal })));
  fixture.kill("SIGTERM");
  const { code, signal } = await exited;
  assert.strictEqual(code, 0, `the fixture stops cleanly on SIGTERM (signal ${signal})`);
}

module.exports = { startFixture, stopFixture };
