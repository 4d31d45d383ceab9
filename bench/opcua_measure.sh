#!/usr/bin/env bash
# The OPC UA anchor measurement (shared/bench/opcua-measure.js, node-opcua 2.182.2) against
# vexahv-ua-fixture, as shared/bench/anchors.md describes: the fixture alone, 10 s of
# warm-up, then the measurement. Bounded by the script's own hard limit (300 s). Then the
# cost of security: the same reads, subscription and connection with None and with
# Basic256Sha256 SignAndEncrypt (bench/security_measure.js, about 80 s).
#   bench/opcua_measure.sh [out.json [security-out.json]]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/opcua-measure.json}
work=build/opcua-measure
shared=../shared/bench
mkdir -p "$work"
cp "$shared/opcua-measure.js" "$shared/package.json" "$shared/package-lock.json" "$work/"
(cd "$work" && npm ci --no-audit --no-fund --loglevel=error)
log=$(mktemp)
VEXAHV_OPCUA_PORT=0 VEXAHV_OPCUA_HOST=127.0.0.1 build/bin/vexahv-ua-fixture --duration 400 >"$log" &
pid=$!
trap 'kill $pid 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 50); do grep -q "listening on" "$log" && break; sleep 0.1; done
url=$(sed -n 's/.*listening on //p' "$log")
sleep 10
node "$work/opcua-measure.js" "$url" "$pid" "$out"
echo "figures in $out"
kill $pid 2>/dev/null || true
wait $pid 2>/dev/null || true
node bench/security_measure.js "$PWD/build/bin/vexahv-ua-fixture" "${2:-build/security-measure.json}"
