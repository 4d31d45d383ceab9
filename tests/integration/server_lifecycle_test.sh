#!/usr/bin/env bash
# vexahv-opcserver as a service manager sees it:
#  - a run that cannot serve (bad port or host value, a bad endpoint settings file, port
#    taken) exits 1 at once with
#    one line on stderr and in the log;
#  - an unreadable configuration file and a log that cannot be opened are said on stderr,
#    and the server serves on;
#  - SIGTERM at any moment of a slow address-space build (50 ms a library call), with
#    events flowing, or while a reconnection waits for a silent mainframe, ends the
#    process with exit 0 within 2 s plus one library call time-out.
# Everything on loopback, every wait bounded.
set -euo pipefail
server=$1
sim=$2
crates=$3
dir=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do { kill -KILL "$p" && wait "$p"; } 2>/dev/null || true; done; rm -rf "$dir"' EXIT
fail() { echo "server lifecycle test: $*"; [[ -f $dir/out ]] && cat "$dir/out"; exit 1; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

export VEXAHV_ROOT=$dir/root VEXAHV_OPCUA_HOST=127.0.0.1 VEXAHV_OPCUA_PORT=0 VEXAHV_SYSLOG=off
log=$VEXAHV_ROOT/VEXA_Log/VEXAHVOPCServer.log
mkdir -p "$dir/work" "$VEXAHV_ROOT/registry"
cd "$dir/work"

# ---- runs that cannot serve ------------------------------------------------------------
expect_refusal() {  # <stderr text> [VAR=value ...]
  local text=$1
  shift
  local rc=0
  env "$@" timeout 10 "$server" >"$dir/out" 2>&1 || rc=$?
  [[ $rc -eq 1 ]] || fail "$* gave exit code $rc, not 1"
  [[ $(grep -c "cannot serve and stops" "$dir/out") -eq 1 ]] || fail "$*: not one stderr line"
  grep -q "$text" "$dir/out" || fail "$*: stderr does not say [$text]"
  grep "Emergency" "$log" | grep -q "$text" || fail "$*: the log does not say [$text]"
}
expect_refusal "VEXAHV_OPCUA_PORT \[abc\] is not a port number" VEXAHV_OPCUA_PORT=abc
expect_refusal "VEXAHV_OPCUA_PORT \[70000\] is not a port number" VEXAHV_OPCUA_PORT=70000
expect_refusal "VEXAHV_OPCUA_HOST \[localhost\] is not an IPv4 address" VEXAHV_OPCUA_HOST=localhost
printf 'maxSessions = 20\nmaxConnections = none\n' >"$VEXAHV_ROOT/opcua.conf"
expect_refusal "opcua.conf\] line 2: maxConnections \[none\] is not a whole number"
rm "$VEXAHV_ROOT/opcua.conf"

# The port of another instance that is serving.
(cd "$dir" && VEXAHV_ROOT=$dir/other exec timeout 30 "$server" >"$dir/taken" 2>&1) &
pids+=($!)
for _ in $(seq 100); do grep -q "listening on" "$dir/taken" && break; sleep 0.1; done
taken=$(sed -n 's/.*listening on opc.tcp:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$dir/taken")
[[ -n $taken ]] || fail "the first instance did not listen"
expect_refusal "cannot listen on \[127.0.0.1:$taken\]: Address already in use" VEXAHV_OPCUA_PORT="$taken"
kill -TERM "${pids[-1]}"

# ---- failures the server survives, said where a person sees them ------------------------
serve_briefly() {  # serves, then SIGTERM: exit 0
  timeout 20 "$server" >"$dir/out" 2>&1 &
  local pid=$!
  for _ in $(seq 100); do grep -q "listening on" "$dir/out" && break; sleep 0.1; done
  grep -q "listening on" "$dir/out" || fail "did not serve"
  kill -TERM "$pid"
  local rc=0
  wait "$pid" || rc=$?
  [[ $rc -eq 0 ]] || fail "exit code $rc"
}
mkdir VEXAHVOPCServer.cfg
serve_briefly
grep -q "cannot read configuration file $dir/work/VEXAHVOPCServer.cfg: Is a directory; running with the default settings" \
  "$dir/out" || fail "no stderr line for an unreadable configuration file"
grep -q "Warning\]: Cannot read configuration file \[VEXAHVOPCServer.cfg\]: Is a directory" "$log" ||
  fail "the log (level 5) does not say the configuration file was unreadable"
rmdir VEXAHVOPCServer.cfg
VEXAHV_ROOT=$dir/nolog
mkdir -p "$VEXAHV_ROOT"
touch "$VEXAHV_ROOT/VEXA_Log"  # a file where the log folder should be
serve_briefly
[[ $(grep -c "cannot open log file" "$dir/out") -eq 1 ]] || fail "the unopenable log is not said once on stderr"
grep -q "cannot open log file $VEXAHV_ROOT/VEXA_Log/VEXAHVOPCServer.log: Not a directory; the server runs without a log" \
  "$dir/out" || fail "the stderr line does not say which log and why"
VEXAHV_ROOT=$dir/root

# ---- SIGTERM during a slow build -------------------------------------------------------
port=$((23000 + $$ % 5000))
control=$((port + 1))
"$sim" --crate "$crates/crate-a-udp.crate" --crate "$crates/crate-b-tcp.crate" --port "$port" \
  --control "$control" --latency 50 --duration 120 >"$dir/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q "control on" "$dir/sim.out" && break; sleep 0.1; done
printf '%s\n' 'VEXAHV-REGISTRY-HIVE 1' '[Software\VEXA/ZOLT\VEXAHVOPCServer\Settings]' '"HVPSNum" = dword:2' \
  '"0" = sz:"CrateA,0,0,127.0.0.2"' '"1" = sz:"CrateB,1,0,127.0.0.3:admin:hvsecret"' \
  >"$VEXAHV_ROOT/registry/HKEY_CURRENT_USER.hive"
echo "LogLevel=7;" >VEXAHVOPCServer.cfg
export VEXAHV_MAINFRAME_PORT=$port VEXAHV_TIMEOUT_MS=1500

# SIGTERM to <pid> must end it within <bound> ms, with exit 0 and the stop line.
sigterm_within() {  # <pid> <what> <bound ms>
  local start
  start=$(now_ms)
  kill -TERM "$1"
  for _ in $(seq 200); do kill -0 "$1" 2>/dev/null || break; sleep 0.05; done
  local took=$(($(now_ms) - start))
  kill -0 "$1" 2>/dev/null && fail "still running 10 s after SIGTERM $2"
  local rc=0
  wait "$1" || rc=$?
  [[ $rc -eq 0 ]] || fail "exit code $rc after SIGTERM $2"
  ((took <= $3)) || fail "SIGTERM $2 took $took ms (bound $3 ms)"
  grep -q "Stopping VEXAHVOPCServer" "$log" || fail "no stop line after SIGTERM $2"
  echo "SIGTERM $2: stopped in $took ms"
}

# SIGTERM after <delay> s must end the run within <bound> ms, with exit 0 and the stop line.
stop_during_build() {  # <delay> <bound ms>
  : >"$log"
  "$server" >"$dir/out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  # Counted from the start-up sequence, when the stop signals are the server's: a signal
  # before that (while the program loads its libraries) ends any process.
  for _ in $(seq 200); do grep -q "successfully created" "$log" 2>/dev/null && break; sleep 0.01; done
  sleep "$1"
  kill -0 "$pid" 2>/dev/null || fail "ended before SIGTERM"
  grep -q "ready for clients to connect" "$log" && fail "the build was over after $1 s: too fast to test"
  sigterm_within "$pid" "at $1 s of the build" "$2"
}
stop_during_build 0.2 2000   # connecting or configuring the first crate
stop_during_build 1.5 2000
stop_during_build 4 2000
# A mainframe that stops answering: each call waits for its time-out (1.5 s here).
[[ $("$sim" --send "$control" silent CrateA on) == "OK silent" ]] || fail "cannot silence CrateA"
stop_during_build 2 3500

# ---- SIGTERM with events flowing, and during a reconnection ------------------------------
# <what> <log text to wait for> <bound ms>: every thread of the run ends (the process exits).
stop_serving() {
  : >"$log"
  VEXAHV_KEEPALIVE_PERIOD_MS=200 "$server" >"$dir/out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 300); do grep -q "$2" "$log" && break; sleep 0.05; done
  grep -q "$2" "$log" || fail "$1: the log never said [$2]"
  sigterm_within "$pid" "with $1" "$3"
}
"$sim" --send "$control" silent CrateA off >/dev/null
"$sim" --send "$control" latency '*' 0 >/dev/null
echo "EventEnabled=true;LogLevel=7;" >VEXAHVOPCServer.cfg
stop_serving "events flowing" "Starting events data loop" 2000
# CrateA silent from the start: its keep-alive thread reconnects again and again, each
# attempt waiting for the call time-out.
"$sim" --send "$control" silent CrateA on >/dev/null
stop_serving "a reconnection under way" "Trying to reconnect to system \[CrateA\]" 3500
echo "server lifecycle test passed"
