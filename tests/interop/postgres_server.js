// A PostgreSQL server of a test's own: made by initdb in a temporary folder, listening on
// a Unix socket there and nowhere else, stopped and removed by stop(). As root it runs as
// the postgres user (PostgreSQL refuses root). Gives { skip } where the machine lacks it.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawn, spawnSync, execFileSync } = require("child_process");

function postgresBin() {
  const base = "/usr/lib/postgresql";
  const versions = (fs.existsSync(base) ? fs.readdirSync(base) : [])
    .filter((v) => fs.existsSync(path.join(base, v, "bin", "initdb"))).sort((a, b) => parseInt(b) - parseInt(a));
  return versions.length ? path.join(base, versions[0], "bin") : null;
}

async function startPostgres() {
  const bin = postgresBin();
  if (!bin) return { skip: "PostgreSQL is not installed here (no /usr/lib/postgresql/*/bin/initdb); scripts/setup installs it" };
  let user = {};
  if (process.getuid() === 0) {
    const id = spawnSync("id", ["-u", "postgres"]), gid = spawnSync("id", ["-g", "postgres"]);
    if (id.status !== 0) return { skip: "running as root, and there is no postgres user to run PostgreSQL as" };
    user = { uid: Number(id.stdout), gid: Number(gid.stdout) };
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vexahv-pg-"));
  fs.chmodSync(dir, 0o711);
  if (user.uid !== undefined) fs.chownSync(dir, user.uid, user.gid);
  const data = path.join(dir, "data");
  const init = spawnSync(path.join(bin, "initdb"), ["-D", data, "-U", "vexahv", "-A", "trust", "-E", "UTF8", "--locale=C", "-N"],
    { ...user, timeout: 120000, encoding: "utf8" });
  if (init.status !== 0) {
    fs.rmSync(dir, { recursive: true, force: true });
    throw new Error(`initdb failed: ${init.stderr || init.error}`);
  }
  const server = spawn(path.join(bin, "postgres"), ["-D", data, "-k", dir, "-c", "listen_addresses=",
    "-c", "fsync=off", "-c", "max_connections=40", "-c", "shared_buffers=32MB"], { ...user, stdio: ["ignore", "ignore", "pipe"] });
  let log = "";
  server.stderr.on("data", (d) => { log = (log + d).slice(-4000); });
  const exited = new Promise((resolve) => server.on("exit", resolve));
  const stop = async () => {
    server.kill("SIGINT");  // fast shutdown
    const timer = setTimeout(() => server.kill("SIGKILL"), 20000);
    await exited;
    clearTimeout(timer);
    fs.rmSync(dir, { recursive: true, force: true });
  };
  const deadline = Date.now() + 60000;
  while (spawnSync(path.join(bin, "pg_isready"), ["-q", "-h", dir]).status !== 0) {
    if (Date.now() > deadline || server.exitCode !== null) {
      await stop();
      throw new Error(`postgres did not start: ${log}`);
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  const conninfo = `host=${dir} user=vexahv dbname=postgres`;
  // One query's rows, fields split by '|'.
  const query = (sql) => execFileSync("psql", ["-X", "-At", "-d", conninfo, "-c", sql], { encoding: "utf8", timeout: 30000 })
    .trim().split("\n").filter((l) => l).map((l) => l.split("|"));
  return { conninfo, query, stop };
}

module.exports = { startPostgres };
