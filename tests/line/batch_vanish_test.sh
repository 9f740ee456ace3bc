#!/usr/bin/env bash
# kesp-batch inherits kesp's dead-peer detection: in one run, a board that
# vanishes mid-image and one that vanishes while its verdict is awaited fail
# after about 25 s of silence, while a board that is alive but busy for
# longer than that is waited for and passes. Run between two network
# namespaces of this test's own, so that links can be taken down under live
# connections.
# usage: batch_vanish_test.sh KESP_BATCH KESP_SIM   (exit 77: skipped, with the reason)
set -u
batch=$(realpath "$1") sim=$(realpath "$2")

big_size=64M          # the vanishing board's image: far more than the link carries in the wait
slow_size=1M
rate=40mbit           # its link: 64 MiB take 13 s, so the cut finds it mid-image
stream_wait=2         # seconds of streaming before the cut
final_delay_ms=30000  # the slow board's "erase": longer than the 25 s dead-peer window
quiet_delay_ms=120000 # the board that vanishes while its verdict is awaited
run_limit=60          # seconds the whole run may take
dead_peer_floor=20    # seconds: giving up sooner would drop slow boards too
dead_peer_ceiling=36  # seconds after the cut by which a vanished board must have failed
ready_tries=100

vanish_ip=10.214.0.2 slow_ip=10.214.0.6 final_ip=10.214.0.10

. "$(dirname "$0")/../support/netns_lib.sh"
command -v python3 >/dev/null || skip "no python3 to read the report"
netns_begin bvanish

link 10.214.0.1 "$vanish_ip" "bv$$t" "bv$$b"
link 10.214.0.5 "$slow_ip" "bs$$t" "bs$$b"
link 10.214.0.9 "$final_ip" "bz$$t" "bz$$b"
in_tool tc qdisc add dev "bv$$t" root tbf rate "$rate" burst 64kb latency 1s ||
  skip "cannot slow the link down (no tbf queueing discipline)"

board vanish "$vanish_ip" --nor-size "$big_size"
board slow "$slow_ip" --final-delay "$final_delay_ms"
board final "$final_ip" --final-delay "$quiet_delay_ms"

truncate -s "$big_size" "$work/big.bin"
head -c "$(numfmt --from=iec "$slow_size")" /dev/urandom >"$work/slow.bin"
printf -- '-a 0 {board}.img\n' >"$work/line.recipe"
ln -s "$work/big.bin" "$work/$vanish_ip.img"
ln -s "$work/slow.bin" "$work/$slow_ip.img"
ln -s "$work/slow.bin" "$work/$final_ip.img"

in_tool timeout "$run_limit" "$batch" --retries 0 -r "$work/line.recipe" --report "$work/r.jsonl" \
  "$vanish_ip" "$slow_ip" "$final_ip" >"$work/out" 2>"$work/err" &
pids+=($!)
batch_pid=$!
sleep "$stream_wait"
in_board ip link set "bv$$b" down
in_board ip link set "bz$$b" down
wait "$batch_pid"
rc=$?
((rc == 1)) || fail "kesp-batch exits $rc, not 1: $(cat "$work/out" "$work/err")"
cat "$work/out"

# BOARD FIELD: a field of the board's step in the report.
field() {
  python3 -c 'import json, sys
for line in open(sys.argv[1]):
    j = json.loads(line)
    if j.get("board") == sys.argv[2]:
        print(j[sys.argv[3]])' "$work/r.jsonl" "$1" "$2"
}
for name_ip in "vanish $vanish_ip" "final $final_ip"; do
  read -r name ip <<<"$name_ip"
  [ "$(field "$ip" reason)" = "connection failed: Connection timed out" ] ||
    fail "$name: reason [$(field "$ip" reason)]"
  took=$(field "$ip" seconds)
  below "$((stream_wait + dead_peer_floor))" "$took" || fail "$name: gave up after only $took s"
  below "$took" "$((stream_wait + dead_peer_ceiling))" || fail "$name: gave up only after $took s"
done
[ "$(field "$vanish_ip" flash_id)" = 0101 ] || fail "vanish: no first reply"
below "$(field "$vanish_ip" sent)" 67108864 || fail "vanish: the whole image went out"
[ "$(field "$slow_ip" result)" = passed ] || fail "slow: $(field "$slow_ip" reason)"
below "$((final_delay_ms / 1000 - 1))" "$(field "$slow_ip" seconds)" ||
  fail "slow: passed before the board answered"

[ "$status" -eq 0 ] && echo "PASS"
exit "$status"
