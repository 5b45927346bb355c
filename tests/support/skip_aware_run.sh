#!/usr/bin/env bash
# Runs one test program for CTest. A program that ends well but skipped a case (its output has a
# "SKIP   :" line) exits 77, which CTest counts as skipped rather than passed; a program that
# failed keeps its failure, whatever else it skipped.
set -u
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
"$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if [[ $status -eq 0 ]] && grep -q '^SKIP   :' "$log"; then
  exit 77
fi
exit "$status"
