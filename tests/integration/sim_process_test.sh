#!/usr/bin/env bash
# vexahv-sim as a process: it serves the sample crates, answers control commands over
# its control port, refuses bad ones, and stops cleanly on SIGTERM. Bounded: the
# simulator also stops by itself after 30 s.
set -euo pipefail
sim=$1
crates=$2
# Below the ephemeral range, so no test's free-port pick can collide with it.
port=$((20000 + $$ % 10000))
control=$((port + 1))
out=$(mktemp)
trap 'kill "$pid" 2>/dev/null || true; rm -f "$out"' EXIT

"$sim" --crate "$crates/crate-a-udp.crate" --crate "$crates/crate-b-tcp.crate" \
  --crate "$crates/crate-c-fu.crate" --port "$port" --control "$control" --duration 30 >"$out" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q "control on" "$out" && break; sleep 0.1; done
grep -q "CrateB (type 2) on 127.0.0.3:$port" "$out"

answer=$("$sim" --send "$control" list)
[[ $answer == "OK CrateA@127.0.0.2:$port/type0/conn0/req0/ev0/set0 CrateB@"* ]]
[[ $("$sim" --send "$control" silent CrateA on) == "OK silent" ]]
if "$sim" --send "$control" latency Nowhere 5 >/dev/null; then exit 1; fi
[[ $("$sim" --send "$control" latency Nowhere 5 || true) == "ERROR no mainframe named Nowhere" ]]

# A crate file with damage is refused with its line.
bad=$(mktemp)
printf 'mainframe name=X address=127.0.0.9 type=0 slots=1\nboard slot=4 model=M channels=1\n' >"$bad"
if "$sim" --crate "$bad" --duration 1 2>"$bad.err"; then exit 1; fi
grep -q "line 2: slot 4 is beyond the crate's 1 slots" "$bad.err"
rm -f "$bad" "$bad.err"

kill -TERM "$pid"
wait "$pid"
grep -q "vexahv-sim: stopped" "$out"
echo "sim process test passed"
