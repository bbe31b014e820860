#!/usr/bin/env bash
# Sources whose header or envelope line is built to exhaust memory: a From:
# naming a million mailboxes, an envelope line of ten million one-letter
# fields (at the start of a source and after an empty line), a From: of 20 MB
# with no address. Under a memory limit (the issue's `ulimit -v 250000`, in
# KB) every one converts, the source after them too, and no From line carries
# an absurd sender.
set -u
exe=$1 work=$2 limit=$3
rm -rf "$work"
mkdir -p "$work/src"
fail() { echo "$1"; cat "$work/stderr" 2>/dev/null | head -c 2000; exit 1; }

header=$'Subject: s\r\nDate: Tue, 05 Mar 2024 09:07:03 +0000\r\n\r\nbody\r\n'
fields() { yes "$1" | head -n "$2" | tr -d '\n'; }
{ printf 'From: '; fields 'x@y.z, ' 1000000; printf '\r\n%s' "$header"; } > "$work/src/1_many.mbs"
{ printf 'From '; fields 'a ' 10000000; printf '\r\n%s' "$header"; } > "$work/src/2_envelope.mbs"
# An Opera store file, so the second envelope line splits it.
{ printf 'From - Tue Mar 05 09:07:03 2024\r\nX-Opera-Status: 00\r\n%s\r\nFrom ' "$header"; fields 'a ' 10000000
  printf '\r\nX-Opera-Status: 00\r\n%s' "$header"; } > "$work/src/3_envelope_later.mbs"
{ printf 'From: '; fields 'y' 20000000; printf '\r\n%s' "$header"; } > "$work/src/4_yyyy.mbs"
printf 'From: ann@example.org\r\n%s' "$header" > "$work/src/5_plain.mbs"

[ "$(stat -c %s "$work/src/1_many.mbs")" -gt 7000000 ] || fail "test source not written"

(ulimit -v "$limit" && exec "$exe" -q -o "$work/out" "$work/src") >"$work/stdout" 2>"$work/stderr"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status, expected 0"
grep -q "from 5 source files" "$work/stdout" || fail "not every source converted: $(cat "$work/stdout")"
box=$(find "$work/out" -name 'src.mbox')
[ -n "$box" ] || fail "no mailbox written"
records=$(grep -ac '^From ' "$box")
[ "$records" -eq 6 ] || fail "$records From lines, expected 6"
long=$(grep -a '^From ' "$box" | awk 'length > 400' | wc -l)
[ "$long" -eq 0 ] || fail "$long From lines longer than 400 bytes"
grep -aq '^From x@y.z ' "$box" || fail "the first mailbox of the long From: is not the sender"
grep -aq '^From MAILER-DAEMON ' "$box" || fail "a From: with no address does not fall back"
rm -rf "$work" # 60 MB of sources
echo "ok: hostile headers converted within the memory limit"
