#!/bin/sh
# The hand-written manual page documents every option the program's --help lists, and groff
# reads it without a warning.
set -eu
program=$1
page=$2
status=0
for option in $("$program" --help | sed -n 's/^  --\([a-z0-9-]*\).*/\1/p'); do
  # In the page's source every dash is written \-.
  written=$(printf '%s' "--$option" | sed 's/-/\\-/g')
  if ! grep -qF -- "$written" "$page"; then
    echo "$page: --$option is not documented"
    status=1
  fi
done
warnings=$(groff -t -man -ww -z -Tutf8 "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings"
  status=1
fi
exit $status
