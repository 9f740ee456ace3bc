#!/usr/bin/env bash
# Runs the shell examples of the README as they are printed there: the
# function that tells success from failure, on every kind of result, and
# the production-line examples of kesp-batch and of kesp against simulated
# boards, one of which fails and one of which is not there, and the kesp-sim
# walkthrough.
# usage: readme_test.sh SOURCE_DIR KESP KESP_SIM KESP_BATCH REFUSER
set -u
src=$(realpath "$1") kesp=$(realpath "$2") sim=$(realpath "$3") batch=$(realpath "$4")
refuser=$(realpath "$5")
# The walkthrough's, tried in turn while a user's own sim holds one.
walk_addresses=(127.0.0.235 127.0.0.236 127.0.0.237 127.0.0.238)
. "$(dirname "$0")/../support/testlib.sh"
. "$(dirname "$0")/../support/examples.sh"
bindir=$(dirname "$kesp")

work=$(mktemp -d)
sim_pids=()
cleanup() {
  for pid in "${sim_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${sim_pids[@]}"; do
    for _ in {1..50}; do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
  done
  [[ -n ${refuser_pid:-} ]] && kill -TERM "$refuser_pid" 2>/dev/null
  examples_end
  wait
  rm -rf "$work"
}
trap cleanup EXIT

# The fenced sh block of the README that contains $1.
readme_block() {
  awk -v key="$1" '
    /^```sh( .*)?$/ { inside = 1; block = ""; next }
    /^```$/ && inside { if (index(block, key)) { printf "%s", block; exit } inside = 0 }
    inside { block = block $0 "\n" }' "$src/README.md"
}

function_text=$(readme_block 'flash_ok() {' | sed -n '/^flash_ok() {$/,/^}$/p')
[[ -n $function_text ]] || {
  fail "no flash_ok function in README.md"
  exit 1
}
# The manual page shows the same function.
in_page=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$src/man/kesp.1" 2>/dev/null |
  sed -n '/^ *flash_ok() {$/,/^ *}$/p' | sed 's/^ \{11\}//')
[[ $in_page == "$function_text" ]] || fail "kesp.1 and README.md show different flash_ok:
$(diff <(echo "$in_page") <(echo "$function_text"))"

# Every option of both programs is in the README.
options=$( (exec -a kesp "$kesp") | sed -n 's/^\(-[a-z]\) .*/\1/p'
  "$batch" --help | sed -nE 's/^ +(-[a-z], )?(--[a-z-]+).*/\2/p'
  "$sim" --help | sed -nE 's/^ +(-[a-z], )?(--[a-z-]+).*/\2/p')
(($(wc -l <<<"$options") > 10)) || fail "found too few options: $options"
for option in $options; do
  grep -qE -- "[\` ]${option}[\` ,]" "$src/README.md" || fail "README.md does not show $option"
done

