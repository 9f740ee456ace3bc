# shellcheck shell=bash
# Sourced by the documentation tests: runs the examples of the README and
# of the manual pages as they are printed, so that a new example is tried
# without a change here.
#
# Which text is an example:
# - README.md: every fenced block whose info string starts with sh (shell)
#   or sql; words after it are the example's marks.
# - a manual page: every .EX/.EE or .nf/.fi block of its EXAMPLES section,
#   and any other one that a comment line `.\" example: MARKS` comes before
#   (the comment applies to the next block).
# Marks: `run` runs it (where nothing else is to be said); `skip
# REASON...` never runs it (for what only a plant or an installation can
# run; the reason is printed); `status=N`, the exit
# status it must end with (default 0); `interrupt=N`, a station that runs
# until stopped: its kesp-batch gets SIGINT once N units have ended;
# `sql`, SQL, run by sqlite3 on a unit record made by a real station run
# (and by psql on one in the test's PostgreSQL server) and answering with
# at least one row.
#
# How a shell example runs: with bash, in a folder of its own holding the
# files the examples name (app.bin, rootfs.img, boot.bin, boards.txt,
# line.recipe, unit.recipe and its make-unit-data, these three as the
# README shows them, line.jsonl, line1.db), the programs
# first on the PATH, the README's flash_ok defined. Each network of the
# text (127.0.0, 10.0.0, 192.168.1, ...; the host name `board` counts as
# 192.0.2.1) becomes a block of loopback addresses that binds here, the
# same last numbers kept, so `127.0.0.1{0..7}` still names eight boards;
# where the text starts no kesp-sim, the test serves those addresses with
# one whose boards have NAND and leave when started (a station's swap),
# and boards.txt names two such boards. `/tmp/` becomes a folder of the
# example's; the plant's URL postgresql://kesp@db.plant/units becomes the
# test server's database units, as user kesp, holding a record (the
# PostgreSQL examples are skipped, saying why, where no server can run).
# Whatever the example leaves running is stopped when it ends.
#
# Needs: src, bindir (the programs), work (a temporary folder) and the
# functions of testlib.sh; call examples_end from the EXIT trap.

examples_pids=()
examples_pg_dir=
examples_pg_state=     # empty: not tried; up; or the reason it is not
examples_ran=0 examples_skipped=0

examples_end() {
  local pid
  for pid in "${examples_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${examples_pids[@]}"; do wait "$pid" 2>/dev/null; done
  [[ -n $examples_pg_dir ]] && bash "$src/tests/support/pg_server.sh" stop "$examples_pg_dir"
}

# examples_extract_readme FILE DIR / examples_extract_man FILE DIR: write each
# example of FILE to DIR/N.text, its marks to DIR/N.marks and FILE:LINE to
# DIR/N.where, N counting on from the files already in DIR.
examples_extract_readme() {
  awk -v dir="$2" -v name="$(basename "$1")" -v n="$(examples_count "$2")" '
    !inside && /^ *```(sh|sql)( |$)/ {
      inside = 1; indent = match($0, /[^ ]/) - 1
      info = substr($0, indent + 4); kind = info; sub(/ .*/, "", kind)
      marks = (info ~ / /) ? substr(info, index(info, " ") + 1) : ""
      if (kind == "sql") marks = "sql " marks
      n++; where = name ":" NR; text = ""; next
    }
    inside && /^ *```$/ {
      printf "%s", text >(dir "/" n ".text"); printf "%s\n", marks >(dir "/" n ".marks")
      printf "%s\n", where >(dir "/" n ".where"); inside = 0; next
    }
    inside { line = $0; if (substr(line, 1, indent) ~ /^ *$/) line = substr(line, indent + 1)
             text = text line "\n" }' "$1"
}

