#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses what was installed:
# the programs, where man and bash find the pages and completions, and one
# real load by the installed kesp into the installed kesp-sim.
# usage: install_test.sh BUILD_DIR
set -u
build=$1
. "$(dirname "$0")/../support/testlib.sh"

work=$(mktemp -d)
sim_pid=
stop_sim() {
  [[ -n $sim_pid ]] || return 0
  kill -TERM "$sim_pid" 2>/dev/null
  for _ in {1..50}; do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$sim_pid" 2>/dev/null
  wait "$sim_pid"
  local rc=$?
  sim_pid=
  return $rc
}
trap 'stop_sim; rm -rf "$work"' EXIT

prefix=$work/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  exit 1
fi

for file in bin/kesp bin/kesp-sim bin/kesp-batch bin/kesp-units share/man/man1/kesp.1.gz \
  share/man/man1/kesp-sim.1.gz share/man/man1/kesp-batch.1.gz share/man/man1/kesp-units.1.gz \
  share/bash-completion/completions/kesp share/bash-completion/completions/kesp-sim \
  share/bash-completion/completions/kesp-batch share/bash-completion/completions/kesp-units \
  share/doc/kesp/README.md share/doc/kesp/copyright share/doc/kesp/changelog.Debian.gz; do
  [[ -f $prefix/$file ]] || fail "$file is not installed"
done
# The Wireshark dissector, in the prefix where Wireshark's own folder of
# Lua plugins for every user lies under /usr.
plugin=$(cd "$prefix" && find . -name kesp.lua | sed 's|^\./||')
[[ $plugin == lib/*/wireshark/plugins/kesp.lua ]] || fail "kesp.lua is installed as [$plugin]"
cmp -s "$prefix/$plugin" "$(dirname "$0")/../../wireshark/kesp.lua" ||
  fail "the installed kesp.lua is not the tree's"
if command -v tshark >/dev/null; then
  global=$(HOME=$work tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
  [[ /usr/$plugin == "$global/kesp.lua" ]] ||
    fail "kesp.lua goes to $plugin, Wireshark loads plugins from $global"
  # Loaded as a plugin from a user's own folder, as the README says.
  mkdir -p "$work/home/.local/lib/wireshark/plugins"
  cp "$prefix/$plugin" "$work/home/.local/lib/wireshark/plugins/"
  loaded=$(HOME=$work/home tshark -G fields 2>&1 | grep -c $'\tkesp\.crc\t')
  ((loaded == 1)) || fail "tshark does not load the installed kesp.lua"
fi
for program in kesp kesp-sim kesp-batch kesp-units; do
  [[ -x $prefix/bin/$program ]] || fail "bin/$program is not executable"
  found=$(MANPATH=$prefix/share/man man -w "$program" 2>&1)
  [[ $found == "$prefix/share/man/man1/$program.1.gz" ]] || fail "man -w $program: $found"
  name=$(MANPATH=$prefix/share/man MANWIDTH=80 man "$program" 2>&1 | sed -n '/^NAME/{n;p}')
  [[ $name == *"$program - "* ]] || fail "man $program shows no NAME line: [$name]"
  # Named like the program, as bash-completion's loader looks them up.
  registered=$(bash -c '. "$1" && complete -p "$2"' _ \
    "$prefix/share/bash-completion/completions/$program" "$program" 2>&1)
  [[ $registered == "complete -F "*" $program" ]] || fail "completion for $program: $registered"
done

out=$("$prefix/bin/kesp" 2>&1)
rc=$?
((rc == 255)) || fail "kesp without arguments exits $rc, not 255"
[[ $(head -n 1 <<<"$out") == "usage: $prefix/bin/kesp -[csn] -[a <address>] <host> [filename]" ]] ||
  fail "kesp without arguments prints: $out"
out=$("$prefix/bin/kesp-sim" --help 2>&1)
rc=$?
((rc == 0)) || fail "kesp-sim --help exits $rc"
[[ $out == "usage: kesp-sim "* ]] || fail "kesp-sim --help prints: $out"

if ! start_sim "$prefix/bin/kesp-sim" "$work/sim.log"; then
  fail "kesp-sim did not get ready: $(cat "$work/sim.log")"
  exit 1
fi
host=$sim_addr

# 3000 bytes: eleven whole 256-byte pieces and a short one.
seq 100000 | head -c 3000 >"$work/image"
# The CRC-32 of the image from an independent source: gzip's trailer.
crc=$(gzip -c "$work/image" | tail -c 8 | od -An -tu4 -N4 | tr -d ' ')
crc=$(printf '%x' "$crc")

load() {  # load MODE-LINE KESP-OPTIONS...
  local want=$1
  shift
  local out rc
  out=$(timeout 20 "$prefix/bin/kesp" "$@" "$host" "$work/image" 2>&1)
  rc=$?
  ((rc == 0)) || fail "kesp $* exits $rc: $out"
  grep -qx "$want" <<<"$out" || fail "kesp $* lacks [$want]: $out"
  grep -qx "kesp: crc = $crc, received = $crc" <<<"$out" ||
    fail "kesp $* does not report crc $crc on both sides: $out"
}
load 'kesp: flash update done, size = 3000' -a 0x10000
load 'kesp: flash compare done, size = 3000' -c -a 0x10000
# The installed kesp-batch compares the same image, and its report says so.
out=$(timeout 20 "$prefix/bin/kesp-batch" -c -a 0x10000 -i "$work/image" --report "$work/r.jsonl" \
  "$host" 2>&1)
rc=$?
((rc == 0)) || fail "kesp-batch -c exits $rc: $out"
grep -q "\"result\":\"passed\",.*\"crc\":\"$(printf '%08x' "0x$crc")\"" "$work/r.jsonl" ||
  fail "kesp-batch's report does not show a passed compare with crc $crc: $(cat "$work/r.jsonl")"

stop_sim || fail "kesp-sim did not stop cleanly: $(cat "$work/sim.log")"
grep -q "update nor addr=0x10000 size=3000" "$work/sim.log" ||
  fail "kesp-sim did not log the load: $(cat "$work/sim.log")"
exit $status
