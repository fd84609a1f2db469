#!/usr/bin/env bash
# The shared library exports exactly the 43 vxclk_ functions and nothing else.
set -euo pipefail
library="$1"
expected=43
symbols=$(nm -D --defined-only "$library" | awk '{print $NF}')
ours=$(grep -c '^vxclk_' <<<"$symbols" || true)
others=$(grep -v '^vxclk_' <<<"$symbols" || true)
if [[ -n "$others" ]]; then
  echo "unexpected exported symbols:"; echo "$others"; exit 1
fi
if [[ "$ours" -ne "$expected" ]]; then
  echo "expected $expected vxclk_ functions, found $ours"; exit 1
fi
echo "exports: $ours vxclk_ functions, nothing else"
