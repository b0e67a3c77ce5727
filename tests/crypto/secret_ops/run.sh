#!/bin/sh
# run.sh PROGRAM SUPPRESSIONS: PROGRAM under memcheck, any error failing it. Without valgrind the
# test is skipped (77), except under CI=true, where that is a failure.
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind is not installed"
  [ "$CI" = true ] && exit 1
  exit 77
fi
exec valgrind -q --error-exitcode=1 --track-origins=yes --suppressions="$2" "$1"
