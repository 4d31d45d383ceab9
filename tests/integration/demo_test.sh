#!/usr/bin/env bash
# scripts/demo as the README runs it, bounded to a few seconds: it serves, prints the
# endpoint and a table of channels switched on, and stops everything with exit 0.
set -euo pipefail
repo=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
VEXAHV_OPCUA_PORT=0 VEXAHV_MAINFRAME_PORT=19650 timeout 120 "$repo/scripts/demo" --duration 5 >"$out" 2>&1 || {
  cat "$out"; exit 1; }
grep -q "OPC UA endpoint: opc.tcp://127.0.0.1:" "$out"
grep -Eq "^ +0  Beam left +500.0 .* on$" "$out" || { cat "$out"; exit 1; }
grep -q "server stopped (exit 0); simulator stopped" "$out"
echo "demo test passed"
