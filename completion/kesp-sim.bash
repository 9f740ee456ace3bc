# bash completion for kesp-sim

_kesp_sim() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  local with_file=(--nor-file --nand-file)
  local with_value=(-l --listen --boards --select --nor-size --nor-block --nor-id --nand-size --nand-block
    --nand-id --idle-timeout --session-limit --first-error --final-error --close-after --reset-after
    --cut-first --cut-final --reply-delay --final-delay --write-delay)
  local plain=(-h --help --nand --no-final-reply --trickle)
  local option joined=''
  COMPREPLY=()

  # "--opt=value" comes in three shapes: bash splits at "=" when it is in
  # COMP_WORDBREAKS (the default), so the cursor stands on the "=" or on the
  # word after it; otherwise "--opt=value" is one word.
  if [[ $cur == --*=* ]]; then
    option=${cur%%=*} joined=${cur%%=*}= cur=${cur#*=}
  elif [[ $cur == = && $prev == --* ]]; then
    option=$prev cur=''
  elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
    option=${COMP_WORDS[COMP_CWORD - 2]}
  else
    option=$prev
  fi

  if [[ " ${with_file[*]} " == *" $option "* ]]; then
    compopt -o filenames 2>/dev/null  # fails outside a completion; harmless
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    COMPREPLY=("${COMPREPLY[@]/#/$joined}")
    return 0
  fi
  # Sizes, identifiers, error codes and addresses: nothing to offer.
  if [[ $option == -* && " ${with_value[*]} " == *" $option "* ]]; then
    return 0
  fi
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${with_file[*]} ${with_value[*]} ${plain[*]}" -- "$cur")
  fi
  return 0
}
complete -F _kesp_sim kesp-sim
