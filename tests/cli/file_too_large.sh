#!/usr/bin/env bash
# A mailbox that would grow past the process's file-size limit fails its
# source with a plain reason; the program is not killed and every mailbox
# left behind holds whole records only.
set -u
exe=$1 samples=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
(ulimit -f 2 && exec "$exe" -q --line-ends=lf -o "$work/out" "$samples") >"$work/stdout" 2>"$work/stderr"
status=$?
fail() { echo "$1"; cat "$work/stderr"; exit 1; }
[ "$status" -eq 1 ] || fail "exit status $status, expected 1"
grep -q "File too large" "$work/stderr" || fail "no 'File too large' reason reported"
while IFS= read -r -d '' box; do
  size=$(stat -c %s "$box")
  [ "$size" -le 2048 ] || fail "$box: $size bytes, past the limit"
  [ "$size" -eq 0 ] || head -c 5 "$box" | grep -q '^From ' || fail "$box: does not start with a record"
  # A whole last record ends in its closing empty line.
  [ "$size" -eq 0 ] || [ "$(tail -c 2 "$box" | od -An -tx1 | tr -d ' ')" = 0a0a ] || fail "$box: last record not whole"
done < <(find "$work/out" -name '*.mbox' -print0)
echo "ok: oversize records refused, mailboxes whole"
