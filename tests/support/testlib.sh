# Sourced by the shell tests: a failed check is reported and remembered, so
# that one run shows every failing check; each test ends with exit "$status".
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

# Loopback addresses, as the C++ tests pick them: candidates in 127.64.0.0
# to 127.191.255.255, away from 127.0.0.x where people run their own
# simulators, starting at an offset drawn from the process id; whoever binds
# one moves on to the next when the bind fails.
address_tries=20
candidate_count=0
# next_candidate: sets candidate to the next candidate address.
next_candidate() {
  local slot=$((($$ * 2654435761 + candidate_count) % 8192))
  local host=$((0x7f400000 + slot * 1024 + 1))
  candidate_count=$((candidate_count + 1))
  candidate="$((host >> 24 & 255)).$((host >> 16 & 255)).$((host >> 8 & 255)).$((host & 255))"
}

# start_sim SIM LOG [ARGS...]: starts the simulator SIM in the background on
# a free address, its standard error in LOG, and waits at most 10 s for its
# ready line. Sets sim_pid and sim_addr; returns non-zero if it did not start.
start_sim() {
  local program=$1 log=$2
  shift 2
  sim_pid= sim_addr=
  for _ in $(seq "$address_tries"); do
    next_candidate
    "$program" --listen "$candidate" "$@" 2>"$log" &
    local pid=$!
    for _ in {1..100}; do
      grep -q "listening on $candidate:" "$log" && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if grep -q "listening on $candidate:" "$log"; then
      sim_pid=$pid sim_addr=$candidate
      return 0
    fi
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    grep -q 'Address already in use' "$log" || return 1
  done
  return 1
}

# start_refuser REFUSER LOG: starts the helper that holds a loopback address
# on which every connection is refused, and waits for it to name it. Sets
# refuser_pid and refused_addr; returns non-zero if it did not say one.
start_refuser() {
  "$1" >"$2" &
  refuser_pid=$! refused_addr=
  for _ in {1..100}; do
    refused_addr=$(head -n 1 "$2")
    [[ -n $refused_addr ]] && return 0
    kill -0 "$refuser_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
