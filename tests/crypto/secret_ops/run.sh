#!/bin/sh
# run.sh PROGRAM SUPPRESSIONS: under memcheck, any error failing it; without valgrind a skip (77),
# or a failure under CI=true.
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind is not installed"
  [ "$CI" = true ] && exit 1
  exit 77
fi
exec valgrind -q --error-exitcode=1 --track-origins=yes --suppressions="$2" "$1"
