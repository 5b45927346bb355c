#!/usr/bin/env bash
# Runs one test program for CTest. A program that ends well but skipped a case (its output has a
# "SKIP   :" line) exits 77, which CTest counts as skipped rather than passed; a program that
# failed keeps its failure, whatever else it skipped.
set -u
# Each run starts with empty settings (identity, remembered keys, chat log): what one run left
# behind must not decide the next. Only the build's own test homes are emptied.
for dir in "${XDG_CONFIG_HOME:-}" "${XDG_DATA_HOME:-}"; do
  if [[ "$dir" == */tests/home/*/config || "$dir" == */tests/home/*/data ]]; then
    find "$dir" -mindepth 1 -delete
  fi
done
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
"$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if [[ $status -eq 0 ]] && grep -q '^SKIP   :' "$log"; then
  exit 77
fi
exit "$status"