bar=$'\rloader: [*************************                         ]\rloader: [**************************************************]'
head=$'kesp: address = 10000\nkesp: flags = 40000000\nkesp: flash_id = 0101\n'"$bar"
# want|output: 0 for a success, 1 for a failure.
cases=(
  "0|$head"$'\nkesp: flash update done, size = 300\nkesp: crc = 72607bc, received = 72607bc'
  "0|$head"$'\nkesp: flash compare done, size = 300\nkesp: crc = 72607bc, received = 72607bc'
  "1|$head"$'\nkesp: flash update done, size = 300\nkesp: crc = 72607bc, received = 72607bd'
  # Equal as numbers, which awk compares unless told otherwise.
  "1|$head"$'\nkesp: flash update done, size = 300\nkesp: crc = 1e5, received = 10e4'
  "1|$head"$'\nkesp: flash update done, size = 300'
  "1|$head"$'\nkesp: flash compare failed (addr = 10000, size = 300, error = "compare failed")'
  "1|$head"$'\nkesp: connection failed: closed by target'
  $'1|kesp: address = 0\nkesp: flags = 0\nkesp: connection failed: Connection reset by peer'
  "1|connect: Connection refused"
  "1|"
)
for shell in bash sh; do
  for case in "${cases[@]}"; do
    want=${case%%|*} output=${case#*|}
    printf '%s\n' "$output" | "$shell" -c "$function_text"$'\nflash_ok'
    got=$?
    ((got == want)) || fail "$shell: flash_ok gives $got, not $want, for:
$output"
  done
done

# The production-line example, run by sh in a folder of its own with kesp
# on the PATH, against two good boards, one whose erase fails and one that
# is absent.
boards=()
# The second board's erase fails; the faults are split into words on purpose.
for faults in '' '--final-error 2' ''; do
  i=${#boards[@]}
  if start_sim "$sim" "$work/sim$i.log" $faults; then
    sim_pids+=("$sim_pid") boards+=("$sim_addr")
  else
    fail "kesp-sim $faults did not get ready: $(cat "$work/sim$i.log")"
  fi
done
start_refuser "$refuser" "$work/refuser.out" || fail "no address that refuses connections"
absent=$refused_addr
((status == 0)) || exit 1

line=$work/line
mkdir "$line"
printf '%s\n' "${boards[@]}" "$absent" >"$line/boards.txt"
seq 100000 | head -c 5000 >"$line/app.bin"
example=$(readme_block 'xargs -P')
[[ -n $example ]] || fail "no xargs -P example in README.md"
report=$(cd "$line" && PATH=$(dirname "$kesp"):$PATH timeout 60 \
  sh -c "$function_text"$'\n'"$example" 2>&1)
want="FAILED: ${boards[1]}
FAILED: $absent"
[[ $report == "$want" ]] || fail "the production-line example reports:
$report
instead of:
$want"
for board in "${boards[0]}" "${boards[2]}"; do
  grep -qx 'kesp: flash update done, size = 5000' "$line/logs/$board.log" ||
    fail "no done line in the log of $board: $(cat "$line/logs/$board.log")"
done

# kesp-batch's example, as printed, on the same line: exit status 1, and a
# report and a JUnit file that name the two boards that failed.
example=$(readme_block 'kesp-batch -a 0x10000 -i app.bin')
[[ -n $example ]] || fail "no kesp-batch example in README.md"
out=$(cd "$line" && PATH=$(dirname "$batch"):$PATH timeout 60 sh -c "$example" 2>&1)
rc=$?
((rc == 1)) || fail "the kesp-batch example exits $rc, not 1: $out"
failed=$(grep '"type":"step".*"result":"failed"' "$line/line.jsonl" | sed -E 's/.*"board":"([^"]*)".*/\1/' | sort)
[[ $failed == "$(printf '%s\n' "${boards[1]}" "$absent" | sort)" ]] ||
  fail "the kesp-batch example's report names as failed: [$failed]"
grep -q '"type":"summary".*"passed":2,"failed":2' "$line/line.jsonl" ||
  fail "the kesp-batch example's summary: $(tail -n 1 "$line/line.jsonl")"
python3 -c 'import sys, xml.etree.ElementTree as e; e.parse(sys.argv[1])' "$line/line.xml" ||
  fail "the kesp-batch example's JUnit file does not parse"
grep -q "^kesp-batch: 2 passed, 2 failed (4 boards)" <<<"$out" ||
  fail "the kesp-batch example prints no summary: $out"

# The kesp-sim walkthrough, run by sh from a stand-in repository root whose
# build/ holds the programs: it must load both images, show the failed
# compare, stop the sim cleanly and leave the flash files out of the tree.
walkthrough=$(readme_block 'kesp-sim --listen 127.0.0.1 ')
[[ -n $walkthrough ]] || {
  fail "no kesp-sim walkthrough in README.md"
  exit 1
}
root=$work/root
mkdir -p "$root/build" "$work/tmp"
ln -s "$kesp" "$root/build/kesp"
ln -s "$sim" "$root/build/kesp-sim"
tree_before=$(cd "$root" && find . | sort)
for address in "${walk_addresses[@]}"; do
  rm -rf "$work/tmp"/*
  walk=$(cd "$root" && TMPDIR=$work/tmp timeout 60 sh -c "${walkthrough//127.0.0.1/$address}" 2>&1)
  grep -q 'Address already in use' <<<"$walk" || break
done
# The output without its progress bar redraws, for the failure messages.
shown=$(tr '\r' '\n' <<<"$walk" | grep -v '^loader: \[')
[[ $(cd "$root" && find . | sort) == "$tree_before" ]] ||
  fail "the walkthrough left files in the tree:
$(diff <(echo "$tree_before") <(cd "$root" && find . | sort))"
folders=("$work/tmp"/*)
if ((${#folders[@]} != 1)) || [[ ! -f ${folders[0]}/nor.img ]]; then
  fail "the walkthrough made no folder of its own with the flash files: ${folders[*]}
$shown"
  exit 1
fi
folder=${folders[0]}
app_size=$(stat -c %s "$folder/app.bin") rootfs_size=$(stat -c %s "$folder/rootfs.img")
for line in "kesp: flash update done, size = $app_size" \
  "kesp: flash update done, size = $rootfs_size" \
  "kesp: flash compare failed (addr = 10000, size = $rootfs_size, error = \"compare failed\")" \
  "kesp-sim: listening on $address:57000" "kesp-sim: stopped" "flash files in $folder"; do
  grep -qxF -- "$line" <<<"$walk" || fail "the walkthrough does not print: $line
$shown"
done
crcs=$(sed -n 's/^kesp: crc = \([0-9a-f]*\), received = \([0-9a-f]*\)$/\1 \2/p' <<<"$walk")
(($(grep -c . <<<"$crcs") == 2)) || fail "the walkthrough does not print two crc lines: $crcs"
awk '$1 != $2 { exit 1 }' <<<"$crcs" || fail "the walkthrough's crc figures differ: $crcs"
cmp -s -n "$app_size" "$folder/app.bin" "$folder/nor.img" 0 $((0x10000)) ||
  fail "nor.img does not hold app.bin at 0x10000"
cmp -s -n "$rootfs_size" "$folder/rootfs.img" "$folder/nand.img" ||
  fail "nand.img does not begin with rootfs.img"

# Every example, each as printed, with what it needs around it.
examples_fixture || exit 1
mkdir "$work/examples"
examples_extract_readme "$src/README.md" "$work/examples"
(($(examples_count "$work/examples") > 15)) ||
  fail "found only $(examples_count "$work/examples") examples in README.md"
examples_run "$work/examples"
((examples_ran >= 8)) || fail "only $examples_ran examples ran"
exit $status
