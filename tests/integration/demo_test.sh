#!/usr/bin/env bash
# scripts/demo exactly as the README runs it (no --duration), stopped the way Ctrl-C stops
# it: SIGINT to its whole process group. It must serve, print the endpoint, how to connect
# and a table of channels switched on, print no warning, and stop everything with exit 0.
# Bounded: 90 s to show the table, 15 s to stop.
set -euo pipefail
repo=$1
out=$(mktemp)
pid=
trap '[[ -n $pid ]] && kill -KILL -"$pid" 2>/dev/null; rm -f "$out"' EXIT
fail() { echo "demo test: $*"; cat "$out"; exit 1; }

VEXAHV_OPCUA_PORT=0 VEXAHV_MAINFRAME_PORT=19650 setsid "$repo/scripts/demo" </dev/null >"$out" 2>&1 &
pid=$!
for _ in $(seq 450); do
  grep -Eq "^ +0  Beam left +500.0 .* on$" "$out" && break
  kill -0 "$pid" 2>/dev/null || fail "ended before showing its table"
  sleep 0.2
done
grep -Eq "^ +0  Beam left +500.0 .* on$" "$out" || fail "no table with channel 0 on after 90 s"
sleep 3  # a few more rounds of the table: nothing may cut the run short
kill -0 "$pid" 2>/dev/null || fail "stopped by itself"

kill -INT -"$pid"
for _ in $(seq 75); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
kill -0 "$pid" 2>/dev/null && fail "still running 15 s after SIGINT"
rc=0
wait "$pid" || rc=$?
pid=
[[ $rc -eq 0 ]] || fail "exit code $rc"

grep -q "OPC UA endpoint: opc.tcp://127.0.0.1:" "$out" || fail "no endpoint line"
grep -q "Connect any OPC UA client" "$out" || fail "no line on how to connect"
grep -q "server stopped (exit 0); simulator stopped" "$out" || fail "no clean stop"
if grep -qi "warning" "$out"; then fail "printed a warning"; fi

# A bad --duration is refused at once with a clear line.
rc=0
"$repo/scripts/demo" --duration abc >"$out" 2>&1 || rc=$?
[[ $rc -eq 2 ]] && grep -q "whole number of seconds" "$out" || fail "--duration abc not refused"
echo "demo test passed"
