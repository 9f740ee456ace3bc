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

skip() {
  echo "SKIP: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "making network namespaces needs root"
command -v ip >/dev/null || skip "no ip command (iproute2)"
command -v tc >/dev/null || skip "no tc command (iproute2)"
command -v python3 >/dev/null || skip "no python3 to read the report"

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

tool_ns="kesp-bvanish-$$-tool"
board_ns="kesp-bvanish-$$-board"
vanish_ip=10.214.0.2 slow_ip=10.214.0.6 final_ip=10.214.0.10

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  sleep 0.2
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  ip netns del "$tool_ns" 2>/dev/null
  ip netns del "$board_ns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

. "$(dirname "$0")/testlib.sh"
in_tool() { ip netns exec "$tool_ns" "$@"; }
in_board() { ip netns exec "$board_ns" "$@"; }

ip netns add "$tool_ns" 2>"$work/netns.err" || skip "cannot make a network namespace: $(cat "$work/netns.err")"
ip netns add "$board_ns" || skip "cannot make a second network namespace"
# link TOOL_IP BOARD_IP TOOL_LINK BOARD_LINK: a veth pair between the two.
link() {
  ip link add "$3" netns "$tool_ns" type veth peer name "$4" netns "$board_ns" &&
    in_tool ip addr add "$1/30" dev "$3" && in_tool ip link set "$3" up &&
    in_board ip addr add "$2/30" dev "$4" && in_board ip link set "$4" up || return 1
  # Fixed neighbours: a failed ARP lookup while the link is down would turn
  # the time-out into "No route to host".
  local mac
  mac=$(ip -n "$board_ns" link show "$4" | awk '/link\/ether/ { print $2 }')
  in_tool ip neigh replace "$2" lladdr "$mac" dev "$3" nud permanent
}
link 10.214.0.1 "$vanish_ip" "bv$$t" "bv$$b" || skip "cannot make a veth pair"
link 10.214.0.5 "$slow_ip" "bs$$t" "bs$$b" || skip "cannot make a veth pair"
link 10.214.0.9 "$final_ip" "bz$$t" "bz$$b" || skip "cannot make a veth pair"
in_tool tc qdisc add dev "bv$$t" root tbf rate "$rate" burst 64kb latency 1s ||
  skip "cannot slow the link down (no tbf queueing discipline)"

# board NAME IP SIM_ARGS...: a simulated board in the board namespace.
board() {
  local name=$1 ip=$2
  shift 2
  ip netns exec "$board_ns" "$sim" --listen "$ip" "$@" 2>"$work/$name.log" &
  pids+=($!)
  for _ in $(seq "$ready_tries"); do
    grep -q 'listening on' "$work/$name.log" && return 0
    sleep 0.1
  done
  echo "the $name board did not start:"
  cat "$work/$name.log"
  exit 1
}
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
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
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
