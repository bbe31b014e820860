#!/usr/bin/env bash
# Reading converted mailboxes back: the conversion of a generated store into
# one mailbox per account, then bench_scan on those mailboxes (the mbox reader
# and a SHA-256 of every message against plain reading), all in one run.
#
#   bench/scan.sh                # N=20000 messages, 3 rounds
#   N=2000 ROUNDS=5 bench/scan.sh
#
# Environment as for bench/run.sh: N, ROUNDS, BUILD_DIR, OUT, GEN.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
N=${N:-20000}
ROUNDS=${ROUNDS:-3}
BUILD_DIR=${BUILD_DIR:-$repo/build-bench}
GEN=${GEN:-$repo/../shared/bench/gen_store.py}
work=$here/work
store_out=$work/store
store=$store_out/store
out=${OUT:-$work}/scan-out # only this folder is ever removed

if [ ! -d "$store" ] || [ "$(cat "$store_out/.messages" 2>/dev/null)" != "$N" ]; then
  if [ ! -f "$GEN" ]; then
    echo "bench: store generator not found at $GEN" >&2
    exit 1
  fi
  rm -rf "$store_out"
  echo "Generating a store of $N messages..."
  python3 "$GEN" --out "$store_out" --messages "$N"
  echo "$N" > "$store_out/.messages"
fi

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DTOVALY_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD_DIR" --target opera2mbox bench_scan -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

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
