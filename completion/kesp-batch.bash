# bash completion for kesp-batch
#
# Operands are boards, so a word that is not an option's value gets host
# names; what follows an option depends on the argument --help names for it.

_kesp_batch() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  local with_file=(-i --image -r --recipe -b --boards --report --junit)
  local with_dir=(--log-dir)
  local with_value=(-a --address -j --jobs --retries --connect-timeout --step-timeout)
  local plain=(-n --nand -c --compare --verify -s --start --dry-run -q --quiet -h --help
    --version)
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
  if [[ " ${with_dir[*]} " == *" $option "* ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    COMPREPLY=("${COMPREPLY[@]/#/$joined}")
    return 0
  fi
  # Addresses, counts and seconds: nothing to offer.
  if [[ $option == -* && " ${with_value[*]} " == *" $option "* ]]; then
    return 0
  fi
  if [[ $cur == -* ]]; then
    local all="${with_file[*]} ${with_dir[*]} ${with_value[*]} ${plain[*]}"
    mapfile -t COMPREPLY < <(compgen -W "$all" -- "$cur")
    return 0
  fi
  mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
  return 0
}
complete -F _kesp_batch kesp-batch
