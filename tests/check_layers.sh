#!/usr/bin/env bash
# Includes run one way: api -> device -> synth / config / link -> platform /
# protocol. A folder may include its own headers and those of any folder
# below it, never one beside or above it; the emulator (sim/) sees only
# protocol and platform, and nothing in src/ sees the emulator. Prints every
# include against the direction and fails when there is one.
set -uo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2

rank() {
  case $1 in
    api) echo 3 ;;
    device) echo 2 ;;
    synth | config | link) echo 1 ;;
    platform | protocol) echo 0 ;;
    *) echo -1 ;;
  esac
}

bad=0
report() {
  echo "$1: includes \"$2\" against the direction"
  bad=1
}

while IFS=: read -r file _ target; do
  from=${file#src/}
  from=${from%%/*}
  to=${target%%/*}
  if [[ $target == KestrelLib.h ]]; then
    [[ $from == api ]] || report "$file" "$target"
    continue
  fi
  [[ $target == */* ]] || continue  # a header beside the file, or a system header in quotes
  [[ $to == "$from" ]] && continue
  from_rank=$(rank "$from")
  to_rank=$(rank "$to")
  if ((to_rank < 0 || to_rank >= from_rank)); then report "$file" "$target"; fi
done < <(grep -rHnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' src --include='*.h' --include='*.cpp' |
  sed -E 's/:[0-9]+:[^"]*"([^"]+)"$/:x:\1/')

# The emulator uses the board's facts and the sockets, nothing of the library.
while IFS=: read -r file _ target; do
  to=${target%%/*}
  [[ $target == */* ]] || continue
  [[ $to == protocol || $to == platform ]] || report "$file" "$target"
done < <(grep -rHnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' sim --include='*.h' --include='*.cpp' |
  sed -E 's/:[0-9]+:[^"]*"([^"]+)"$/:x:\1/')

if ((bad)); then exit 1; fi
echo "every include runs with the direction"
