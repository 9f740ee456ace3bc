# bash completion for kesp-units

_kesp_units() {
  local cur prev words cword split
  _init_completion -s || return

  case $prev in
  --db)
    _filedir
    return
    ;;
  --by)
    mapfile -t COMPREPLY < <(compgen -W 'station slot day failure class' -- "$cur")
    return
    ;;
  --since | --until | --listen | --silent-after)
    return
    ;;
  esac
  $split && return

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '--db --by --long --utc --since --until --listen --silent-after --help --version' -- "$cur")
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    return
  fi
  # The lookup, then its operand; options may stand anywhere.
  local i command='' operands=0
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
    --db | --by | --since | --until | --listen | --silent-after) ((i++)) ;;
    -*) ;;
    *)
      if [[ -z $command ]]; then
        command=${words[i]}
      else
        ((operands++))
      fi
      ;;
    esac
  done
  if [[ -z $command ]]; then
    mapfile -t COMPREPLY < <(compgen -W 'history yield export serve' -- "$cur")
  elif [[ $command == export ]] && ((operands == 0)); then
    mapfile -t COMPREPLY < <(compgen -W 'units steps' -- "$cur")
  fi
} &&
  complete -F _kesp_units kesp-units
