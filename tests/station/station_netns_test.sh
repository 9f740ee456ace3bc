#!/usr/bin/env bash
# Two fixture slots with one factory address, each on a network interface
# of its own: kesp-batch --station binds each slot's connections to its
# interface, so each board gets its own unit and verdict. The boards run in
# two network namespaces of this test's own, behind two veth pairs whose
# tool ends carry the same address. Then a board swapped faster than a
# try can see is told by its link.
# usage: station_netns_test.sh KESP_BATCH KESP_SIM   (exit 77: skipped, with the reason)
set -u
batch=$(realpath "$1") sim=$(realpath "$2")
ready_tries=100
board_ip=10.215.0.2 tool_ip=10.215.0.1
run_limit=30

. "$(dirname "$0")/../support/netns_lib.sh"
command -v python3 >/dev/null || skip "no python3 to read the report"
netns_begin station
second_ns="kesp-station-$$-board2"
trap 'netns_cleanup; ip netns del "$second_ns" 2>/dev/null' EXIT
ip netns add "$second_ns" || skip "cannot make a third network namespace"

one="sa$$" two="sb$$"
link "$tool_ip" "$board_ip" "$one" "${one}b"
board first "$board_ip" --nor-id 0x0101 --nor-file "$work/first.nor"
# The second board: the same addresses, another namespace and link.
first_ns=$board_ns board_ns=$second_ns
link "$tool_ip" "$board_ip" "$two" "${two}b"
board second "$board_ip" --nor-id 0x0303 --nor-file "$work/second.nor"
board_ns=$first_ns

head -c 200000 /dev/urandom >"$work/app.bin"
in_tool timeout "$run_limit" "$batch" --station --units 2 --settle 0.3 -i "$work/app.bin" \
  --report "$work/r.jsonl" "$board_ip%$one" "$board_ip%$two" >"$work/out" 2>"$work/err"
rc=$?
[ "$rc" -eq 0 ] || fail "kesp-batch exited $rc: $(cat "$work/out" "$work/err")"

# Each slot's unit carries its own board's flash id.
python3 - "$work/r.jsonl" "$board_ip%$one" "$board_ip%$two" >"$work/check" 2>&1 <<'PY' ||
import json, sys
units = [json.loads(l) for l in open(sys.argv[1]) if '"type":"unit"' in l]
got = sorted((u["slot"], u["flash_id"], u["result"], u["interface"]) for u in units)
want = sorted([(sys.argv[2], "0101", "passed", sys.argv[2].split("%")[1]),
               (sys.argv[3], "0303", "passed", sys.argv[3].split("%")[1])])
if got != want:
    sys.exit(f"units {got}, want {want}")
PY
  fail "report: $(cat "$work/check")"
for name in first second; do
  n=$(grep -c 'update nor .*: done' "$work/$name.log")
  [ "$n" -eq 1 ] || fail "the $name board was loaded $n times: $(cat "$work/$name.log")"
  cmp -n 200000 "$work/app.bin" "$work/$name.nor" || fail "the $name board's flash is not the image"
done
# A board swapped faster than a try can see: the first board's link goes
# down and up again between two tries while its loader never stops
# answering. The slot's interface shows the swap (its count of carrier
# changes moved), so the board in it is a new unit; without the link the
# slot would hold it as the board of the unit before.
head -c 1000 /dev/urandom >"$work/small.bin"
in_tool timeout "$run_limit" "$batch" --station --units 2 --settle 0.3 -i "$work/small.bin" \
  --report "$work/swap.jsonl" "$board_ip%$one" >"$work/swap.out" 2>&1 &
swap_pid=$!
for _ in $(seq 100); do
  grep -q '"type":"unit"' "$work/swap.jsonl" 2>/dev/null && break
  sleep 0.1
done
grep -q '"type":"unit"' "$work/swap.jsonl" || fail "no first unit: $(cat "$work/swap.out")"
in_board ip link set "${one}b" down && in_board ip link set "${one}b" up ||
  fail "cannot take the board's link down and up"
wait "$swap_pid"
rc=$?
[ "$rc" -eq 0 ] || fail "the board behind a link that went down and up was not flashed (exit $rc): $(cat "$work/swap.out")"
n=$(grep -c '"type":"unit"' "$work/swap.jsonl")
[ "$n" -eq 2 ] || fail "$n units after the swap, expected 2: $(cat "$work/swap.out")"
exit "$status"
