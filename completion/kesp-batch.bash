# bash completion for kesp-batch
#
# Operands are boards, so a word that is not an option's value gets host
# names; what follows an option depends on the argument --help names for it.

_kesp_batch() {
  local cur prev words cword split
  # -s takes "--opt=value" apart: prev is the option, cur its value.
  _init_completion -s || return
  local with_file=(-i --image -r --recipe -b --boards --report --junit)
  local with_dir=(--log-dir)
  local with_value=(-a --address -j --jobs --retries --connect-timeout --step-timeout --expect-id
    --expect-nand-id --settle --units --db --serials --station-name --data-timeout)
  local plain=(-n --nand -c --compare --verify -s --start --dry-run --station -q --quiet -h --help
    --version)
  # A "--opt=value" that bash did not split at "=" (it is not in
  # COMP_WORDBREAKS) is replaced whole, so the replies carry the option.
  local joined=''
  [[ $split == true && ${COMP_WORDS[COMP_CWORD]} == --*=* ]] && joined=$prev=

  if [[ " ${with_file[*]} " == *" $prev "* ]]; then
    _filedir
    COMPREPLY=("${COMPREPLY[@]/#/$joined}")
    return 0
  fi
  if [[ " ${with_dir[*]} " == *" $prev "* ]]; then
    _filedir -d
    COMPREPLY=("${COMPREPLY[@]/#/$joined}")
    return 0
  fi
  # Addresses, counts and seconds: nothing to offer.
  if [[ $prev == -* && " ${with_value[*]} " == *" $prev "* ]]; then
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
