# bash completion for kestrelctl: commands and subcommands, the global options,
# each command's own options, and file names where a command takes a file.
# Installed as share/bash-completion/completions/kestrelctl.

_kestrelctl() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  # The command tree, keyed by the words that lead to a group.
  local -A children=(
    [kestrelctl]="info clock plan power divider source fm tx2 calibration config reg memory sweep run demo"
    [kestrelctl power]="tx1 tx2"
    [kestrelctl fm]="enable disable rate custom amplitude skew rj"
    [kestrelctl tx2]="pm buj am"
    [kestrelctl tx2 pm]="enable disable frequency amplitude phase-shift rj buj"
    [kestrelctl tx2 pm rj]="enable disable amplitude"
    [kestrelctl tx2 pm buj]="enable disable amplitude line-rate"
    [kestrelctl tx2 buj]="amplitude prbs pattern"
    [kestrelctl tx2 am]="enable disable amplitude rj"
    [kestrelctl tx2 am rj]="amplitude"
    [kestrelctl calibration]="none board file limits save"
    [kestrelctl reg]="read write"
    [kestrelctl memory]="read write"
    [kestrelctl sweep]="list linear abort status"
  )
  local -A options=([kestrelctl plan]="--reference --option" [kestrelctl run]="--keep-going"
                    [kestrelctl sweep list]="--dwell --wait" [kestrelctl sweep linear]="--dwell --wait")
  local globals="--board --sim --json --trace --help"

  # '=' breaks words in bash: "--trace=FI" arrives as "--trace" "=" "FI".
  if [[ $prev == "=" && ${COMP_WORDS[COMP_CWORD-2]} == --trace ]] || [[ $cur == "=" && $prev == --trace ]]; then
    [[ $cur == "=" ]] && cur=""
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    return
  fi
  # An address is not something to guess.
  [[ $prev == --board ]] && { COMPREPLY=(); return; }

  local path=kestrelctl word i arguments=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $word in
      --board) ((i++)) ;;
      -* | =) ;;
      *)
        if [[ " ${children[$path]} " == *" $word "* ]]; then
          path="$path $word"
        else
          ((arguments++))
        fi
        ;;
    esac
  done

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$globals ${options[$path]}" -- "$cur")
  elif [[ -n ${children[$path]} ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${children[$path]}" -- "$cur")
  elif [[ $arguments -eq 0 && ($path == "kestrelctl run" || $path == "kestrelctl calibration file") ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  else
    COMPREPLY=()
  fi
}
complete -F _kestrelctl kestrelctl
