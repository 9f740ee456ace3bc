#!/usr/bin/env bash
# Checks the bash completions the way bash drives them: bash-completion
# loaded, COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT set, the function
# called, COMPREPLY compared.
# usage: completion_test.sh SOURCE_DIR KESP KESP_SIM KESP_BATCH
set -u
src=$(realpath "$1") kesp=$(realpath "$2") sim=$(realpath "$3") batch=$(realpath "$4")
. "$(dirname "$0")/../support/testlib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/files" "$work/files/apps"
cd "$work/files" || exit 1
touch app.bin apt.img
printf '127.0.0.1 board1 board2\n127.0.0.2 bench\n' >"$work/hosts"
# Read when a host name is first completed, so it must be set before.
HOSTFILE=$work/hosts

# The scripts build on bash-completion's helpers, which bash loads first.
bash_completion=/usr/share/bash-completion/bash_completion
[ -r "$bash_completion" ] || fail "no $bash_completion: install bash-completion"
. "$bash_completion"
. "$src/completion/kesp.bash"
. "$src/completion/kesp-sim.bash"
. "$src/completion/kesp-batch.bash"

# expect FUNCTION "EXPECTED" WORD...: completes the last word; EXPECTED is
# the sorted replies, separated by blanks. A word "=" is where bash split
# "--opt=value" at the "=", so the line has no blanks around it.
expect() {
  local func=$1 want=$2 word before=''
  shift 2
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE=''
  for word in "$@"; do
    if [[ -z $COMP_LINE ]]; then
      COMP_LINE=$word
    elif [[ $word == = || $before == = ]]; then
      COMP_LINE+=$word
    else
      COMP_LINE+=" $word"
    fi
    before=$word
  done
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=(unset)
  "$func"
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  got=${got% }
  [[ $got == "$want" ]] || fail "$func on [$*]: got [$got], want [$want]"
}

hosts='bench board1 board2'
files='app.bin apps apt.img'

# kesp: its options come from its usage text.
kesp_options=$( (exec -a kesp "$kesp") | sed -n 's/^\(-[a-z]\) .*/\1/p' | sort | tr '\n' ' ')
kesp_options=${kesp_options% }
[[ $kesp_options == *-a* ]] || fail "no options found in the usage text of $kesp"

while IFS='|' read -r want words; do
  [[ $want == hosts ]] && want=$hosts
  [[ $want == files ]] && want=$files
  [[ $want == options ]] && want=$kesp_options
  read -ra line <<<"$words"
  # A trailing blank, or no word at all: the cursor is on an empty word.
  [[ $words == *' ' || -z $words ]] && line+=('')
  expect _kesp "$want" kesp "${line[@]}"
done <<'EOF'
options|-
hosts|
board1 board2|bo
|zz
files|board1 a
files|board1 -c a
files|-a 0x100 board1 a
files|- a
|board1 app.bin 
|-a 
|-n -ca 
hosts|-a -c 
hosts|-a0x10 b
hosts|-ac b
hosts|-a 0x10 --long b
files|-- -x a
|-c -- -
|board1 -- -c -- bo
EOF

# kesp-sim: every option of --help is offered, and what follows an option
# depends on the argument --help names for it.
declare -A arg_of
while read -r first second third; do
  if [[ $first == -?, ]]; then
    arg_of[${first%,}]=$third arg_of[$second]=$third
  else
    arg_of[$first]=$second
  fi
done < <("$sim" --help | sed -nE 's/^ +(-[a-z], )?(--[a-z-]+)( ([A-Z]+))?  .*/\1\2 \4/p')
((${#arg_of[@]} > 10)) || fail "found only ${#arg_of[@]} options in kesp-sim --help"
sim_options=$(printf '%s\n' "${!arg_of[@]}" | sort | tr '\n' ' ')
sim_options=${sim_options% }

expect _kesp_sim "$sim_options" kesp-sim -
for option in "${!arg_of[@]}"; do
  case ${arg_of[$option]} in
    PATH)
      expect _kesp_sim "$files" kesp-sim "$option" ''
      expect _kesp_sim "$files" kesp-sim --nand "$option" a
      [[ $option == --* ]] || continue
      # "--opt=value", split at "=" or not.
      expect _kesp_sim "$files" kesp-sim "$option" = ''
      expect _kesp_sim "$files" kesp-sim "$option" = a
      expect _kesp_sim "$option=app.bin $option=apps $option=apt.img" kesp-sim "$option=a"
      ;;
    '')
      expect _kesp_sim "$sim_options" kesp-sim "$option" -
      expect _kesp_sim '' kesp-sim "$option" ''
      ;;
    *)
      expect _kesp_sim '' kesp-sim "$option" ''
      expect _kesp_sim '' kesp-sim "$option" -
      [[ $option == --* ]] || continue
      expect _kesp_sim '' kesp-sim "$option" = ''
      expect _kesp_sim '' kesp-sim "$option=a"
      ;;
  esac
