#!/usr/bin/env bash
# Fails when a file in a lower folder of core/ includes one from a higher folder.
# The layers, lowest first: core/common (with unix/), core/include/file,
# core/file/unix, core/file, core/backup, core/network/storage/common (tasks),
# core/network/storage/backend (the front end). Nothing in core/ includes
# tools/ or tests/. Reads the sources only; needs no build.
# Usage: bash scripts/check_layers.sh [source root]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

find core -type f \( -name '*.h' -o -name '*.cc' -o -name '*.c' \) -print0 | sort -z |
  xargs -0 grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' |
  awk -F: '
    BEGIN {
      n = split("core/common core/include/file core/file/unix core/file core/backup " \
                "core/network/storage/common core/network/storage/backend", layers, " ")
      failed = 0
    }
    # The index of the deepest layer folder holding `path`; above all layers for
    # tools/ and tests/; 0 for anything else (system and public headers).
    function rank(path,   i, best, best_length) {
      if (path ~ /^(tools|tests)\//) return n + 1
      best = 0; best_length = 0
      for (i = 1; i <= n; i++)
        if (index(path, layers[i] "/") == 1 && length(layers[i]) > best_length) {
          best = i; best_length = length(layers[i])
        }
      return best
    }
    {
      line = $0; sub(/^[^:]*:[^:]*:/, "", line)
      if (!match(line, /"[^"]+"/)) next
      included = substr(line, RSTART + 1, RLENGTH - 2)
      if (rank(included) > rank($1)) {
        printf "%s:%s: includes %s from a higher layer\n", $1, $2, included
        failed = 1
      }
    }
    END { exit failed }'