examples_extract_man() {
  awk -v dir="$2" -v name="$(basename "$1")" -v n="$(examples_count "$2")" '
    /^\.SH / { section = $0; sub(/^\.SH +/, "", section); gsub(/"/, "", section) }
    /^\.\\" example:/ { marks = $0; sub(/^\.\\" example: */, "", marks); marked = 1; next }
    !inside && /^\.(EX|nf)$/ {
      if (marked || section == "EXAMPLES") {
        inside = 1; n++; text = ""; where = name ":" NR
        if (!marked) marks = ""
      }
      marked = 0; next
    }
    inside && /^\.(EE|fi)$/ {
      printf "%s", text >(dir "/" n ".text"); printf "%s\n", marks >(dir "/" n ".marks")
      printf "%s\n", where >(dir "/" n ".where"); inside = 0; next
    }
    inside { text = text $0 "\n" }' "$1"
  # The roff escapes the pages use in examples, read as the page shows them.
  local file
  for file in "$2"/*.text; do
    perl -0pi -e 's/\\(\(aq|\(dq|-|e|\\|&)/{"(aq"=>"\x27","(dq"=>"\"","-"=>"-","e"=>"\\","\\"=>"\\","&"=>""}->{$1}/ge' "$file"
  done
}

# examples_readme_text INFO KEY: the first block of README.md fenced with
# the info string INFO that holds KEY.
examples_readme_text() {
  awk -v info="$1" -v key="$2" '
    /^ *```/ && !inside { inside = 1; block = ""; fence = $0; sub(/^ *```/, "", fence); next }
    /^ *```$/ && inside { if (fence == info && index(block, key)) { printf "%s", block; exit }
                          inside = 0; next }
    inside { block = block $0 "\n" }' "$src/README.md"
}

examples_count() {
  local files=("$1"/*.text)
  [[ -e ${files[0]} ]] && echo "${#files[@]}" || echo 0
}

# examples_bindable ADDRESS...: succeeds when port 57000 of each can be bound.
examples_bindable() {
  perl -MIO::Socket::INET -e '
    for my $address (@ARGV) {
      IO::Socket::INET->new(LocalAddr => $address, LocalPort => 57000, Proto => "tcp") or exit 1;
    }' "$@"
}

# examples_block OCTETS...: sets block to a network a.b.c of 127/8 whose
# addresses a.b.c.OCTET all bind.
examples_block() {
  local _ octet addresses
  for _ in $(seq 40); do
    next_candidate
    block=${candidate%.*}
    addresses=()
    for octet in "$@"; do addresses+=("$block.$octet"); done
    examples_bindable "${addresses[@]}" && return 0
  done
  return 1
}

# examples_serve LOG FIRST COUNT [ARGS...]: a kesp-sim of the test's on COUNT
# boards from FIRST on, NAND on each, a started board swapped for a fresh one.
examples_serve() {
  local log=$1 first=$2 count=$3
  shift 3
  "$bindir/kesp-sim" --listen "$first" --boards "$count" --nand --swap 300 "$@" 2>"$log" &
  local pid=$!
  examples_pids+=("$pid")
  for _ in {1..100}; do
    grep -q 'listening on' "$log" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "the test's kesp-sim on $first did not start: $(cat "$log")"
  return 1
}

# The files the examples name, in $work/fixture, with a unit record made by
# a station run in line1.db.
examples_fixture() {
  local dir=$work/fixture
  mkdir -p "$dir/data"
  cd "$dir" || return 1
  seq 100000 | head -c 5000 >app.bin
  seq 200000 | head -c 9000 >rootfs.img
  head -c 3000 /dev/zero >boot.bin
  # The recipes and the per-unit data command, as the README shows them.
  { echo '#!/bin/sh'; examples_readme_text sh '$KESP_SERIAL'; } >make-unit-data
  chmod +x make-unit-data
  examples_readme_text text --from-command >unit.recipe
  examples_readme_text '' '# boot loader' >line.recipe
  local file
  for file in make-unit-data unit.recipe line.recipe; do
    (($(wc -l <"$file") > 1)) || { fail "no $file in README.md"; return 1; }
  done
  examples_block 1 2 || { fail "no free loopback addresses for boards.txt"; return 1; }
  examples_serve "$work/boards-sim.log" "$block.1" 2 || return 1
  printf '%s\n' "$block.1" "$block.2" >boards.txt
  for board in "$block.1" "$block.2"; do echo "serial of $board" >"serial-$board.bin"; done
  # The record: KX000042 fails its compare, the units around it pass.
  for n in $(seq 41 60); do cp app.bin "data/KX0000$n.bin"; done
  echo changed >>data/KX000042.bin
  printf '%s\n' '-a 0x10000 app.bin' '-c -a 0x10000 data/{serial}.bin' '-s' >record.recipe
  examples_record line1.db || return 1
  cp "$work/record.jsonl" line.jsonl
  cd - >/dev/null || return 1
}

# examples_record DB: a station of two slots records three units in DB.
examples_record() {
  examples_block 1 2 || { fail "no free loopback addresses for the record's station"; return 1; }
  examples_serve "$work/record-sim-$$.log" "$block.1" 2 || return 1
  local out
  out=$(timeout 60 "$bindir/kesp-batch" --station --settle 0.2 --units 3 --db "$1" \
    --serials 'KX{:06},41-999999' --station-name record -r record.recipe \
    --report "$work/record.jsonl" "$block.1" "$block.2" 2>&1)
  (($? == 1)) || { fail "the station that makes the record in $1: $out"; return 1; }
}

# examples_postgres: the test's server, with the role and database the
# README has its administrator make, and a record in it. Sets
# examples_pg_state to up, or to the reason it is not.
examples_postgres() {
  [[ -n $examples_pg_state ]] && return 0
  # Its own folder, outside $work, which only we may enter.
  examples_pg_dir=$(mktemp -d)
  bash "$src/tests/support/pg_server.sh" start "$examples_pg_dir" "$$" >/dev/null 2>"$work/pg.err"
  case $? in
  0) ;;
  77) examples_pg_state="no PostgreSQL server here: $(cat "$work/pg.err")" examples_pg_dir=
    return 0 ;;
  *) fail "the PostgreSQL server did not start: $(cat "$work/pg.err")"
    examples_pg_state="the server did not start" examples_pg_dir=
    return 0 ;;
  esac
  export PGHOST=$examples_pg_dir PGUSER=postgres PGDATABASE=postgres
  # The socket's folder as the URL's host, percent-encoded, so that the URL
  # stands in a command line without quotes as the plant's does.
  examples_pg_url="postgresql://kesp@${examples_pg_dir//\//%2F}/units"
  examples_pg_state=up
}

# The record in PostgreSQL, made once the database exists: the README's own
# statements make it where an example runs them first.
examples_pg_record() {
  [[ -n ${examples_pg_recorded:-} ]] && return 0
  examples_pg_recorded=1
  if [[ -z $(psql -XAtc "SELECT 1 FROM pg_database WHERE datname = 'units'") ]]; then
    psql -Xq -c "CREATE ROLE kesp LOGIN" -c 'CREATE DATABASE units OWNER kesp' ||
      fail "could not make the database units"
  fi
  cd "$work/fixture" || return 1
  examples_record "$examples_pg_url"
  cd - >/dev/null || return 1
}

# examples_run DIR: runs every example extracted into DIR.
examples_run() {
  local n
  for n in $(seq "$(examples_count "$1")"); do
    examples_one "$(cat "$1/$n.where")" "$(cat "$1/$n.marks")" "$1/$n.text"
  done
  echo "examples: $examples_ran run, $examples_skipped skipped"
}

examples_one() {
  local where=$1 marks=$2 file=$3 want=0 interrupt='' sql='' mark
  for mark in $marks; do
    case $mark in
    skip)
      echo "skipped: $where: ${marks#*skip }"
      examples_skipped=$((examples_skipped + 1))
      return 0 ;;
    status=*) want=${mark#status=} ;;
    interrupt=*) interrupt=${mark#interrupt=} ;;
    sql) sql=1 ;;
    run) ;;
    *) fail "$where: unknown mark $mark" ;;
    esac
  done
  local dir
  dir=$work/run/$(basename "$file" .text)
  mkdir -p "$dir/tmp"
  cp -a "$work/fixture/." "$dir/"
  if [[ -n $sql ]]; then
    examples_sql "$where" "$file" "$dir"
    return 0
  fi
  local text
  text=$(perl -pe 's/(?<![.\w{-])board\b/192.0.2.1/g' "$file")
  text=$(DIR=$dir perl -pe 's|/tmp/|$ENV{DIR}/tmp/|g' <<<"$text")
  if [[ $text == *postgresql://kesp@db.plant/units* || $text == *psql* ]]; then
    examples_postgres
    if [[ $examples_pg_state != up ]]; then
      echo "skipped: $where: $examples_pg_state"
      examples_skipped=$((examples_skipped + 1))
      return 0
    fi
    if [[ $text == *postgresql://kesp@db.plant/units* ]]; then
      examples_pg_record
      text=$(URL=$examples_pg_url perl -pe 's|postgresql://kesp\@db\.plant/units|$ENV{URL}|g' <<<"$text")
    fi
  fi
  # Each network the text names, with the last numbers used in it: literal
  # ones, brace ranges (1{0..7}) and the boards after a --listen.
  local networks network octets serve=()
  networks=$(perl -ne '
    while (/(?<![\d.])(\d+\.\d+\.\d+)\.(\d+)(?:\{(\d+)\.\.(\d+)\})?(?![\d])/g) {
      my ($net, $last, $from, $to) = ($1, $2, $3, $4);
      if (defined $from) { $seen{$net}{"$last$_"} = 1 for $from .. $to } else { $seen{$net}{$last} = 1 }
    }
    while (/--listen +(\d+\.\d+\.\d+)\.(\d+)\s.*?--boards +(\d+)/g) {
      $seen{$1}{$_} = 1 for $2 .. $2 + $3 - 1;
    }
    END { for my $n (sort keys %seen) { print join(" ", $n, sort { $a <=> $b } keys %{$seen{$n}}), "\n" } }' <<<"$text")
  while read -r network octets; do
    [[ -n $network ]] || continue
    # shellcheck disable=SC2086
    if ! examples_block $octets; then
      fail "$where: no free loopback block for $network"
      return 0
    fi
    text=$(NET=$network BLOCK=$block perl -pe 's/(?<![\d.])\Q$ENV{NET}\E\./$ENV{BLOCK}./g' <<<"$text")
    local first=${octets%% *} last=${octets##* }
    serve+=("$block.$first $((last - first + 1))")
  done <<<"$networks"
  if [[ $text != *kesp-sim* ]]; then
    local i
    for i in "${!serve[@]}"; do
      # shellcheck disable=SC2086
      examples_serve "$dir/served-sim-$i.log" ${serve[i]} || return 0
    done
  fi
  examples_ran=$((examples_ran + 1))
  local preamble
  preamble=$(sed -n '/^flash_ok() {$/,/^}$/p' "$src/README.md")
  # errexit: a command that fails midway fails the example, as a reader
  # would see it fail.
  (cd "$dir" && PATH=$bindir:$PATH TMPDIR=$dir/tmp exec timeout -k 5 90 bash -ec "$preamble
$text") >"$dir/out" 2>&1 &
  local group=$! rc started=${EPOCHREALTIME/./}
  if [[ -n $interrupt ]]; then
    for _ in $(seq 600); do
      (($(grep -cE ': unit [0-9]+[ :]' "$dir/out") >= interrupt)) && break
      kill -0 "$group" 2>/dev/null || break
      sleep 0.1
    done
    local pid
    for pid in $(ps -e -o pid=,pgid=,comm= | awk -v g="$group" '$2 == g && $3 == "kesp-batch" { print $1 }'); do
      kill -INT "$pid"
    done
  fi
  wait "$group"
  rc=$?
  kill -TERM -- "-$group" 2>/dev/null
  echo "ran: $where in $(((${EPOCHREALTIME/./} - started) / 1000)) ms, exit $rc"
  if ((rc == want)); then
    rm -rf "$dir"
  else
    fail "$where: the example exits $rc, not $want; as run:
$text
its output:
$(tail -n 30 "$dir/out")"
  fi
}

examples_sql() {
  local where=$1 file=$2 dir=$3 rows
  examples_ran=$((examples_ran + 1))
  echo "ran: $where (SQL)"
  rows=$(cd "$dir" && sqlite3 -bail line1.db <"$file" 2>&1)
  (($? == 0)) && [[ -n $rows ]] || fail "$where: the SQL gives on a record made by a station [$rows]:
$(cat "$file")"
  examples_postgres
  if [[ $examples_pg_state != up ]]; then
    echo "skipped: $where in PostgreSQL: $examples_pg_state"
    return 0
  fi
  examples_pg_record
  rows=$(psql -XAt -v ON_ERROR_STOP=1 -d "$examples_pg_url" -f "$file" 2>&1)
  (($? == 0)) && [[ -n $rows ]] || fail "$where: the SQL gives in PostgreSQL [$rows]:
$(cat "$file")"
}
