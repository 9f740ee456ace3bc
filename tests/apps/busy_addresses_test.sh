#!/usr/bin/env bash
# Runs a representative part of the suites while simulators hold the
# loopback addresses people use for their own rehearsals and those the
# suites once took for granted: every test must find addresses of its own.
# Runs in a network namespace of its own, so that the held addresses keep
# nobody else's tests from theirs.
# usage: busy_addresses_test.sh KESP_SIM UNIT_TESTS SIM_TESTS HOSTILE_TESTS
#        (exit 77: skipped, with the reason)
set -u
skip() {
  echo "SKIP: $*"
  exit 77
}
if [[ ${1:-} != --inside ]]; then
  [ "$(id -u)" -eq 0 ] || skip "a network namespace of its own needs root"
  command -v unshare >/dev/null || skip "no unshare command (util-linux)"
  command -v ip >/dev/null || skip "no ip command (iproute2)"
  unshare -n true 2>/dev/null || skip "cannot make a network namespace"
  exec unshare -n bash "$0" --inside "$@"
fi
shift
sim=$1 unit_tests=$2 sim_tests=$3 hostile_tests=$4
. "$(dirname "$0")/../support/testlib.sh"

# The README's rehearsal addresses, and every address the suites once used.
busy=(127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5 127.0.0.150 127.0.0.203)
for i in 10 11 41 100 101 120 149 151 199 200 201 229 230 231 232 233 234 240; do
  busy+=("127.0.0.$i")
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait
  rm -rf "$work"
}
trap cleanup EXIT

ip link set lo up || skip "cannot bring up the namespace's loopback"
for address in "${busy[@]}"; do
  "$sim" --listen "$address" --nor-size 64K 2>"$work/$address.log" &
  pids+=($!)
done
for address in "${busy[@]}"; do
  for _ in {1..100}; do
    grep -q 'listening on' "$work/$address.log" && break
    sleep 0.1
  done
  grep -q 'listening on' "$work/$address.log" ||
    fail "no simulator holds $address: $(cat "$work/$address.log")"
done
((status == 0)) || exit 1

run() {  # run BINARY FILTER
  local out
  out=$(timeout 300 "$1" --gtest_filter="$2" --gtest_brief=1 2>&1) ||
    fail "$(basename "$1") $2 failed beside busy addresses:
$out"
}
run "$unit_tests" 'KespProcess.*'
run "$sim_tests" 'Faults/*:Modes/*:SimSurvives.*:SimStops.*:SimCommandLine.*:StdDescriptors/*:Takers/*'
run "$hostile_tests" '*'

# The held addresses still serve their own users.
for address in 127.0.0.2 127.0.0.3; do
  grep -q 'kesp-sim: ' <(tail -n +2 "$work/$address.log") &&
    fail "a test reached the simulator on $address: $(cat "$work/$address.log")"
done
exit $status
