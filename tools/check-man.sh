#!/bin/sh
# Checks the manual pages given as arguments: each must format with groff's
# man macros without a single warning, and say something.
set -eu
status=0
for page in "$@"; do
  warnings=$(groff -k -man -ww -z -Tutf8 "$page" 2>&1) || status=1
  if [ -n "$warnings" ]; then
    echo "$page:"; echo "$warnings"; status=1
  fi
  lines=$(groff -k -man -Tutf8 "$page" 2>/dev/null | wc -l)
  if [ "$lines" -lt 20 ]; then
    echo "$page: formats to only $lines lines"; status=1
  fi
done
exit $status
