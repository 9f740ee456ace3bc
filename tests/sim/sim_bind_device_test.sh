#!/bin/bash
# Two fixture slots with one address, each on an interface of its own: one
# kesp-sim per interface (--bind-device), a tool in each slot's network
# reaching only its own board. Needs root; exits 77 (skipped) otherwise.
# usage: sim_bind_device_test.sh KESP KESP_SIM
kesp=$1 sim=$2

skip() {
  echo "SKIP: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "making network namespaces needs root"
command -v ip >/dev/null || skip "no ip command (iproute2)"
. "$(dirname "$0")/../support/testlib.sh"

work=$(mktemp -d)
station="kesp-bind-$$-station" fixture1="kesp-bind-$$-fix1" fixture2="kesp-bind-$$-fix2"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait 2>/dev/null
  for ns in "$station" "$fixture1" "$fixture2"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
for ns in "$station" "$fixture1" "$fixture2"; do
  ip netns add "$ns" 2>"$work/err" || skip "cannot make a network namespace: $(cat "$work/err")"
done
# The boards share 10.216.0.1, each slot's tool is 10.216.0.2 in a network
# of its own.
for i in 1 2; do
  fixture=fixture$i
  { ip link add "slot$i" netns "$station" type veth peer name eth0 netns "${!fixture}" &&
    ip -n "$station" addr add 10.216.0.1/30 dev "slot$i" && ip -n "$station" link set "slot$i" up &&
    ip -n "${!fixture}" addr add 10.216.0.2/30 dev eth0 && ip -n "${!fixture}" link set eth0 up; } ||
    skip "cannot make a veth pair"
done
ip -n "$station" link set lo up

for i in 1 2; do
  ip netns exec "$station" "$sim" --listen 10.216.0.1 --bind-device "slot$i" 2>"$work/sim$i.log" &
  pids+=($!)
done
for i in 1 2; do
  for _ in $(seq 100); do grep -q 'listening on' "$work/sim$i.log" && break; sleep 0.1; done
  grep -q 'listening on 10.216.0.1:57000' "$work/sim$i.log" ||
    fail "sim on slot$i did not start: $(cat "$work/sim$i.log")"
done

# Each slot's tool loads its own board only.
head -c 1000 /dev/urandom >"$work/a.bin"
head -c 2000 /dev/urandom >"$work/b.bin"
ip netns exec "$fixture1" timeout 20 "$kesp" 10.216.0.1 "$work/a.bin" >/dev/null 2>&1 ||
  fail "slot1's load failed"
ip netns exec "$fixture2" timeout 20 "$kesp" 10.216.0.1 "$work/b.bin" >/dev/null 2>&1 ||
  fail "slot2's load failed"
sleep 0.3
grep -q 'size=1000 .*: done' "$work/sim1.log" || fail "slot1's sim: $(cat "$work/sim1.log")"
grep -q 'size=2000' "$work/sim1.log" && fail "slot1's sim served slot2's tool"
grep -q 'size=2000 .*: done' "$work/sim2.log" || fail "slot2's sim: $(cat "$work/sim2.log")"
grep -q 'size=1000' "$work/sim2.log" && fail "slot2's sim served slot1's tool"

# A second simulator on a slot's interface finds the address taken; an
# interface that does not exist is named.
out=$(ip netns exec "$station" timeout 10 "$sim" --listen 10.216.0.1 --bind-device slot1 2>&1)
[[ $out == *"10.216.0.1:57000: Address already in use"* ]] || fail "a second sim on slot1: $out"
out=$(ip netns exec "$station" timeout 10 "$sim" --listen 10.216.0.1 --bind-device nosuch 2>&1)
[[ $out == *"10.216.0.1:57000: nosuch: No such device"* ]] || fail "a missing interface: $out"
exit "$status"
