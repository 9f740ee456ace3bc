#!/usr/bin/env bash
# Reads captures of the loader protocol with the Wireshark dissector through
# tshark and checks what it shows field by field against the bytes sent:
# first captures written from byte streams (every request kind, every error
# code, the faults the expert infos name, segments of one byte, a capture
# that begins mid-image), then, where this user may capture, one of kesp
# loading kesp-sim.
# usage: wireshark_test.sh SOURCE_DIR KESP KESP_SIM
set -u
src=$(realpath "$1") kesp=$(realpath "$2") sim=$(realpath "$3")
. "$(dirname "$0")/testlib.sh"

if ! command -v tshark >/dev/null || ! command -v python3 >/dev/null; then
  echo "SKIP: tshark or python3 is not installed (scripts/test installs them)"
  exit 77
fi
work=$(mktemp -d)
sim_pid='' capture_pid=''
cleanup() {
  for pid in $capture_pid $sim_pid; do
    kill -TERM "$pid" 2>/dev/null
    for _ in {1..50}; do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
  done
  wait
  rm -rf "$work"
}
trap cleanup EXIT
dissector=$src/wireshark/kesp.lua
# No user's own plugins or preferences: only the dissector under test.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME"
shark() { tshark -X "lua_script:$dissector" "$@"; }

# The CRC-32 of the generator's image bytes, from an independent source.
crc_of() {
  python3 -c 'import sys, zlib
print("0x%08x" % zlib.crc32(bytes((7 * i + 3) % 256 for i in range(int(sys.argv[1])))))' "$1"
}
crc4=$(crc_of 4) crc100=$(crc_of 100) crc300=$(crc_of 300)
wrong300=$(printf '0x%08x' $((crc300 ^ 1)))
ok=00000000  # error field: no error

