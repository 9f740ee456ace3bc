# Sourced by the tests that run boards and tools in two network namespaces
# of their own, joined by veth pairs, so that a board's link can be taken
# down under a live connection. Needs root; exits 77 (skipped) otherwise.
# The test sets sim, and ready_tries (looks 0.1 s apart for a board to
# start), then calls netns_begin.

skip() {
  echo "SKIP: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "making network namespaces needs root"
command -v ip >/dev/null || skip "no ip command (iproute2)"
command -v tc >/dev/null || skip "no tc command (iproute2)"

. "$(dirname "${BASH_SOURCE[0]}")/testlib.sh"

work=$(mktemp -d)
pids=()
netns_cleanup() {
  for pid in "$work"/*.pid; do [ -f "$pid" ] && pids+=("$(cat "$pid")"); done
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  sleep 0.2
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  ip netns del "$tool_ns" 2>/dev/null
  ip netns del "$board_ns" 2>/dev/null
  rm -rf "$work"
}

# netns_begin NAME: makes the namespaces kesp-NAME-PID-tool and -board,
# removed with everything the test started when it exits.
netns_begin() {
  tool_ns="kesp-$1-$$-tool" board_ns="kesp-$1-$$-board"
  trap netns_cleanup EXIT
  ip netns add "$tool_ns" 2>"$work/netns.err" ||
    skip "cannot make a network namespace: $(cat "$work/netns.err")"
  ip netns add "$board_ns" || skip "cannot make a second network namespace"
}
in_tool() { ip netns exec "$tool_ns" "$@"; }
in_board() { ip netns exec "$board_ns" "$@"; }

# link TOOL_IP BOARD_IP TOOL_LINK BOARD_LINK: a veth pair between the two;
# skips the test when it cannot be made.
link() {
  { ip link add "$3" netns "$tool_ns" type veth peer name "$4" netns "$board_ns" &&
    in_tool ip addr add "$1/30" dev "$3" && in_tool ip link set "$3" up &&
    in_board ip addr add "$2/30" dev "$4" && in_board ip link set "$4" up; } ||
    skip "cannot make a veth pair"
  # Fixed neighbours: a failed ARP lookup while the link is down would turn
  # the tool's time-out into "No route to host".
  local mac
  mac=$(ip -n "$board_ns" link show "$4" | awk '/link\/ether/ { print $2 }')
  in_tool ip neigh replace "$2" lladdr "$mac" dev "$3" nud permanent
}

# board NAME IP SIM_ARGS...: a simulated board in the board namespace.
board() {
  local name=$1 ip=$2
  shift 2
  # Started directly, not through a function: $! is then the simulator
  # itself, which ip execs, and the trap can stop it.
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

# below A B: whether the number A is less than B.
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
