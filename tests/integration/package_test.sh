#!/usr/bin/env bash
# The Debian package: it builds and lintian finds no error; it holds the units, the bus
# policy, logrotate and the man pages; installed with dpkg into a temporary root (its
# maintainer scripts run there, chrootless: nothing outside it is touched) it makes the
# service's user and its state, its unit passes systemd-analyze verify, removing keeps the
# state and purging takes it and the user away. Needs root for dpkg's ownerships; without
# it only the package and its contents are checked. Bounded by timeouts.
set -euo pipefail
repo=$1
tree=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

deb=$(timeout 240 "$repo/scripts/package" --no-build "$tree" "$dir/out")
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/vexahv-opcserver ./usr/bin/vexahv-config ./usr/bin/vexahv-sim \
         ./usr/lib/vexahv-opcserver/libVEXAHVWrapper.so.1 ./lib/systemd/system/vexahv-opcserver.service \
         ./lib/systemd/system/vexahv-opcserver.socket ./usr/share/dbus-1/system.d/VEXAHVOPCService.VEXAHVOPCService.conf \
         ./usr/share/dbus-1/system-services/VEXAHVOPCService.VEXAHVOPCService.service ./etc/logrotate.d/vexahv-opcserver \
         ./usr/lib/sysusers.d/vexahv.conf ./usr/share/man/man1/vexahv-opcserver.1.gz ./usr/share/man/man1/vexahv-config.1.gz \
         ./usr/share/man/man1/vexahv-sim.1.gz ./usr/share/doc/vexahv-opcserver/copyright \
         ./usr/share/doc/vexahv-opcserver/examples/VEXAHVOPCServer.cfg; do
  grep -q " $f\( ->\|$\)" <<<"$contents" || { echo "the package lacks $f"; echo "$contents"; exit 1; }
done
echo "package: $(stat -c %s "$deb") bytes"

if [[ $(id -u) -ne 0 ]]; then
  echo "package test: not root, so dpkg cannot install into a temporary root; the package's contents were checked"
  exit 0
fi
root=$dir/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg=(timeout 120 dpkg --root="$root" --force-script-chrootless --force-depends --log="$dir/dpkg.log")
start=$(date +%s%N)
"${dpkg[@]}" -i "$deb" >"$dir/install.out" 2>&1 || { cat "$dir/install.out"; exit 1; }
echo "install into the temporary root: $((($(date +%s%N) - start) / 1000000)) ms"
grep -q '^vexahv:' "$root/etc/passwd" || { echo "no user vexahv"; exit 1; }
grep -q '^vexahv:' "$root/etc/group" || { echo "no group vexahv"; exit 1; }
uid=$(awk -F: '$1 == "vexahv" { print $3 }' "$root/etc/passwd")
[[ $(stat -c '%u %a' "$root/var/lib/vexahv") == "$uid 700" ]] || { echo "state folder:"; ls -ld "$root/var/lib/vexahv"; exit 1; }
[[ $(stat -c '%u %a' "$root/var/log/vexahv") == "$uid 750" ]] || { echo "log folder:"; ls -ld "$root/var/log/vexahv"; exit 1; }
[[ $(stat -c '%u %a' "$root/var/lib/vexahv/VEXAHVOPCServer.cfg") == "$uid 600" ]] || { echo "no settings file"; exit 1; }
unit=$root/lib/systemd/system/vexahv-opcserver.service
grep -q '^User=vexahv$' "$unit" && grep -q '^CapabilityBoundingSet=$' "$unit"
# Verified against this machine's own targets, copied in beside it.
for target in /lib/systemd/system/*.target /lib/systemd/system/*.slice; do
  [[ -e $root$target ]] || cp "$target" "$root/lib/systemd/system/"
done
verify=$(systemd-analyze verify --root="$root" /lib/systemd/system/vexahv-opcserver.service \
           /lib/systemd/system/vexahv-opcserver.socket 2>&1) || { echo "$verify"; exit 1; }
[[ -z $verify ]] || { echo "systemd-analyze verify: $verify"; exit 1; }
(cd "$root/lib/systemd/system" && systemd-analyze security --offline=yes vexahv-opcserver.service 2>/dev/null |
   grep "Overall exposure" || true)
LD_LIBRARY_PATH=$root/usr/lib/vexahv-opcserver "$root/usr/bin/vexahv-opcserver" --version | grep -q "^vexahv-opcserver "

touch "$root/var/lib/vexahv/kept"
"${dpkg[@]}" --remove vexahv-opcserver >"$dir/remove.out" 2>&1 || { cat "$dir/remove.out"; exit 1; }
[[ ! -e $root/usr/bin/vexahv-opcserver && -e $root/var/lib/vexahv/kept ]] || { echo "remove: wrong files left"; exit 1; }
[[ -e $root/etc/logrotate.d/vexahv-opcserver ]] || { echo "remove took a configuration file"; exit 1; }
"${dpkg[@]}" --purge vexahv-opcserver >"$dir/purge.out" 2>&1 || { cat "$dir/purge.out"; exit 1; }
for gone in var/lib/vexahv var/log/vexahv etc/logrotate.d/vexahv-opcserver; do
  [[ ! -e $root/$gone ]] || { echo "purge left $gone"; exit 1; }
done
if grep -q '^vexahv:' "$root/etc/passwd" "$root/etc/group"; then echo "purge left the user"; exit 1; fi
echo "package test passed"
