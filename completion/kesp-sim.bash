# bash completion for kesp-sim

_kesp_sim() {
  local cur prev words cword split
  # -s takes "--opt=value" apart: prev is the option, cur its value.
  _init_completion -s || return
  local with_file=(--nor-file --nand-file --control)
  local with_value=(-l --listen --boards --select --nor-size --nor-block --nor-id --nand-size --nand-block
    --nand-id --idle-timeout --session-limit --first-error --final-error --close-after --reset-after
    --cut-first --cut-final --reply-delay --final-delay --write-delay --erase-time --program-time
    --other-nor-id --swap --bind-device)
  local plain=(-h --help --nand --no-final-reply --trickle)
  # A "--opt=value" that bash did not split at "=" (it is not in
  # COMP_WORDBREAKS) is replaced whole, so the replies carry the option.
  local joined=''
  [[ $split == true && ${COMP_WORDS[COMP_CWORD]} == --*=* ]] && joined=$prev=

  if [[ " ${with_file[*]} " == *" $prev "* ]]; then
    _filedir
    COMPREPLY=("${COMPREPLY[@]/#/$joined}")
    return 0
  fi
  # Sizes, identifiers, error codes and addresses: nothing to offer.
  if [[ $prev == -* && " ${with_value[*]} " == *" $prev "* ]]; then
    return 0
  fi
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${with_file[*]} ${with_value[*]} ${plain[*]}" -- "$cur")
  fi
  return 0
}
complete -F _kesp_sim kesp-sim
