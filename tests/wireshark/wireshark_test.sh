#!/usr/bin/env bash
# Reads captures of the loader protocol with the Wireshark dissector through
# tshark and checks what it shows field by field against the bytes sent:
# first captures written from byte streams (every request kind, every error
# code, the faults the expert infos name and the closes that are none,
# segments of one byte, out of order and across a wrap of the sequence
# numbers, a capture that begins mid-image), read once, twice, without
# relative sequence numbers, without the CRC check and with the plugin
# loaded twice; then, where this user may capture, one of kesp loading
# kesp-sim.
# usage: wireshark_test.sh SOURCE_DIR KESP KESP_SIM
set -u
src=$(realpath "$1") kesp=$(realpath "$2") sim=$(realpath "$3")
. "$(dirname "$0")/../support/testlib.sh"

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
conv 40025   # 25: kesp-batch --expect-id closes after the first reply
c 0000012c
s 0202 $ok 00000000 00000000 00000000
fin c
fin s
conv 40026   # 26: the first reply refuses; the target closes, the client goes on
c 4000012c 00ff0000
s 0101 00000003 00ff0000 0000012c 00000000
c image 100
fin s
c image 100
fin c
conv 40027   # 27: the target closes its side mid-image, the client goes on
c 0000012c
s 0101 $ok 00000000 00000000 00000000
c image 100
fin s
c image 200 100
fin c
conv 40028   # 28: the verdict cut after 6 bytes: flash id and error
c 00000004
s 0101 $ok 00000000 00000000 00000000
c image 4
s 0202 00000005
fin s
conv 40029   # 29: the image's third segment overtakes its second
c 0000012c
s 0101 $ok 00000000 00000000 00000000
c image 300 100
c swap
s 0101 $ok 00000000 0000012c ${crc300#0x}
conv 40030 seq=4294967100   # 30: the same across a wrap of the sequence numbers
c 0000012c
s 0101 $ok 00000000 00000000 00000000
c image 300 100
c swap
s 0101 $ok 00000000 0000012c ${crc300#0x}
conv 40031   # 31: a compare whose flash differs, -c's answer
c 8000012c
s 0101 $ok 00000000 00000000 00000000
c image 300
s 0101 00000004 00000000 0000012c ${crc300#0x}
conv 40032   # 32: the first reply refuses, the verdict says it again
c 0000012c
s 0101 00000005 00000000 0000012c 00000000
c image 300
s 0101 00000005 00000000 0000012c ${crc300#0x}
fin s
EOF
python3 "$(dirname "$0")/loader_pcap.py" "$work/lines.script" "$work/lines.pcap" ||
  { fail "loader_pcap.py failed"; exit 1; }

fields=(header flags.compare flags.address flags.nand length start address reply flash_id error
  reply.address size crc image_crc image_sent image image_offset after_gap partial fragment excess
  after_verdict retransmitted expert.error_reply expert.compare_failed expert.refused
  expert.crc_mismatch expert.early_verdict expert.short_image expert.target_closed
  expert.half_closed expert.before_image expert.cut_reply expert.after_verdict
  expert.excess_image expert.mid_conversation)
# The dissector's own expert messages (TCP's are left out).
ours_re='^(Target |Verdict |Flash differs|Client closed|Reply cut|Bytes after|More image|Capture began)'
# Frames that show anything of the dissector's, one line each: the stream,
# then field=value for every field present (kesp.image as its byte count),
# then the dissector's expert messages.
summary() {
  local args=(-T fields -E header=y -E separator=/t -E occurrence=a -E aggregator='~'
    -e tcp.stream -e _ws.expert.message)
  for field in "${fields[@]}"; do args+=(-e "kesp.$field"); done
  shark "$@" "${args[@]}" 2>"$work/stderr" | awk -F '\t' -v ours="$ours_re" '
    NR == 1 { for (i = 3; i <= NF; i++) name[i] = substr($i, 6); next }
    {
      line = ""
      for (i = 3; i <= NF; i++) {
        if ($i == "") continue
        value = $i
        if (name[i] == "image") value = length(value) / 2
        line = line ";" name[i] "=" value
      }
      n = split($2, messages, "~")
      for (m = 1; m <= n; m++)
        if (messages[m] ~ ours) line = line ";msg=" messages[m]
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

# The stack's own sequence numbers, which wrap in conversation 30, place
# every byte where relative ones do.
absolute=$(summary -o tcp.relative_sequence_numbers:FALSE -r "$work/lines.pcap")
[[ $absolute == "$got" ]] || fail "absolute sequence numbers show other things:
$(diff <(echo "$got") <(echo "$absolute"))"

# The CRC check turned off: no checksum of the bytes sent, so no mismatch,
# and everything else as before.
grep -q 'image_crc=.*expert.crc_mismatch=1' <<<"$got" || fail "no crc mismatch to lose"
unchecked=$(summary -o kesp.check_crc:FALSE -r "$work/lines.pcap")
[[ $unchecked == "$(sed -E 's/;image_crc=0x[0-9a-f]+//; s/;expert\.crc_mismatch=1;msg=Verdict crc [^;]*//' <<<"$got")" ]] ||
  fail "with kesp.check_crc off the dissector shows:
$(diff <(echo "$got") <(echo "$unchecked"))"

# Installed for this user and named by -X as well, as the README's commands
# do: the second copy stays silent and the first shows all.
mkdir -p "$work/installed/.local/lib/wireshark/plugins"
cp "$dissector" "$work/installed/.local/lib/wireshark/plugins/"
twice_loaded=$(HOME=$work/installed XDG_CONFIG_HOME=$work/installed/.config summary -r "$work/lines.pcap")
grep -v '^Running as user' "$work/stderr" | grep -q . &&
  fail "tshark complains with the plugin loaded twice: $(cat "$work/stderr")"
[[ $twice_loaded == "$got" ]] || fail "with the plugin loaded twice the dissector shows:
$(diff <(echo "$got") <(echo "$twice_loaded"))"

# The README's filter for every problem: one frame per fault, with the
# dissector's message, and none for what the exchange explains (the
# --expect-id close at a note, the close after a refusal, a half-close's
# second part, a refusal said again). Frames that only TCP finds fault with
# show as "tcp".
problems=$(shark -r "$work/lines.pcap" -Y 'kesp && _ws.expert.severity >= note' \
  -T fields -E occurrence=a -E aggregator='~' -e tcp.stream -e _ws.expert.message 2>/dev/null |
  awk -F '\t' -v ours="$ours_re" '{
    line = ""
    n = split($2, messages, "~")
    for (m = 1; m <= n; m++) if (messages[m] ~ ours) line = line ";" messages[m]
    print $1 ":" (line == "" ? "tcp" : substr(line, 2))
  }')
want_problems=$(
  cat <<EOF
4:Target reported an error: reprogram error (1)
5:Target reported an error: erase error (2)
6:Target reported an error: invalid address (3)
7:Target reported an error: compare failed (4)
8:Target reported an error: invalid size (5)
9:Target reported an error: no such device (6)
10:Target reported an error: unknown error (7)
11:Target reported an error: invalid address (-3)
12:Target reported an error: unknown error (-2147483648)
13:Verdict crc $wrong300 differs from $crc300, the CRC-32 of the image bytes sent
14:Verdict before the whole image went out: invalid size (5), 100 of 300 bytes sent
15:Reply cut short: 8 of 18 bytes
17:Bytes after the verdict: 3
17:Bytes after the verdict: 1
18:More image bytes than announced: 2 beyond 4
19:tcp
19:tcp
21:Client closed with the image shorter than announced: 100 of 300 bytes sent
23:tcp
23:tcp
24:tcp
24:tcp
25:Client closed after the first reply, before any of 300 image bytes (as kesp-batch --expect-id does for another flash ID)
26:Target refused the request: invalid address (3)
27:Target closed its side after 100 of 300 image bytes
28:Reply cut short: 6 of 18 bytes
29:tcp
29:tcp
30:tcp
30:tcp
31:Flash differs from the image: compare failed (4)
32:Target refused the request: invalid size (5)
EOF
)
[[ $problems == "$want_problems" ]] || fail "the filter for every problem shows:
$(diff <(echo "$want_problems") <(echo "$problems"))"
errors=$(shark -r "$work/lines.pcap" -Y 'kesp && _ws.expert.severity == error' -T fields \
  -e tcp.stream 2>/dev/null)
[[ $errors == 13 ]] || fail "errors in other conversations than the crc mismatch's: $errors"

head300="flags.compare=0;flags.address=0;flags.nand=0;length=300"
first="flash_id=0x0101;error=0;reply.address=0x00000000;size=0;crc=0x00000000"
verdict="reply=2;flash_id=0x0101"  # reply: 0 unknown, 1 first, 2 final
want=$(
  cat <<EOF
0:header=0x4000012c;flags.compare=0;flags.address=1;flags.nand=0;length=300;address=0x00010000
0:reply=1;$first
0:image_sent=256;image=256;image_offset=0
0:image_sent=300;image=44;image_offset=256
0:reply=2;flash_id=0x0000;error=0;reply.address=0x00010000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300
1:header=0x8000012c;flags.compare=1;flags.address=0;flags.nand=0;length=300
1:reply=1;$first
1:image_sent=100;image=100;image_offset=0
1:image_sent=200;image=100;image_offset=100
1:image_sent=300;image=100;image_offset=200
1:reply=2;flash_id=0x0101;error=0;reply.address=0x00000000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300
2:header=0x6000012c;flags.compare=0;flags.address=1;flags.nand=1;length=300;address=0x00200000
2:reply=1;flash_id=0x0202;error=0;reply.address=0x00000000;size=0;crc=0x00000000
2:image_sent=256;image=256;image_offset=0
2:image_sent=300;image=44;image_offset=256
2:reply=2;flash_id=0x0202;error=0;reply.address=0x00200000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300
3:header=0x00000000;flags.compare=0;flags.address=0;flags.nand=0;length=0;start=1
4:$verdict;error=1;reply.address=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: reprogram error (1)
5:$verdict;error=2;reply.address=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: erase error (2)
6:$verdict;error=3;reply.address=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: invalid address (3)
7:$verdict;error=4;reply.address=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: compare failed (4)
8:$verdict;error=5;reply.address=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: invalid size (5)
9:$verdict;error=6;reply.address=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: no such device (6)
10:$verdict;error=7;reply.address=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: unknown error (7)
11:$verdict;error=-3;reply.address=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: invalid address (-3)
12:$verdict;error=-2147483648;reply.address=0x00000100;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;expert.error_reply=1;msg=Target reported an error: unknown error (-2147483648)
13:header=0x0000012c;$head300
13:reply=1;$first
13:image_sent=256;image=256;image_offset=0
13:image_sent=300;image=44;image_offset=256
13:reply=2;flash_id=0x0101;error=0;reply.address=0x00000000;size=300;crc=$wrong300;image_crc=$crc300;image_sent=300;expert.crc_mismatch=1;msg=Verdict crc $wrong300 differs from $crc300, the CRC-32 of the image bytes sent
14:header=0x0000012c;$head300
14:reply=1;$first
14:image_sent=100;image=100;image_offset=0
14:reply=2;flash_id=0x0101;error=5;reply.address=0x00000000;size=100;crc=$crc100;image_crc=$crc100;image_sent=100;expert.early_verdict=1;msg=Verdict before the whole image went out: invalid size (5), 100 of 300 bytes sent
15:header=0x00000004;flags.compare=0;flags.address=0;flags.nand=0;length=4
15:reply=1;$first
15:image_sent=4;image=4;image_offset=0
15:partial=8
15:flash_id=0x0101;error=0;expert.cut_reply=1;msg=Reply cut short: 8 of 18 bytes
16:header=0x40000004;flags.compare=0;flags.address=1;flags.nand=0;length=4;fragment=125~126~127~128
16:address=0x00010000;fragment=129~130~131~132
16:reply=1;$first;fragment=133~134~135~136~137~138~139~140~141~142~143~144~145~146~147~148~149~150
16:image_sent=1;image=1;image_offset=0
16:image_sent=2;image=1;image_offset=1
16:image_sent=3;image=1;image_offset=2
16:image_sent=4;image=1;image_offset=3
16:reply=2;flash_id=0x0101;error=0;reply.address=0x00010000;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;fragment=155~156~157~158~159~160~161~162~163~164~165~166~167~168~169~170~171~172
17:header=0x00000004;flags.compare=0;flags.address=0;flags.nand=0;length=4
17:reply=1;$first
17:image_sent=4;image=4;image_offset=0
17:reply=2;flash_id=0x0101;error=0;reply.address=0x00000000;size=4;crc=$crc4;image_crc=$crc4;image_sent=4;after_verdict=3;expert.after_verdict=1;msg=Bytes after the verdict: 3
17:after_verdict=1;expert.after_verdict=1;msg=Bytes after the verdict: 1
18:header=0x00000004;flags.compare=0;flags.address=0;flags.nand=0;length=4
18:reply=1;$first
18:image_sent=4;image=4;image_offset=0;excess=2;expert.excess_image=1;msg=More image bytes than announced: 2 beyond 4
18:reply=2;flash_id=0x0101;error=0;reply.address=0x00000000;size=4;crc=$crc4;image_crc=$crc4;image_sent=4
19:header=0x00000004;flags.compare=0;flags.address=0;flags.nand=0;length=4
19:reply=1;$first
19:image_sent=2;image=2;image_offset=0
19:image_sent=4;image=2;image_offset=2;retransmitted=1
19:retransmitted=3
19:reply=2;flash_id=0x0101;error=0;reply.address=0x00000000;size=4;crc=$crc4;image_crc=$crc4;image_sent=4
20:image=100;expert.mid_conversation=1;msg=Capture began mid-conversation: its request was not seen
20:reply=2;flash_id=0x0101;error=0;reply.address=0x00000000;size=300;crc=$crc300
21:header=0x0000012c;$head300
21:reply=1;$first
21:image_sent=100;image=100;image_offset=0
21:expert.short_image=1;msg=Client closed with the image shorter than announced: 100 of 300 bytes sent
22:reply=0;flash_id=0x0101;error=0;reply.address=0x00000000;size=0;crc=0x00000000;expert.mid_conversation=1;msg=Capture began mid-conversation: its request was not seen
23:header=0x0000000c;flags.compare=0;flags.address=0;flags.nand=0;length=12
23:reply=1;$first
23:image_sent=4;image=4;image_offset=0
23:image_sent=12;image=4;image_offset=8;after_gap=1
23:reply=2;flash_id=0x0101;error=0;reply.address=0x00000000;size=12;crc=0x00000000;image_sent=12
24:image=4
24:reply=1;$first
25:header=0x0000012c;$head300
25:reply=1;flash_id=0x0202;error=0;reply.address=0x00000000;size=0;crc=0x00000000
25:expert.before_image=1;msg=Client closed after the first reply, before any of 300 image bytes (as kesp-batch --expect-id does for another flash ID)
26:header=0x4000012c;flags.compare=0;flags.address=1;flags.nand=0;length=300;address=0x00ff0000
26:reply=1;flash_id=0x0101;error=3;reply.address=0x00ff0000;size=300;crc=0x00000000;expert.refused=1;msg=Target refused the request: invalid address (3)
26:image_sent=100;image=100;image_offset=0
26:image_sent=200;image=100;image_offset=100
27:header=0x0000012c;$head300
27:reply=1;$first
27:image_sent=100;image=100;image_offset=0
27:expert.target_closed=1;msg=Target closed its side after 100 of 300 image bytes
27:image_sent=200;image=100;image_offset=100;expert.half_closed=1;msg=Target closed its side after 100 of 300 image bytes; the client went on sending
27:image_sent=300;image=100;image_offset=200
28:header=0x00000004;flags.compare=0;flags.address=0;flags.nand=0;length=4
28:reply=1;$first
28:image_sent=4;image=4;image_offset=0
28:partial=6
28:flash_id=0x0202;error=5;expert.cut_reply=1;msg=Reply cut short: 6 of 18 bytes
29:header=0x0000012c;$head300
29:reply=1;$first
29:image_sent=100;image=100;image_offset=0
29:image_sent=300;image=100;image_offset=200;after_gap=1
29:image_sent=300;image=100;image_offset=100
29:reply=2;flash_id=0x0101;error=0;reply.address=0x00000000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300
30:header=0x0000012c;$head300
30:reply=1;$first
30:image_sent=100;image=100;image_offset=0
30:image_sent=300;image=100;image_offset=200;after_gap=1
30:image_sent=300;image=100;image_offset=100
30:reply=2;flash_id=0x0101;error=0;reply.address=0x00000000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300
31:header=0x8000012c;flags.compare=1;flags.address=0;flags.nand=0;length=300
31:reply=1;$first
31:image_sent=256;image=256;image_offset=0
31:image_sent=300;image=44;image_offset=256
31:reply=2;flash_id=0x0101;error=4;reply.address=0x00000000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300;expert.compare_failed=1;msg=Flash differs from the image: compare failed (4)
32:header=0x0000012c;$head300
32:reply=1;flash_id=0x0101;error=5;reply.address=0x00000000;size=300;crc=0x00000000;expert.refused=1;msg=Target refused the request: invalid size (5)
32:image_sent=256;image=256;image_offset=0
32:image_sent=300;image=44;image_offset=256
32:reply=2;flash_id=0x0101;error=5;reply.address=0x00000000;size=300;crc=$crc300;image_crc=$crc300;image_sent=300
EOF
)
# Of the error codes' conversations only the verdicts are listed; the
# one-byte conversation's parts are counted instead: 3 + 3 of the request
# words, 17 + 17 of the replies.
shown=$(awk -F: '($1 >= 4 && $1 <= 12 && $2 !~ /reply=2/) { next }
  $1 == 16 && $2 == "partial=1" { parts++; next }
  { print } END { print "16:parts=" parts + 0 }' <<<"$got")
want+=$'\n16:parts=40'
[[ -n ${KESP_SHOW_GOT:-} ]] && echo "$shown" >"$KESP_SHOW_GOT"
[[ $shown == "$want" ]] || fail "the dissector shows:
$(diff <(echo "$want") <(echo "$shown"))"

# The tree itself: no Lua error anywhere, and the reassembled reply of the
# one-byte conversation in a tab of its own.
tree=$(shark -V -r "$work/lines.pcap" 2>&1)
grep -q 'Lua Error' <<<"$tree" && fail "Lua errors: $(grep -m 3 'Lua Error' <<<"$tree")"
grep -q 'Reply: Final (2) (gathered from segments; 1 bytes in this one)' <<<"$tree" ||
  fail "the one-byte verdict is not shown as gathered"
grep -q 'Start Request: True' <<<"$tree" || fail "the start request is not named"

# The README's walkthrough of a failing line: its board closes its side
# mid-image and the client sends on. Its commands, run as printed with the
# plugin installed for this user, on that capture, print what it shows.
mkdir -p "$work/line"
cat >"$work/line.script" <<EOF
conv 51000
c 00032000
s 0101 $ok 00000000 00000000 00000000
c image 131072 32768
fin s
c image 73728 32768
fin c
EOF
python3 "$(dirname "$0")/loader_pcap.py" "$work/line.script" "$work/line/line.pcapng" ||
  fail "loader_pcap.py failed on the line's capture"
# The commands of the README's block with "$ tshark -r line.pcapng", each
# with the lines it shows, as COMMAND<TAB>OUTPUT records.
line_walk=$(awk '!inside && /^```/ { inside = 1; block = ""; next }
  inside && /^```$/ { if (index(block, "$ tshark -r line.pcapng")) { printf "%s", block; exit } inside = 0; next }
  inside { block = block $0 "\n" }' "$src/README.md")
[[ -n $line_walk ]] || fail "no walkthrough of a failing line in README.md"
run_line_command() {
  [[ -n $command ]] || return 0
  local shown
  shown=$(cd "$work/line" && HOME=$work/installed XDG_CONFIG_HOME=$work/installed/.config \
    sh -c "$command" 2>/dev/null)
  [[ $shown == "$want" ]] || fail "the README's $command shows:
$(diff <(echo "$want") <(echo "$shown"))"
}
command='' want=''
while IFS= read -r line; do
  if [[ $line == '$ '* ]]; then
    run_line_command
    command=${line#\$ } want=''
  else
    want+=${want:+$'\n'}$line
  fi
done <<<"$line_walk"
run_line_command
grep -q "Target closed its side after 131072 of 204800" <<<"$line_walk" ||
  fail "the walkthrough does not show the board's close"

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
grep -q "^0:reply=2;.*;crc=$(printf '0x%08x' "$crc");image_crc=$(printf '0x%08x' "$crc");image_sent=1000$" <<<"$live" ||
  fail "the first load's verdict is not shown with crc $crc on both sides: $live"
for stream in 0 1 2 3 4; do
  grep -q "^$stream:header=" <<<"$live" || fail "no request in conversation $stream: $live"
done
grep -q "^4:header=0x00000000;.*start=1" <<<"$live" || fail "no start request: $live"
grep -Eq 'expert\.(refused|crc_mismatch|early_verdict|short_image|target_closed|half_closed|before_image|cut_reply|after_verdict|excess_image|mid_conversation)' <<<"$live" &&
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
