#!/usr/bin/env bash
# Reading converted mailboxes back: the conversion of a generated store into
# one mailbox per account, then bench_scan on those mailboxes (the mbox reader
# and an XXH3-128 digest of every message against plain reading), all in one run.
#
#   bench/scan.sh                # N=20000 messages, 3 rounds
#   N=2000 ROUNDS=5 bench/scan.sh
#
# Environment as for bench/run.sh: N, ROUNDS, BUILD_DIR, OUT, GEN.
set -euo pipefail

. "$(dirname "$0")/common.sh"
out=${OUT:-$work}/scan-out # only this folder is ever removed

bench_generated_store
bench_build opera2mbox bench_scan

convert_times=()
for round in $(seq 1 "$ROUNDS"); do
  rm -rf "$out"
  start=$(date +%s.%N)
  "$BUILD_DIR/cli/opera2mbox" -q --mailbox-per=account -o "$out" "$store" >/dev/null
  end=$(date +%s.%N)
  convert_times+=("$(python3 -c "print($end - $start)")")
done
convert=$(printf '%s\n' "${convert_times[@]}" | sort -g | sed -n "$(( (ROUNDS + 1) / 2 ))p")
echo "opera2mbox --mailbox-per=account: median $convert s over $ROUNDS rounds"

mapfile -t mailboxes < <(find "$out" -name '*.mbox' | sort)
result=$("$BUILD_DIR/bench/bench_scan" "$ROUNDS" "${mailboxes[@]}")
echo "$result"
scan=$(echo "$result" | awk '/^scan \+ hash/ { print $4 }')
echo "scan / conversion = $(python3 -c "print(f'{$scan / $convert:.2f}')")"
