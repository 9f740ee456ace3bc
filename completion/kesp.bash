# bash completion for kesp
#
# kesp takes its options anywhere on the line, so which operand the cursor
# stands on is found by scanning the words the way kesp does: an option word
# whose last letter is "a" swallows the next word as its address, "--" makes
# the next word an operand whatever it looks like, and "-" alone is an operand.

_kesp() {
  local cur prev words cword split
  # -s keeps a file name with "=" in it one word.
  _init_completion -s || return
  local operands=0 forced=0 i word letters

  for ((i = 1; i < cword; i++)); do
    word=${words[i]}
    if [[ $word == -- ]]; then
      # The word after "--" is an operand, even the one being typed.
      if ((i + 1 == cword)); then
        forced=1
        break
      fi
      operands=$((operands + 1)) i=$((i + 1))
    elif [[ $word == -?* && $word != --* ]]; then
      letters=${word#-}
      # Only an "a" that ends its word takes the next word.
      if [[ $letters == *a* && ${letters#*a} == "" ]]; then
        if ((i + 1 == cword)); then
          return 0  # an address: nothing sensible to offer
        fi
        i=$((i + 1))
      fi
    elif [[ $word != --* ]]; then
      operands=$((operands + 1))
    fi
  done

  if [[ $cur == -* ]] && ((!forced)); then
    mapfile -t COMPREPLY < <(compgen -W '-a -c -n -s' -- "$cur")
    return 0
  fi

  case $operands in
    0) mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur") ;;
    1) _filedir ;;
  esac
  return 0
}
complete -F _kesp kesp
