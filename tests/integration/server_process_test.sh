#!/usr/bin/env bash
# vexahv-opcserver as a process in a temporary root: a registration run ends by itself
# with exit 0 and builds nothing; the next run is the registered service (the stand-in's
# record names it while it runs), which with no systems still becomes ready, ignores
# SIGINT, reopens its log on SIGUSR1 and stops on SIGTERM with exit 0 and its start and stop lines; with no bus to
# reach it serves without its configuration interface; as root, a /Service for a machine
# with the service's user registers it as that user. Bounded by timeouts.
set -euo pipefail
server=$1
dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
pid=
export VEXAHV_ROOT=$dir/root VEXAHV_OPCUA_HOST=127.0.0.1 VEXAHV_OPCUA_PORT=0 VEXAHV_SYSLOG=off
# No bus to reach: the configuration interface is left out with one Warning line.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/no-bus
unset DBUS_SYSTEM_BUS_ADDRESS
mkdir -p "$dir/work"
cd "$dir/work"
echo "LogLevel=7;" >VEXAHVOPCServer.cfg
log=$VEXAHV_ROOT/VEXA_Log/VEXAHVOPCServer.log

timeout 20 "$server" /RegServer
grep -q "VEXAHVOPCServer registration operation successful" "$log"
grep -q "Terminate VEXAHVOPCServer" "$log"
if grep -q "Building address space" "$log"; then echo "a registration run built the address space"; exit 1; fi
grep -q '"VEXA.HVOPCServer.5"' "$VEXAHV_ROOT/registry/HKEY_CLASSES_ROOT.hive"

# Where the machine has the service's user, /Service registers the service as that user
# and gives it the state the registration made ("nobody" stands in for the package's user).
if [[ $(id -u) -eq 0 ]]; then
  own=$dir/own-root
  (cd "$dir/work" && VEXAHV_ROOT=$own VEXAHV_SERVICE_USER=nobody timeout 20 "$server" /Service >/dev/null 2>&1)
  grep -q '^User=nobody$' "$own/dbus/system-services/VEXAHVOPCService.VEXAHVOPCService.service"
  grep -q '<policy user="nobody">' "$own/dbus/system.d/VEXAHVOPCService.VEXAHVOPCService.conf"
  left=$(find "$own" ! -user nobody | grep -Ev "^$own/(services|firewall|dbus)(/|$)" || true)
  [[ -z $left ]] || { echo "left to root:"; echo "$left"; exit 1; }
  [[ $(stat -c %U "$own/services" "$own/registry/HKEY_CLASSES_ROOT.hive" | tr '\n' ' ') == "root nobody " ]] ||
    { echo "root's records given away, or the state kept"; ls -lR "$own"; exit 1; }
  (cd "$dir/work" && VEXAHV_ROOT=$own timeout 20 "$server" /UnregServer >/dev/null 2>&1)
fi

: >"$log"
timeout 30 "$server" >"$dir/out" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q "ready for clients to connect" "$log" 2>/dev/null && break; sleep 0.1; done
grep -q "listening on opc.tcp://127.0.0.1:" "$dir/out"
grep -q "No system registered" "$log"
for _ in $(seq 50); do grep -q "Configuration interface not served" "$log" && break; sleep 0.1; done
[[ $(grep -c "Warning\]: Configuration interface not served on the session bus" "$log") -eq 1 ]] ||
  { echo "expected one Warning line for the missing bus"; cat "$log"; exit 1; }
record=$VEXAHV_ROOT/services/VEXAHVOPCServerModule
for _ in $(seq 50); do grep -q "^state=running" "$record" && break; sleep 0.1; done
served=$(sed -n 's/^pid=//p' "$record")
[[ $(readlink "/proc/$served/exe") == "$(readlink -f "$server")" ]] ||
  { echo "the service record does not name the run"; cat "$record"; exit 1; }
# A rotation: the log moved away, then SIGUSR1; the server writes on in a new file.
mv "$log" "$log.1"
kill -USR1 "$served"  # the server itself: timeout would not pass the signal on
for _ in $(seq 50); do grep -q "Log file reopened" "$log" 2>/dev/null && break; sleep 0.1; done
grep -q "Log file reopened" "$log" || { echo "SIGUSR1 did not reopen the log"; exit 1; }
kill -0 "$served" || { echo "SIGUSR1 stopped the server"; exit 1; }
kill -INT "$pid"
sleep 0.5
kill -0 "$pid" || { echo "a service run stopped on SIGINT"; exit 1; }
kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
pid=
[[ $rc -eq 0 ]] || { echo "exit code $rc"; cat "$dir/out" "$log"; exit 1; }
grep -q "^state=stopped" "$record" || { echo "the service record was not closed"; cat "$record"; exit 1; }
for line in "Windows service [VEXAHVOPCServerModule] is starting" "VEXAHVOPCServer successfully created" "VEXAHVOPCServer initialized" "Starting VEXAHVOPCServer" \
            "VEXAHVOPCServer namespace built" "VEXAHVOPCServer ready for clients to connect" "Stopping VEXAHVOPCServer"; do
  grep -qF "$line" "$log.1" "$log" || { echo "missing log line: $line"; cat "$log.1" "$log"; exit 1; }
done
echo "server process test passed"