# One conversation after another; each is a TCP stream numbered from 0.
cat >"$work/lines.script" <<EOF
conv 40000   # 0: download at 0x10000
c 4000012c 00010000
s 0101 $ok 00000000 00000000 00000000
c image 300
s 0000 $ok 00010000 0000012c ${crc300#0x}
fin c
fin s
conv 40001   # 1: compare, the image in three segments
c 8000012c
s 0101 $ok 00000000 00000000 00000000
c image 300 100
s 0101 $ok 00000000 0000012c ${crc300#0x}
fin c
conv 40002   # 2: NAND at 0x200000
c 6000012c 00200000
s 0202 $ok 00000000 00000000 00000000
c image 300
s 0202 $ok 00200000 0000012c ${crc300#0x}
fin c
conv 40003   # 3: start
c 00000000
fin c
EOF
# 4 to 12: each error code in a verdict, two negative.
codes=(00000001 00000002 00000003 00000004 00000005 00000006 00000007 fffffffd 80000000)
for i in "${!codes[@]}"; do
  cat >>"$work/lines.script" <<EOF
conv $((40100 + i))
c 00000004
s 0101 $ok 00000000 00000000 00000000
c image 4
s 0101 ${codes[i]} 00000100 00000004 ${crc4#0x}
EOF
done
cat >>"$work/lines.script" <<EOF
conv 40013   # 13: the verdict's crc is not that of the bytes sent
c 0000012c
s 0101 $ok 00000000 00000000 00000000
c image 300
s 0101 $ok 00000000 0000012c ${wrong300#0x}
conv 40014   # 14: a verdict after 100 of 300 bytes, then the target closes
c 0000012c
s 0101 $ok 00000000 00000000 00000000
c image 100
s 0101 00000005 00000000 00000064 ${crc100#0x}
fin s
conv 40015   # 15: the verdict cut after 8 bytes
c 00000004
s 0101 $ok 00000000 00000000 00000000
c image 4
s 0101 $ok 0000
fin s
conv 40016   # 16: every byte in a segment of its own
c1 40000004 00010000
s1 0101 $ok 00000000 00000000 00000000
c image 4 1
s1 0101 $ok 00010000 00000004 ${crc4#0x}
conv 40017   # 17: bytes after the verdict, from both sides
c 00000004
s 0101 $ok 00000000 00000000 00000000
c image 4
s 0101 $ok 00000000 00000004 ${crc4#0x} 010203
c 99
conv 40018   # 18: more image bytes than announced
c 00000004
s 0101 $ok 00000000 00000000 00000000
c image 6
s 0101 $ok 00000000 00000004 ${crc4#0x}
conv 40019   # 19: a segment that repeats a byte, then one sent again whole
c 00000004
s 0101 $ok 00000000 00000000 00000000
c image 2
c back 1 0a1118
c again
s 0101 $ok 00000000 00000004 ${crc4#0x}
conv 40020 nosyn   # 20: the capture begins mid-image
c image 100
s 0101 $ok 00000000 0000012c ${crc300#0x}
fin c
conv 40021   # 21: the client gives up after 100 of 300 bytes
c 0000012c
s 0101 $ok 00000000 00000000 00000000
c image 100
fin c
conv 40022 nosyn   # 22: the capture begins with a reply
s 0101 $ok 00000000 00000000 00000000
conv 40023   # 23: the capture lost a segment of the image, then one of a request
c 0000000c
s 0101 $ok 00000000 00000000 00000000
c image 4
c lost 11223344
c 55667788
s 0101 $ok 00000000 0000000c 00000000
fin c
conv 40024   # 24: the capture lost the request
c lost 00000004
c 01020304
s 0101 $ok 00000000 00000000 00000000
EOF
python3 "$(dirname "$0")/loader_pcap.py" "$work/lines.script" "$work/lines.pcap" ||
  { fail "loader_pcap.py failed"; exit 1; }

fields=(header flags.compare flags.address flags.nand length start address reply flash_id error
  error_text addr size crc image_crc image_sent image image_offset fragment excess after_verdict
  retransmitted expert.error_reply expert.crc_mismatch expert.early_verdict expert.short_image
  expert.cut_reply expert.after_verdict expert.excess_image expert.mid_conversation)
# Frames that show anything of the dissector's, one line each: the stream,
# then field=value for every field present, then the dissector's own expert
# messages (TCP's are left out).
summary() {
  local args=(-T fields -E header=y -E separator=/t -E occurrence=a -E aggregator='~'
    -e tcp.stream -e _ws.expert.message)
  for field in "${fields[@]}"; do args+=(-e "kesp.$field"); done
  shark "$@" "${args[@]}" 2>"$work/stderr" | awk -F '\t' '
    NR == 1 { for (i = 3; i <= NF; i++) name[i] = substr($i, 6); next }
    {
      line = ""
      for (i = 3; i <= NF; i++) if ($i != "") line = line ";" name[i] "=" $i
      n = split($2, messages, "~")
      for (m = 1; m <= n; m++)
        if (messages[m] ~ /^(Target reported|Verdict|Connection closed with|Reply cut|Bytes after|More image|Capture began)/)
          line = line ";msg=" messages[m]
      if (line != "") print $1 ":" substr(line, 2)
    }'
}
got=$(summary -r "$work/lines.pcap")
[[ -s $work/stderr ]] && grep -v '^Running as user' "$work/stderr" | grep -q . &&
  fail "tshark complains: $(cat "$work/stderr")"
# Wireshark dissects a frame again whenever it shows it: two passes must
# show what one does, whether the first builds a tree (it does with a read
# filter) or not.
for filter in "" frame; do
  twice=$(summary -2 ${filter:+-R "$filter"} -r "$work/lines.pcap")
  [[ $twice == "$got" ]] || fail "two passes${filter:+ with -R $filter} show other things:
$(diff <(echo "$got") <(echo "$twice"))"
done

head300="flags.compare=0;flags.address=0;flags.nand=0;length=300"
first="flash_id=0x0101;error=0;error_text=no error;addr=0x00000000;size=0;crc=0x00000000"
verdict4="reply=final;flash_id=0x0101"
want=$(
  cat <<EOF
0:header=0x4000012c;flags.compare=0;flags.address=1;flags.nand=0;length=300;address=0x00010000
0:reply=first;$first
0:image_sent=256;image=256;image_offset=0
0:image_sent=300;image=44;image_offset=256
0:reply=final;flash_id=0x0000;error=0;error_text=no error;addr=0x00010000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300
1:header=0x8000012c;flags.compare=1;flags.address=0;flags.nand=0;length=300
1:reply=first;$first
1:image_sent=100;image=100;image_offset=0
1:image_sent=200;image=100;image_offset=100
1:image_sent=300;image=100;image_offset=200
1:reply=final;flash_id=0x0101;error=0;error_text=no error;addr=0x00000000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300
2:header=0x6000012c;flags.compare=0;flags.address=1;flags.nand=1;length=300;address=0x00200000
2:reply=first;flash_id=0x0202;error=0;error_text=no error;addr=0x00000000;size=0;crc=0x00000000
2:image_sent=256;image=256;image_offset=0
2:image_sent=300;image=44;image_offset=256
2:reply=final;flash_id=0x0202;error=0;error_text=no error;addr=0x00200000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300
3:header=0x00000000;flags.compare=0;flags.address=0;flags.nand=0;length=0;start=1
4:$verdict4;error=1;error_text=reprogram error;addr=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: reprogram error (1)
5:$verdict4;error=2;error_text=erase error;addr=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: erase error (2)
6:$verdict4;error=3;error_text=invalid address;addr=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: invalid address (3)
7:$verdict4;error=4;error_text=compare failed;addr=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: compare failed (4)
8:$verdict4;error=5;error_text=invalid size;addr=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: invalid size (5)
9:$verdict4;error=6;error_text=no such device;addr=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: no such device (6)
10:$verdict4;error=7;error_text=unknown error;addr=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: unknown error (7)
11:$verdict4;error=-3;error_text=invalid address;addr=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: invalid address (-3)
12:$verdict4;error=-2147483648;error_text=unknown error;addr=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: unknown error (-2147483648)
13:header=0x0000012c;$head300
13:reply=first;$first
13:image_sent=256;image=256;image_offset=0
13:image_sent=300;image=44;image_offset=256
13:reply=final;flash_id=0x0101;error=0;error_text=no error;addr=0x00000000;size=300;crc=$wrong300;image_crc=$crc300;image_sent=300;expert.crc_mismatch=1;msg=Verdict crc $wrong300 differs from $crc300, the CRC-32 of the image bytes sent
14:header=0x0000012c;$head300
14:reply=first;$first
14:image_sent=100;image=100;image_offset=0
14:reply=final;flash_id=0x0101;error=5;error_text=invalid size;addr=0x00000000;size=100;crc=$crc100;image_crc=$crc100;image_sent=100;expert.error_reply=1;expert.early_verdict=1;msg=Target reported an error: invalid size (5);msg=Verdict before the whole image went out: 100 of 300 bytes sent
14:expert.short_image=1;msg=Connection closed with the image shorter than announced: 100 of 300 bytes sent
15:header=0x00000004;flags.compare=0;flags.address=0;flags.nand=0;length=4
15:reply=first;$first
15:image_sent=4;image=4;image_offset=0
15:fragment=8
15:expert.cut_reply=1;msg=Reply cut short: 8 of 18 bytes
16:header=0x40000004;flags.compare=0;flags.address=1;flags.nand=0;length=4
16:address=0x00010000
16:reply=first;$first
16:image_sent=1;image=1;image_offset=0
16:image_sent=2;image=1;image_offset=1
16:image_sent=3;image=1;image_offset=2
16:image_sent=4;image=1;image_offset=3
16:reply=final;flash_id=0x0101;error=0;error_text=no error;addr=0x00010000;size=4;crc=$crc4;image_crc=$crc4;image_sent=4
17:header=0x00000004;flags.compare=0;flags.address=0;flags.nand=0;length=4
17:reply=first;$first
17:image_sent=4;image=4;image_offset=0
17:reply=final;flash_id=0x0101;error=0;error_text=no error;addr=0x00000000;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;after_verdict=3;expert.after_verdict=1;msg=Bytes after the verdict: 3
17:after_verdict=1;expert.after_verdict=1;msg=Bytes after the verdict: 1
18:header=0x00000004;flags.compare=0;flags.address=0;flags.nand=0;length=4
18:reply=first;$first
18:image_sent=4;image=4;image_offset=0;excess=2;expert.excess_image=1;msg=More image bytes than announced: 2 beyond 4
18:reply=final;flash_id=0x0101;error=0;error_text=no error;addr=0x00000000;size=4;crc=$crc4;image_crc=$crc4;image_sent=4
19:header=0x00000004;flags.compare=0;flags.address=0;flags.nand=0;length=4
19:reply=first;$first
19:image_sent=2;image=2;image_offset=0
19:image_sent=4;image=2;image_offset=2;retransmitted=1
19:reply=final;flash_id=0x0101;error=0;error_text=no error;addr=0x00000000;size=4;crc=$crc4;image_crc=$crc4;image_sent=4
20:image=100;expert.mid_conversation=1;msg=Capture began mid-conversation: its request was not seen
20:reply=final;flash_id=0x0101;error=0;error_text=no error;addr=0x00000000;size=300;crc=$crc300
21:header=0x0000012c;$head300
21:reply=first;$first
21:image_sent=100;image=100;image_offset=0
21:expert.short_image=1;msg=Connection closed with the image shorter than announced: 100 of 300 bytes sent
22:reply=unknown;$first;expert.mid_conversation=1;msg=Capture began mid-conversation: its request was not seen
23:header=0x0000000c;flags.compare=0;flags.address=0;flags.nand=0;length=12
23:reply=first;$first
23:image_sent=4;image=4;image_offset=0
23:image_sent=12;image=4;image_offset=8
23:reply=final;flash_id=0x0101;error=0;error_text=no error;addr=0x00000000;size=12;crc=0x00000000;image_sent=12
24:image=4
24:reply=first;$first
EOF
)
# Of the error codes' conversations only the verdicts are listed; the
# one-byte conversation's parts are counted instead: 3 + 3 of the request
# words, 17 + 17 of the replies.
shown=$(awk -F: '($1 >= 4 && $1 <= 12 && $2 !~ /reply=final/) { next }
  $1 == 16 && $2 == "fragment=1" { parts++; next }
  { print } END { print "16:parts=" parts + 0 }' <<<"$got")
want+=$'\n16:parts=40'
[[ $shown == "$want" ]] || fail "the dissector shows:
$(diff <(echo "$want") <(echo "$shown"))"

# The tree itself: no Lua error anywhere, and the reassembled reply of the
# one-byte conversation in a tab of its own.
tree=$(shark -V -r "$work/lines.pcap" 2>&1)
grep -q 'Lua Error' <<<"$tree" && fail "Lua errors: $(grep -m 3 'Lua Error' <<<"$tree")"
grep -q 'Reply: final (gathered from segments; 1 bytes in this one)' <<<"$tree" ||
  fail "the one-byte verdict is not shown as gathered"
grep -q 'Start request: True' <<<"$tree" || fail "the start request is not named"

# A capture of kesp against kesp-sim: the sim on an address of its own, and
# only that address captured, since other tests use port 57000 at once.
if (($(id -u) != 0)); then
  echo "SKIP: capturing needs root; the captures from byte streams passed"
  ((status == 0)) && exit 77
  exit $status
fi
start_sim "$sim" "$work/sim.log" --nand ||
  { fail "kesp-sim did not start: $(cat "$work/sim.log")"; exit 1; }
# -P -l: a line per packet as it is written, to know when all are in.
tshark -i lo -f "host $sim_addr" -w "$work/live.pcapng" -P -l \
  >"$work/capture.out" 2>"$work/capture.log" &
capture_pid=$!
# The capture may start a while after it says so: UDP datagrams, which
# leave TCP's conversations alone, until one is seen.
for _ in {1..100}; do
  if grep -q 'Capturing on' "$work/capture.log" 2>/dev/null; then
    echo probe 2>/dev/null >"/dev/udp/$sim_addr/9"
    grep -q UDP "$work/capture.out" && break
  fi
  kill -0 "$capture_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q UDP "$work/capture.out"; then
  echo "SKIP: cannot capture on lo here: $(cat "$work/capture.log")"
  ((status == 0)) && exit 77
  exit $status
fi
# What scripts/demo does with its first board, so that the README's
# walkthrough can be run on this capture.
for i in $(seq 40); do printf 'kesp demo image, line %02d\n' "$i"; done >"$work/image.bin"
sed 's/line 17/LINE 17/' "$work/image.bin" >"$work/changed.bin"
load() { timeout 20 "$kesp" "$@" >>"$work/kesp.out" 2>&1; }
load -a 0x10000 "$sim_addr" "$work/image.bin"
load -c -a 0x10000 "$sim_addr" "$work/image.bin"
load -c -a 0x10000 "$sim_addr" "$work/changed.bin"
load -n "$sim_addr" "$work/image.bin"
load -s "$sim_addr"
# Packets reach the capture a while after they were sent; stopping it at
# once would lose them. Each of the five conversations ends with a FIN from
# either side.
for _ in {1..100}; do
  (($(grep -c 'FIN' "$work/capture.out") >= 10)) && break
  sleep 0.1
done
kill -INT "$capture_pid"
for _ in {1..100}; do
  kill -0 "$capture_pid" 2>/dev/null || break
  sleep 0.1
done
wait "$capture_pid" 2>/dev/null
capture_pid=

# Beside kesp's own CRC-32 of the image, and what kesp-sim said.
live=$(summary -r "$work/live.pcapng")
crc=$(sed -n 's/^kesp: crc = \([0-9a-f]*\), .*/0x\1/p' "$work/kesp.out" | head -n 1)
[[ -n $crc ]] || fail "kesp did not load the image: $(cat "$work/kesp.out")"
grep -q "^0:reply=final;.*;crc=$(printf '0x%08x' "$crc");image_crc=$(printf '0x%08x' "$crc");image_sent=1000$" <<<"$live" ||
  fail "the first load's verdict is not shown with crc $crc on both sides: $live"
for stream in 0 1 2 3 4; do
  grep -q "^$stream:header=" <<<"$live" || fail "no request in conversation $stream: $live"
done
grep -q "^4:header=0x00000000;.*start=1" <<<"$live" || fail "no start request: $live"
grep -Eq 'expert\.(crc_mismatch|early_verdict|short_image|cut_reply|after_verdict|excess_image|mid_conversation)' <<<"$live" &&
  fail "a fault in a clean capture: $live"

# The README's walkthrough on this capture: its commands, with the sim's
# address for 127.0.0.1, print what it shows, less the line's boards and
# the station's slots.
walk=$(awk '!inside && /^```/ { inside = 1; block = ""; next }
  inside && /^```$/ { if (index(block, "$ tshark -X lua_script:wireshark/kesp.lua -r demo.pcapng")) { printf "%s", block; exit } inside = 0; next }
  inside { block = block $0 "\n" }' "$src/README.md")
[[ -n $walk ]] || { fail "no tshark walkthrough in README.md"; exit 1; }
ours() { sed -E "/127\.0\.0\.[12][0-9]/d; s/127\.0\.0\.1([^0-9]|\$)/$sim_addr\1/g"; }
command='' want=''
check_command() {
  [[ -n $command ]] || return 0
  local cmd got
  cmd=$(ours <<<"${command//demo.pcapng/$work/live.pcapng}")
  got=$(cd "$src" && sh -c "$cmd" 2>/dev/null)
  [[ $got == "$(ours <<<"$want")" ]] || fail "the README's $command
shows:
$got"
}
while IFS= read -r line; do
  if [[ $line == '$ '* ]]; then
    check_command
    command=${line#\$ } want=''
  else
    want+=${want:+$'\n'}$line
  fi
done <<<"$walk"
check_command
exit $status
