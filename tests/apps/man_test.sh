#!/usr/bin/env bash
# Checks the manual pages: groff has nothing to warn about, and what they say
# about command lines, messages and defaults agrees with the programs.
# usage: man_test.sh SOURCE_DIR KESP KESP_SIM KESP_BATCH
set -u
src=$(realpath "$1") kesp=$2 sim=$3 batch=$4
. "$(dirname "$0")/../support/testlib.sh"
. "$(dirname "$0")/../support/examples.sh"
bindir=$(realpath "$(dirname "$batch")")
work=$(mktemp -d)
trap 'examples_end; rm -rf "$work"' EXIT

# The page as plain text, each paragraph on one line and never hyphenated,
# so that a phrase can be searched for whole.
render() {
  LC_ALL=C.UTF-8 MANWIDTH=2000 MANROFFSEQ='' man -E UTF-8 -l "$1" 2>/dev/null
}

# The lines of one section of a rendered page, up to the next section.
section() {
  render "$1" | awk -v name="$2" '/^[A-Z]/ { inside = ($0 == name) ; next } inside'
}

for page in "$src/man/kesp.1" "$src/man/kesp-sim.1" "$src/man/kesp-batch.1"; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man warns about $page: $warnings"
  warnings=$(groff -man -ww -z "$page" 2>&1)
  [[ -z $warnings ]] || fail "groff warns about $page: $warnings"
done

# Each page refers to the other three, and says no aside twice in a row (as
# "(see LOGS) (see LOGS)").
for program in kesp kesp-batch kesp-units kesp-sim; do
  see_also=$(section "$src/man/$program.1" "SEE ALSO")
  for other in kesp kesp-batch kesp-units kesp-sim; do
    [[ $other == "$program" ]] && continue
    grep -qE "(^|[ ,])$other\(1\)" <<<"$see_also" || fail "$program.1's SEE ALSO lacks $other(1): $see_also"
  done
  repeated=$(render "$src/man/$program.1" | grep -oE '(\([^()]+\)) \1|see ([A-Z]+)\) \(see \2\)' | head -n 3)
  [[ -z $repeated ]] || fail "$program.1 repeats itself: $repeated"
done

# kesp: the synopsis says what the usage text says, in the page's notation.
usage=$( (exec -a kesp "$kesp") 2>/dev/null)
synopsis=$(section "$src/man/kesp.1" SYNOPSIS | sed 's/^ *//')
expected=$(head -n 1 <<<"$usage" | sed 's/^usage: //; s/-\[/[-/g; s/[<>]//g')
[[ $synopsis == "$expected" ]] || fail "kesp synopsis [$synopsis], usage says [$expected]"

# The usage text quoted in the page is the program's, byte for byte.
quoted=$(render "$src/man/kesp.1" |
  sed -n '/^ *usage: kesp /,/select nand device/p' | sed 's/^ \{11\}//')
[[ $quoted == "$usage" ]] || fail "kesp page quotes the usage text as:
$quoted
but kesp prints:
$usage"

# Every option of the usage text has its entry under OPTIONS, and no other.
in_usage=$(sed -n 's/^\(-[a-z]\) .*/\1/p' <<<"$usage" | sort | tr '\n' ' ')
in_page=$(section "$src/man/kesp.1" OPTIONS | sed -n 's/^ \{7\}\(-[a-z]\)\b.*/\1/p' |
  sort | tr '\n' ' ')
[[ $in_usage == "$in_page" ]] || fail "kesp options: usage [$in_usage], page [$in_page]"

