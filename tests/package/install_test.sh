#!/usr/bin/env bash
# Installs the Debian package on this machine, checks the helper's grant, runs the installed `camera-setup list`
# as an unprivileged member of the group camera-setup in a lab, then purges and checks that nothing is left.
# Usage: install_test.sh DEB   (root; exit 77 = skipped, with the reason on stdout)
set -uo pipefail
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
lab=$here/../../tools/lab/lab
helper=/usr/libexec/camera-setup/camera-setup-helper
program=/usr/bin/camera-setup

[ "$(id -u)" -eq 0 ] || { echo "package install test skipped: needs root"; exit 77; }
# Installed, half-installed or removed with its configuration kept: someone's own, which a purge would destroy.
state=$(dpkg-query -W -f='${db:Status-Status}' camera-setup 2>/dev/null)
if [ -n "$state" ] && [ "$state" != not-installed ]; then
    echo "package install test skipped: a camera-setup package ($state) is on this machine and is left alone"
    exit 77
fi
getent group camera-setup >/dev/null && { echo "package install test skipped: group camera-setup exists"; exit 77; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

echo "--- lintian"
lintian --info --display-level '>=warning' "$deb"
lintian --fail-on error "$deb" >/dev/null || fail "lintian reports errors"

export LAB_PREFIX=pkg-$$
installed=
cleanup() {
    "$lab" down >/dev/null 2>&1
    [ -n "$installed" ] && DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq camera-setup >/dev/null 2>&1
}
trap cleanup EXIT

echo "--- install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null || { echo "FAIL: apt-get install"; exit 1; }
installed=1
files=$(dpkg -L camera-setup | while read -r f; do [ -f "$f" ] && echo "$f"; done)

gid=$(getent group camera-setup | cut -d: -f3)
[ -n "$gid" ] || fail "no group camera-setup"
[ "$(stat -c '%U:%G %a' "$helper")" = "root:camera-setup 750" ] || fail "helper: $(stat -c '%U:%G %a' "$helper")"
caps=$(getcap "$helper" | sed 's/.* //')
[ "$caps" = "cap_net_admin,cap_net_raw=p" ] || fail "helper capabilities: '$caps'"
[ -z "$(getcap "$program")" ] || fail "camera-setup holds capabilities: $(getcap "$program")"
[ -z "$(find $files -perm /6000)" ] || fail "set-user-ID or set-group-ID files: $(find $files -perm /6000)"
[ -f /usr/share/applications/org.camerasetup.CameraSetup.desktop ] || fail "no desktop entry"

echo "--- camera-setup list in a lab, as an unprivileged member of the group"
wired=02:5E:A1:CC:55:BA
wireless=02:5E:A1:CC:55:C7
"$lab" up --cameras "name=wired,mac=$wired,host=NV4412-0104,xrm=0,boot=hold;name=wireless,mac=$wireless,host=QM52X3-0200,model=QM52X3" \
    >/dev/null || { fail "lab up"; exit 1; }
# The wired camera only speaks DHCP: finding it needs ports 67 and 68, which only the helper can read.
(sleep 1; "$lab" boot wired >/dev/null) &
booter=$!
output=$("$lab" exec pc setpriv --reuid=65534 --regid=65534 --groups="$gid" --inh-caps=-all --reset-env \
    "$program" list --seconds 5 --format csv 2>/tmp/pkg-$$-stderr)
status=$?
wait "$booter"
macs=$(echo "$output" | tail -n +2 | cut -d, -f1 | sort | tr '\n' ' ')
if [ "$status" -ne 0 ] || [ "$macs" != "${wired//:/-} ${wireless//:/-} " ]; then
    fail "list: status $status, cameras '$macs'"
    echo "--- stdout"; echo "$output"; echo "--- stderr"; cat /tmp/pkg-$$-stderr
fi
rm -f /tmp/pkg-$$-stderr
"$lab" down >/dev/null

echo "--- purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq camera-setup >/dev/null || fail "apt-get purge"
installed=
for f in $files; do [ -e "$f" ] && fail "left after purge: $f"; done
[ -e "$(dirname "$helper")" ] && fail "left after purge: $(dirname "$helper")"
getent group camera-setup >/dev/null && fail "group camera-setup left after purge"
dpkg-statoverride --list | grep -q camera-setup && fail "statoverride left after purge"

[ "$failures" -eq 0 ] && echo "package install test passed"
exit $((failures > 0))
