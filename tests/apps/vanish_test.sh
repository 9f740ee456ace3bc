#!/usr/bin/env bash
# A board that vanishes (power cut, cable pulled) must cost kesp its
# dead-peer window, not for ever, whether it was taking the image or
# working on either reply; a board that is alive but slow must be waited
# for however long it takes. Run between two network namespaces of
# this test's own, joined by veth pairs, so that the board's link can be
# taken down under a live connection.
# usage: vanish_test.sh KESP KESP_SIM   (exit 77: skipped, with the reason)
set -u
kesp=$(realpath "$1") sim=$(realpath "$2")

big_size=64M          # the vanishing board's image: far more than the link carries in the wait
slow_size=1M          # the slow board's image
rate=40mbit           # the tool's link: 64 MiB take 13 s, so the cut finds it mid-image
stream_wait=1         # seconds of streaming before the cut
final_delay_ms=30000  # the slow board's "erase": longer than the 25 s dead-peer window
vanish_limit=35       # seconds after the cut within which the tool must give up
quiet_floor=10        # seconds: waiting for a reply, silence counts from the last probe answered
quiet_delay_ms=120000 # the reply boards' work: far past the cut and the window
slow_limit=45         # seconds within which the slow board's load must end
dead_peer_floor=20    # seconds: giving up sooner would drop slow boards too
ready_tries=100       # looks 0.1 s apart: at most 10 s for a board to start

# Link names are unique per run; the addresses exist only in the namespaces.
vanish_tool="kv$$t" vanish_board="kv$$b"  # the board that vanishes
slow_tool="ks$$t" slow_board="ks$$b"      # the board that is slow
vanish_ip=10.213.0.2 slow_ip=10.213.0.6
first_tool="kf$$t" first_board="kf$$b"    # vanishes while the tool waits for the first reply
final_tool="kz$$t" final_board="kz$$b"    # vanishes while the tool waits for the verdict
first_ip=10.213.0.10 final_ip=10.213.0.14

. "$(dirname "$0")/../support/netns_lib.sh"
netns_begin vanish
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

link 10.213.0.1 "$vanish_ip" "$vanish_tool" "$vanish_board"
link 10.213.0.5 "$slow_ip" "$slow_tool" "$slow_board"
link 10.213.0.9 "$first_ip" "$first_tool" "$first_board"
link 10.213.0.13 "$final_ip" "$final_tool" "$final_board"
in_tool tc qdisc add dev "$vanish_tool" root tbf rate "$rate" burst 64kb latency 1s ||
  skip "cannot slow the link down (no tbf queueing discipline)"

board vanish "$vanish_ip" --nor-size "$big_size"
board slow "$slow_ip" --final-delay "$final_delay_ms"
board first "$first_ip" --reply-delay "$quiet_delay_ms"
board final "$final_ip" --final-delay "$quiet_delay_ms"

# load NAME IP IMAGE: kesp in the tool namespace, in the background; its
# status and end time land in files.
load() {
  (
    ip netns exec "$tool_ns" "$kesp" "$2" "$3" >"$work/$1.out" 2>"$work/$1.err" &
    echo $! >"$work/$1.pid"
    wait $!
    echo $? >"$work/$1.rc"
    now >"$work/$1.end"
  ) &
  pids+=($!)
}
truncate -s "$big_size" "$work/big.bin"
head -c "$(numfmt --from=iec "$slow_size")" /dev/urandom >"$work/slow.bin"
started=$(now)
load vanish "$vanish_ip" "$work/big.bin"
load slow "$slow_ip" "$work/slow.bin"
load first "$first_ip" "$work/slow.bin"
load final "$final_ip" "$work/slow.bin"

# The bar reaches the file once stdout's buffer fills: the image is flowing.
for _ in $(seq "$ready_tries"); do
  [ -s "$work/vanish.out" ] && break
  sleep 0.1
done
[ -s "$work/vanish.out" ] || fail "the big image did not start streaming"
sleep "$stream_wait"
in_board ip link set "$vanish_board" down
in_board ip link set "$first_board" down
in_board ip link set "$final_board" down
cut=$(now)

