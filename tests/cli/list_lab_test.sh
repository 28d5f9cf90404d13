#!/usr/bin/env bash
# Runs `camera-setup list` in a namespace of its own that a simulated camera reaches over a veth pair,
# with and without a default route. Needs root; reports itself skipped (77) otherwise.
set -uo pipefail
binary=$1
camera=$(dirname "$0")/lab_camera.py

[ "$(id -u)" -eq 0 ] || { echo "needs root"; exit 77; }
pc=disc-$$-pc
cam=disc-$$-cam
cleanup() {
    [ -n "${camera_pid:-}" ] && kill "$camera_pid" 2>/dev/null
    ip netns del "$pc" 2>/dev/null
    ip netns del "$cam" 2>/dev/null
}
trap cleanup EXIT
ip netns add "$pc" 2>/dev/null || { echo "cannot create network namespaces"; exit 77; }
ip netns add "$cam" || exit 77
ip link add veth-p netns "$pc" type veth peer name veth-c netns "$cam" || exit 77
ip -n "$pc" addr add 10.77.0.1/24 dev veth-p
ip -n "$cam" addr add 10.77.0.50/24 dev veth-c
ip -n "$pc" link set veth-p up
ip -n "$cam" link set veth-c up
ip -n "$pc" link set lo up
ip -n "$cam" link set lo up

expected_header='Mac Address,Current IP Address,Assigned,Subnet,Gateway,Dns1,Dns2,Wireless,Model,XRM Support'
expected_camera='02-5E-A1-CC-55-BA,10.77.0.50,Yes,0.0.0.0,0.0.0.0,0.0.0.0,0.0.0.0,YES,Tavix-11+,YES'
expected_second='02-5E-A3-7E-69-D2,10.77.0.60,No,255.255.255.0,10.77.0.254,10.77.0.53,0.0.0.0,,,'
failures=0
for route in none default; do
    if [ "$route" = default ]; then
        ip -n "$pc" route add default via 10.77.0.254 dev veth-p
    fi
    ip netns exec "$cam" python3 "$camera" --iface veth-c --address 10.77.0.50 &
    camera_pid=$!
    for _ in $(seq 50); do  # until the camera listens, so that it hears the start-up query
        ip netns exec "$cam" ss -Hun state unconnected src :10000 | grep -q . && break
        sleep 0.1
    done
    output=$(ip netns exec "$pc" "$binary" list --seconds 4 --format csv 2>"/tmp/disc-$$-stderr")
    status=$?
    wait "$camera_pid"
    camera_status=$?
    camera_pid=
    expected=$(printf '%s\n%s\n%s' "$expected_header" "$expected_camera" "$expected_second")
    if [ "$status" -ne 0 ] || [ "$camera_status" -ne 0 ] || [ "$output" != "$expected" ]; then
        echo "FAILED with route $route: list status $status, camera status $camera_status"
        echo "--- stdout"; echo "$output"; echo "--- expected"; echo "$expected"
        echo "--- stderr"; cat "/tmp/disc-$$-stderr"
        failures=$((failures + 1))
    else
        echo "passed with route $route"
    fi
    rm -f "/tmp/disc-$$-stderr"
done
# Without privilege and with port 9000 taken nothing can start: exit 1 and the privilege named.
if id nobody >/dev/null 2>&1; then
    message=$(ip netns exec "$pc" python3 -c '
import socket, subprocess, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 9000))
r = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.argv[1], "list", "--seconds", "0"],
                   capture_output=True, text=True)
# The log lines of the helper may come after those of the program.
print(r.returncode, repr(r.stdout), [l for l in r.stderr.splitlines() if "no search could start" in l][-1:])
' "$binary")
    case "$message" in
        "1 '' ['camera-setup list: no search could start: UDP ports 67 and 68: permission denied"*CAP_NET_RAW*)
            echo "passed without privilege" ;;
        *)
            echo "FAILED without privilege: $message"; failures=$((failures + 1)) ;;
    esac
fi
exit $((failures > 0))
