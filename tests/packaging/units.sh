#!/usr/bin/env bash
# Installs into a scratch prefix (so the service unit names a daemon that
# exists) and checks both units with systemd-analyze: verify reports nothing,
# and the service's exposure rating is 2.0 or better.
set -euo pipefail
build=$1
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed (Debian package systemd)"; exit 77; }
scratch=$(mktemp -d /tmp/vicar-units.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/usr" >/dev/null
units=$scratch/usr/lib/systemd/system
# verify also opens the man pages that Documentation= names.
report=$(cd "$scratch" && MANPATH="$scratch/usr/share/man" systemd-analyze verify \
  "$units/com.vandrelsys.VolumeSmith.vicar.socket" "$units/com.vandrelsys.VolumeSmith.vicar.service" 2>&1) ||
  { echo "FAIL: systemd-analyze verify: $report"; exit 1; }
[ -z "$report" ] || { echo "FAIL: systemd-analyze verify reported: $report"; exit 1; }
rating=$(systemd-analyze security --offline=true "$units/com.vandrelsys.VolumeSmith.vicar.service" 2>&1 |
  sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
[ -n "$rating" ] || { echo "FAIL: no exposure rating"; exit 1; }
awk -v r="$rating" 'BEGIN { exit !(r <= 2.0) }' || { echo "FAIL: exposure $rating, above 2.0"; exit 1; }
echo "units: verify clean, exposure $rating"
