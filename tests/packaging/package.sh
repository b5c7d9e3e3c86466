#!/usr/bin/env bash
# Builds the Debian package from the build folder given, extracts it into a
# scratch root and checks its file list, owners and modes, its conffiles,
# and that its maintainer scripts only enable, start, stop and disable the
# socket unit (through stand-ins for systemd's tools that record calls).
set -euo pipefail
build=$1
for tool in cpack dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
scratch=$(mktemp -d /tmp/vicar-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/*.deb)
mkdir "$scratch/root" "$scratch/control"
dpkg-deb -x "$deb" "$scratch/root"
dpkg-deb -e "$deb" "$scratch/control"

# Every item: mode, owner, path. The archive's owners, and those extracted.
expected="drwxr-xr-x root/root ./etc/
drwxr-xr-x root/root ./etc/vicar/
drwxr-xr-x root/root ./etc/vicar/jobs/
-rw-r--r-- root/root ./etc/vicar/jobs/com.vandrelsys.VolumeSmith.vicar.plist
drwxr-xr-x root/root ./etc/vicar/trusted-keys/
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/vicar-sign
-rwxr-xr-x root/root ./usr/bin/vicarctl
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/systemd/
drwxr-xr-x root/root ./usr/lib/systemd/system/
-rw-r--r-- root/root ./usr/lib/systemd/system/com.vandrelsys.VolumeSmith.vicar.service
-rw-r--r-- root/root ./usr/lib/systemd/system/com.vandrelsys.VolumeSmith.vicar.socket
drwxr-xr-x root/root ./usr/libexec/
drwxr-xr-x root/root ./usr/libexec/vicar/
-rwxr-xr-x root/root ./usr/libexec/vicar/com.vandrelsys.VolumeSmith.vicar
drwxr-xr-x root/root ./usr/sbin/
-rwxr-xr-x root/root ./usr/sbin/vicar-launcher
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/vicar-sign.1
-rw-r--r-- root/root ./usr/share/man/man1/vicarctl.1
drwxr-xr-x root/root ./usr/share/man/man8/
-rw-r--r-- root/root ./usr/share/man/man8/com.vandrelsys.VolumeSmith.vicar.8
-rw-r--r-- root/root ./usr/share/man/man8/vicar-launcher.8"
listed=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | sort -k3)
[ "$listed" = "$(sort -k3 <<<"$expected")" ] || fail "file list differs:
$(diff <(sort -k3 <<<"$expected") <(echo "$listed") || true)"
if [ "$(id -u)" -eq 0 ]; then
  extracted=$(cd "$scratch/root" && find . -mindepth 1 -printf '%M %u/%g %P\n' | sort -k3)
  wanted=$(sed -e 's| \./| |' -e 's|/$||' <<<"$expected" | sort -k3)
  [ "$extracted" = "$wanted" ] || fail "extracted tree differs:
$(diff <(echo "$wanted") <(echo "$extracted") || true)"
fi

# The job description and the unit name the daemon where the package puts it.
grep -q '<string>/usr/libexec/vicar/com.vandrelsys.VolumeSmith.vicar</string>' \
  "$scratch/root/etc/vicar/jobs/com.vandrelsys.VolumeSmith.vicar.plist" || fail "job description: ProgramArguments"
grep -qx 'ExecStart=/usr/libexec/vicar/com.vandrelsys.VolumeSmith.vicar' \
  "$scratch/root/usr/lib/systemd/system/com.vandrelsys.VolumeSmith.vicar.service" || fail "service: ExecStart"
[ "$(cat "$scratch/control/conffiles")" = /etc/vicar/jobs/com.vandrelsys.VolumeSmith.vicar.plist ] || fail "conffiles"

# Maintainer scripts against recording stand-ins: what they ask of systemd,
# per step, on a first install (the socket unit was never enabled). Whether
# systemctl is asked depends on systemd running here.
mkdir "$scratch/bin"
for tool in deb-systemd-helper systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n[ "$1" != debian-installed ]\n' "$tool" "$scratch" \
    >"$scratch/bin/$tool"
  chmod +x "$scratch/bin/$tool"
done
running=no; [ -d /run/systemd/system ] && running=yes
socket=com.vandrelsys.VolumeSmith.vicar.socket
check_step() { # script, argument, calls without systemd, calls with it
  : >"$scratch/calls"
  PATH="$scratch/bin:$PATH" "$scratch/control/$1" "$2" || fail "$1 $2 failed"
  local want=$3; [ $running = yes ] && want=$4
  [ "$(cat "$scratch/calls")" = "$want" ] || fail "$1 $2 called: $(cat "$scratch/calls")"
}
check_step postinst configure "deb-systemd-helper debian-installed $socket
deb-systemd-helper enable $socket" "deb-systemd-helper debian-installed $socket
deb-systemd-helper enable $socket
systemctl --system daemon-reload
systemctl start $socket"
check_step prerm remove "" "systemctl stop $socket com.vandrelsys.VolumeSmith.vicar.service"
check_step postrm remove "deb-systemd-helper disable $socket" "deb-systemd-helper disable $socket
systemctl --system daemon-reload"
check_step prerm upgrade "" ""
echo "package: $(basename "$deb") checked"
