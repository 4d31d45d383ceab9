#!/usr/bin/env bash
# Every executable explains itself: --help and --version print and exit 0, and an
# argument it does not know exits with its usage (2; the configuration tool's refusal is
# 1) and starts nothing: no server listens, no platform root is made. Bounded: each run
# has 10 s.
set -euo pipefail
version=$1
shift
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export VEXAHV_ROOT=$dir/root VEXAHV_OPCUA_PORT=0

for exe in "$@"; do
  name=$(basename "$exe")
  timeout 10 "$exe" --help >"$dir/out" 2>&1 || { echo "$name --help failed"; cat "$dir/out"; exit 1; }
  grep -q "^usage: $name" "$dir/out" || { echo "$name --help shows no usage"; cat "$dir/out"; exit 1; }
  [[ $(timeout 10 "$exe" --version) == "$name $version" ]] || { echo "$name --version"; exit 1; }
  rc=0
  timeout 10 "$exe" --frobnicate >"$dir/out" 2>&1 || rc=$?
  expected=2
  [[ $name == vexahv-config ]] && expected=1
  [[ $rc == "$expected" ]] || { echo "$name --frobnicate exited $rc"; cat "$dir/out"; exit 1; }
  grep -q "usage: $name" "$dir/out" || { echo "$name --frobnicate shows no usage"; cat "$dir/out"; exit 1; }
done
# A server that refused its arguments made nothing.
[[ ! -e $dir/root ]] || { echo "a platform root was made"; ls -R "$dir/root"; exit 1; }
rc=0
timeout 10 "$1" /RegServr >"$dir/out" 2>&1 || rc=$?
[[ $rc == 2 ]] && grep -q "unknown argument \[/RegServr\]" "$dir/out" || { echo "a mistyped switch: $rc"; cat "$dir/out"; exit 1; }
echo "command lines: ok"