done
expect _kesp_sim '--nand --nand-block --nand-file --nand-id --nand-size' kesp-sim --trickle --nand

# kesp-batch: every option of --help; files, folders or nothing after an
# option by the argument --help names for it; boards elsewhere.
declare -A batch_arg
while read -r first second third; do
  if [[ $first == -?, ]]; then
    batch_arg[${first%,}]=$third batch_arg[$second]=$third
  else
    batch_arg[$first]=$second
  fi
done < <("$batch" --help | sed -nE 's/^ +(-[a-z], )?(--[a-z-]+)( ([A-Z]+))? .*/\1\2 \4/p')
((${#batch_arg[@]} > 20)) || fail "found only ${#batch_arg[@]} options in kesp-batch --help"
batch_options=$(printf '%s\n' "${!batch_arg[@]}" | sort | tr '\n' ' ')
batch_options=${batch_options% }
expect _kesp_batch "$batch_options" kesp-batch -
expect _kesp_batch "$hosts" kesp-batch -i app.bin ''
expect _kesp_batch 'board1 board2' kesp-batch -q bo
for option in "${!batch_arg[@]}"; do
  case ${batch_arg[$option]} in
    FILE)
      expect _kesp_batch "$files" kesp-batch "$option" ''
      [[ $option == --* ]] || continue
      expect _kesp_batch "$files" kesp-batch "$option" = a
      expect _kesp_batch "$option=app.bin $option=apps $option=apt.img" kesp-batch "$option=a"
      ;;
    DIR)
      expect _kesp_batch apps kesp-batch "$option" a
      expect _kesp_batch "$option=apps" kesp-batch "$option=a"
      ;;
    '')
      expect _kesp_batch "$hosts" kesp-batch "$option" ''
      ;;
    *)
      expect _kesp_batch '' kesp-batch "$option" ''
      [[ $option == --* ]] || continue
      expect _kesp_batch '' kesp-batch "$option=1"
      ;;
  esac
done

# kesp-units: through bash-completion's own helpers, as installed
# completions use them; COMP_LINE and COMP_POINT as bash sets them.
units=$(dirname "$batch")/kesp-units
if [[ -x $units && -r /usr/share/bash-completion/bash_completion ]]; then
  (
    . /usr/share/bash-completion/bash_completion
    . "$src/completion/kesp-units.bash"
    expect_units() {
      local want=$1
      shift
      COMP_WORDS=("$@")
      COMP_CWORD=$(($# - 1))
      COMP_LINE="$*"
      COMP_POINT=${#COMP_LINE}
      COMPREPLY=(unset)
      _kesp_units
      local got
      got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
      got=${got% }
      [[ $got == "$want" ]] || fail "_kesp_units on [$*]: got [$got], want [$want]"
    }
    units_options=$("$units" --help | sed -nE 's/^ +(-[a-z], )?(--[a-z-]+).*/\2/p' | sort | tr '\n' ' ')
    units_options=${units_options% }
    [[ $units_options == *--db* ]] || fail "no options found in kesp-units --help"
    while IFS='|' read -r want words; do
      [[ $want == files ]] && want=$files
      [[ $want == options ]] && want=$units_options
      read -ra line <<<"$words"
      [[ $words == *' ' || -z $words ]] && line+=('')
      expect_units "$want" kesp-units "${line[@]}"
    done <<'EOF'
options|--
export history serve yield|
export history serve yield|--db x.db 
history|--db x.db h
files|--db a
class day failure slot station|yield --by 
slot station|yield --by s
|yield --since 
steps units|--db x.db export 
units|export --since 2026-12-01 u
|history KX1 
|export units 
EOF
    complete -p kesp-units >/dev/null 2>&1 || fail "kesp-units.bash registers no completion"
    exit $status
  ) || status=1
else
  echo "kesp-units completion not checked: no kesp-units beside kesp-batch, or no bash-completion"
fi

complete -p kesp >/dev/null 2>&1 || fail "kesp.bash registers no completion for kesp"
complete -p kesp-batch >/dev/null 2>&1 || fail "kesp-batch.bash registers no completion"
complete -p kesp-sim >/dev/null 2>&1 || fail "kesp-sim.bash registers no completion for kesp-sim"
exit $status
