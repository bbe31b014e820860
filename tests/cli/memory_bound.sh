#!/usr/bin/env bash
# A run needs at most twice its largest message and 50 MB. Under exactly that
# limit (`ulimit -v`, in KB) a 20 MB message and twenty messages whose
# headers GMime reads convert, and the run ends with its summary: no
# allocation failure may end it early.
set -u
exe=$1 work=$2
rm -rf "$work"
mkdir -p "$work/src/many"
fail() { echo "$1"; head -c 2000 "$work/stderr" 2>/dev/null; exit 1; }

# 20 MB: a header only GMime reads, then 1,100,000 lines of 19 bytes.
{ printf 'From: Ann (x) <ann@example.org>, c@d\r\nDate: 5 Mar 24 09:07 EST\r\nSubject: big\r\n\r\n'
  yes $'body line of text\r' | head -n 1100000; } > "$work/src/big.mbs"
groups=$(yes 'g:a@b;' | head -n 2700 | tr -d '\n')
for i in $(seq -w 1 20); do
  printf 'From: %s\r\nDate: 5 Mar 24 09:07 EST\r\nSubject: %s\r\n\r\nbody\r\n' "$groups" "$i" > "$work/src/many/$i.mbs"
done
largest=$(stat -c %s "$work/src/big.mbs")
limit=$(( (2 * largest + 50 * 1024 * 1024) / 1024 ))

(ulimit -v "$limit" && exec "$exe" -q -o "$work/out" "$work/src") >"$work/stdout" 2>"$work/stderr"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status under ulimit -v $limit, expected 0"
grep -q "^Converted 21 messages from 21 source files" "$work/stdout" || fail "not all converted: $(cat "$work/stdout")"
rm -rf "$work"
echo "ok: converted within twice the largest message and 50 MB ($limit KB)"
