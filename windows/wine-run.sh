#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest and for test discovery:
#   windows/wine-run.sh PROGRAM.exe ARGUMENTS...
#
# The program's output goes to files and is copied out once it has ended. A
# Wine helper (a device host, the desktop) started on the program's behalf
# inherits its standard streams and can outlive it; on CTest's pipe that left
# a passed test waiting until its timeout.
#
# A program that fails without having printed a byte never got as far as its
# own main(): Wine did not start it. It is started once more; a program that
# really fails that way fails twice and is reported.
set -u
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 125
err=$out.err
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2; do
  wine "$@" >"$out" 2>"$err"
  status=$?
  [ "$status" = 0 ] || [ -s "$out" ] || [ -s "$err" ] || [ "$attempt" = 2 ] || {
    echo "wine-run: $1 ended with status $status before printing anything; starting it again" >&2
    continue
  }
  break
done
cat "$out"
cat "$err" >&2
[ "$status" = 0 ] || [ -s "$out" ] || [ -s "$err" ] ||
  echo "wine-run: $1 ended with status $status, twice, without printing anything" >&2
exit "$status"