# wait_end NAME LIMIT_S FROM: waits at most LIMIT_S seconds after FROM.
wait_end() {
  while [ ! -s "$work/$1.end" ] && below "$(seconds "$3" "$(now)")" "$2"; do sleep 0.1; done
  [ -s "$work/$1.end" ]
}

# Its last bar, drawn with the bytes really sent, shows where it stopped.
last_bar() { tr '\r' '\n' <"$work/$1.out" | grep '^loader: \[' | tail -n 1; }
if wait_end vanish "$vanish_limit" "$cut"; then
  took=$(seconds "$cut" "$(cat "$work/vanish.end")")
  echo "vanished board: cut $(seconds "$started" "$cut") s after the start, mid-image at" \
    "\"$(last_bar vanish)\"; kesp gave up $took s after the cut"
  [ "$(cat "$work/vanish.rc")" = 0 ] || fail "vanish: exit status $(cat "$work/vanish.rc")"
  [ "$(tail -n 1 "$work/vanish.out")" = "kesp: connection failed: Connection timed out" ] ||
    fail "vanish: last line: $(tail -n 1 "$work/vanish.out")"
  grep -qx 'kesp: flash_id = 0101' "$work/vanish.out" || fail "vanish: no flash_id line"
  last_bar vanish | grep -q ' \]$' || fail "vanish: not cut mid-image: $(last_bar vanish)"
  below "$dead_peer_floor" "$took" || fail "vanish: gave up after only $took s"
  [ -s "$work/vanish.err" ] && fail "vanish: stderr: $(cat "$work/vanish.err")"
else
  fail "vanish: kesp still waiting $vanish_limit s after the board vanished"
fi

# quiet NAME LINE: the board vanished while kesp waited for a reply; LINE
# is the last line it printed before the wait.
quiet() {
  if wait_end "$1" "$vanish_limit" "$cut"; then
    local took
    took=$(seconds "$cut" "$(cat "$work/$1.end")")
    echo "$1 board: vanished while kesp waited for that reply; kesp gave up $took s after the cut"
    [ "$(cat "$work/$1.rc")" = 0 ] || fail "$1: exit status $(cat "$work/$1.rc")"
    [ "$(tail -n 1 "$work/$1.out")" = "kesp: connection failed: Connection timed out" ] ||
      fail "$1: last line: $(tail -n 1 "$work/$1.out")"
    grep -q "$2" "$work/$1.out" || fail "$1: it was not waiting where meant: $(cat "$work/$1.out")"
    below "$quiet_floor" "$took" || fail "$1: gave up after only $took s"
  else
    fail "$1: kesp still waiting $vanish_limit s after the board vanished"
  fi
}
quiet first 'kesp: flags = 0'
quiet final 'loader: \[\*\{50\}\]'
grep -q flash_id "$work/first.out" && fail "first: a first reply arrived from a board that held it back"

if wait_end slow "$slow_limit" "$started"; then
  took=$(seconds "$started" "$(cat "$work/slow.end")")
  echo "slow board: kesp waited and finished after $took s"
  [ "$(cat "$work/slow.rc")" = 0 ] || fail "slow: exit status $(cat "$work/slow.rc")"
  size=$(stat -c %s "$work/slow.bin")
  grep -qx "kesp: flash update done, size = $size" "$work/slow.out" ||
    fail "slow: no done line: $(tail -n 1 "$work/slow.out")"
  grep -Eqx 'kesp: crc = ([0-9a-f]+), received = \1' "$work/slow.out" || fail "slow: crc lines differ"
  # took is rounded to a tenth of a second, so a run that ended just after
  # the board answered can read as exactly the delay.
  below "$((final_delay_ms / 1000 - 1))" "$took" || fail "slow: done before the board answered"
else
  fail "slow: kesp not done $slow_limit s after it started"
fi

[ "$status" -eq 0 ] && echo "PASS"
exit "$status"