# Every message kesp can print is explained: the fixed text of each format
# (up to its first conversion), each perror prefix, each error text.
kesp_page=$(render "$src/man/kesp.1")
mapfile -t messages < <(
  grep -ohE '(perror\("[^"]*"|"kesp: [^"%\\]*|stderr, *"[^"%\\]*|return "[^"]*")' \
    "$src"/src/*.cpp |
    sed -E 's/^perror\("(.*)"$/\1: /; s/^stderr, *"//; s/^return "(.*)"$/\1/; s/^"//'
  awk '/^const char \*flash_error_str/,/^}/' "$src/src/wire.cpp" |
    grep -oE '"[^"]+"' | tr -d '"' | grep -vx 'no error')
((${#messages[@]} > 15)) || fail "found only ${#messages[@]} messages in the sources"
for message in "${messages[@]}"; do
  grep -qF -- "$message" <<<"$kesp_page" || fail "kesp page lacks the message [$message]"
done

# kesp-sim: the page's option entries are those of --help, with the same
# argument names, and give the same defaults.
help=$("$sim" --help)
help_options=$(sed -nE 's/^ +((-[a-z], )?--[a-z-]+( [A-Z]+)?).*/\1/p' <<<"$help" | sort)
# A tag shorter than the indent shares its line with the text after it.
page_options=$(section "$src/man/kesp-sim.1" OPTIONS |
  sed -nE 's/^ {7}((-[a-z], )?--[a-z-]+( [A-Z]+)?)( .*)?$/\1/p' | sort)
[[ $help_options == "$page_options" ]] || fail "kesp-sim options differ:
$(diff <(echo "$help_options") <(echo "$page_options"))"
((${#help_options} > 200)) || fail "found too few options in kesp-sim --help"

while read -r option default; do
  text=$(section "$src/man/kesp-sim.1" OPTIONS |
    awk -v tag="$option" '$1 == tag || $2 == tag { getline; print; exit }')
  [[ $text == *"(default $default)"* ]] ||
    fail "kesp-sim page gives $option no default of $default: [$text]"
done < <(sed -nE 's/^ +(-[a-z], )?(--[a-z-]+) .*\(default ([^)]*)\).*/\2 \3/p' <<<"$help")

# kesp-batch: the synopsis is the usage text's, the option entries are those
# of --help with the same argument names, the defaults agree, and every
# field the report can hold is documented.
page=$src/man/kesp-batch.1
help=$("$batch" --help)
usage=$(sed -n '1,/^$/p' <<<"$help" | sed '/^$/d; s/^usage: //; s/^ *//')
synopsis=$(section "$page" SYNOPSIS | sed 's/^ *//')
[[ $synopsis == "$usage" ]] || fail "kesp-batch synopsis [$synopsis], usage says [$usage]"
help_options=$(sed -nE 's/^ +((-[a-z], )?--[a-z-]+( [A-Z]+)?).*/\1/p' <<<"$help" | sort)
page_options=$(section "$page" OPTIONS |
  sed -nE 's/^ {7}((-[a-z], )?--[a-z-]+( [A-Z]+)?)( .*)?$/\1/p' | sort)
[[ $help_options == "$page_options" ]] || fail "kesp-batch options differ:
$(diff <(echo "$help_options") <(echo "$page_options"))"
(($(wc -l <<<"$help_options") > 15)) || fail "found too few options in kesp-batch --help"
while IFS='|' read -r option default; do
  text=$(section "$page" OPTIONS |
    awk -v tag="$option" '$1 == tag || $2 == tag { getline; print; exit }')
  [[ $text == *"(default$default)"* ]] ||
    fail "kesp-batch page gives $option no default of$default: [$text]"
done < <(sed -nE 's/^ +(-[a-z], )?(--[a-z-]+) .*\(default(:? [^)]*)\).*/\2|\3/p' <<<"$help")
fields=$(grep -ohE 'j\["[a-z_]+"\]' "$src"/report/*.cpp "$src"/station/*.cpp | sed -E 's/j\["(.*)"\]/\1/' | sort -u)
(($(wc -l <<<"$fields") > 20)) || fail "found only $(wc -l <<<"$fields") report fields"
report_section=$(section "$page" REPORT)
for field in $fields; do
  grep -qE "(^ {7}|, |^ *The summary object has.*)$field\b" <<<"$report_section" ||
    fail "kesp-batch page does not document the report field $field"
done

# kesp-units, beside kesp-batch in the build: groff is quiet, the synopsis
# is the usage text's, the option entries are those of --help, and every column of the record's schema
# is documented.
units=$(dirname "$batch")/kesp-units
page=$src/man/kesp-units.1
if [[ -x $units ]]; then
  warnings=$(groff -man -ww -z "$page" 2>&1)
  [[ -z $warnings ]] || fail "groff warns about $page: $warnings"
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man warns about $page: $warnings"
  help=$("$units" --help)
  usage=$(sed -n '1,/^$/p' <<<"$help" | sed '/^$/d; s/^usage: //; s/^ *//')
  synopsis=$(section "$page" SYNOPSIS | sed 's/^ *//')
  [[ $synopsis == "$usage" ]] || fail "kesp-units synopsis [$synopsis], usage says [$usage]"
  help_options=$(sed -nE 's/^ +((-[a-z], )?--[a-z-]+( [A-Z:]+)?)  .*/\1/p' <<<"$help" | sort)
  page_options=$(section "$page" OPTIONS |
    sed -nE 's/^ {7}((-[a-z], )?--[a-z-]+( [A-Z:]+)?)( .*)?$/\1/p' | sort)
  [[ $help_options == "$page_options" ]] || fail "kesp-units options differ:
$(diff <(echo "$help_options") <(echo "$page_options"))"
  (($(wc -l <<<"$help_options") >= 6)) || fail "found too few options in kesp-units --help"
  schema=$(section "$page" SCHEMA)
  mapfile -t columns < <(grep -h '^ *"' "$src"/units/store/schema.cpp |
    grep -oE '[a-z_0-9]+ (\{(int|real|id)\}|TEXT)' |
    sed 's/ .*//' | sort -u)
  ((${#columns[@]} > 30)) || fail "found only ${#columns[@]} columns in units/store/schema.cpp"
  for column in "${columns[@]}"; do
    grep -qw -- "$column" <<<"$schema" || fail "kesp-units page does not document the column $column"
  done
else
  fail "no kesp-units beside $batch"
fi

# Every page's examples, each as printed, with what it needs around it.
examples_fixture || exit 1
mkdir "$work/examples"
for page in kesp kesp-batch kesp-units kesp-sim; do
  examples_extract_man "$src/man/$page.1" "$work/examples"
done
(($(examples_count "$work/examples") > 12)) ||
  fail "found only $(examples_count "$work/examples") examples in the manual pages"
examples_run "$work/examples"
((examples_ran >= 10)) || fail "only $examples_ran examples ran"
exit $status
