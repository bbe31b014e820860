#!/usr/bin/env bash
# Times a batch conversion without a progress display two ways from one
# build: with the second thread that reads sources ahead ("ahead") and one
# source at a time ("in-turn"). Alternating, with the order swapped every
# round, the output on disk and on tmpfs.
#
#   bench/read_ahead.sh                        # N=20000 messages, 5 rounds
#   STORE=/path/to/store ROUNDS=7 bench/read_ahead.sh
#
# Environment: N (messages of the generated store), STORE (a store to use
# instead of generating one), ROUNDS, BUILD_DIR (default <repo>/build-bench),
# DISK_OUT (default <repo>/bench/work) and TMPFS_OUT (default /dev/shm):
# the tools write to <that>/read-ahead-out, which is removed before every run;
# GEN (the store generator, default <repo>/../shared/bench/gen_store.py).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
N=${N:-20000}
ROUNDS=${ROUNDS:-5}
BUILD_DIR=${BUILD_DIR:-$repo/build-bench}
GEN=${GEN:-$repo/../shared/bench/gen_store.py}
DISK_OUT=${DISK_OUT:-$here/work}
TMPFS_OUT=${TMPFS_OUT:-/dev/shm}
work=$here/work
times=$work/read_ahead_times.txt
mkdir -p "$work"

if [ ! -x /usr/bin/time ]; then
  echo "bench: /usr/bin/time is missing (Debian package 'time')" >&2
  exit 1
fi

# The store: the one given, or one generated once per N and kept (as bench/run.sh does).
if [ -n "${STORE:-}" ]; then
  store=$STORE
else
  store_out=$work/store
  store=$store_out/store
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
fi

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DTOVALY_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD_DIR" --target bench_read_ahead -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
exe=$BUILD_DIR/bench/bench_read_ahead

files=$(find "$store" -type f -iname '*.mbs' | wc -l)
store_bytes=$(find "$store" -type f -iname '*.mbs' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
echo "Store: $store ($files files, $store_bytes bytes)"

run() { # place, out-root, mode
  local out=$2/read-ahead-out
  rm -rf "$out"
  mkdir -p "$out"
  sync # the previous run's write-back is not charged to this one
  /usr/bin/time -f '%e %M' -o "$work/time.one" "$exe" "$3" "$out" "$store" >/dev/null
  echo "$1 $3 $(cat "$work/time.one")" >> "$times"
  rm -rf "$out"
}

: > "$times"
# One unmeasured pass so both ways meet the store in the page cache.
run warmup "$TMPFS_OUT" in-turn
: > "$times"
for round in $(seq 1 "$ROUNDS"); do
  echo "Round $round of $ROUNDS..."
  for place in disk tmpfs; do
    root=$DISK_OUT
    [ "$place" = tmpfs ] && root=$TMPFS_OUT
    if [ $((round % 2)) -eq 1 ]; then
      run "$place" "$root" in-turn
      run "$place" "$root" ahead
    else
      run "$place" "$root" ahead
      run "$place" "$root" in-turn
    fi
  done
done

python3 - "$times" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
print()
print(f"{'output':<8}{'way':<10}{'median s':>10}{'min s':>8}{'max s':>8}{'peak RSS MiB':>14}")
verdicts = []
for place in ("disk", "tmpfs"):
    t = {}
    for way in ("in-turn", "ahead"):
        wall = [float(r[2]) for r in rows if r[0] == place and r[1] == way]
        rss = statistics.median(float(r[3]) for r in rows if r[0] == place and r[1] == way) / 1024
        t[way] = statistics.median(wall)
        print(f"{place:<8}{way:<10}{t[way]:>10.2f}{min(wall):>8.2f}{max(wall):>8.2f}{rss:>14.1f}")
    saving = 1 - t["ahead"] / t["in-turn"]
    verdicts.append((place, saving))
print()
for place, saving in verdicts:
    print(f"{place}: read-ahead saves {saving * 100:.1f} % of the wall time (keep it only at >= 15 % in both)")
keep = all(s >= 0.15 for _, s in verdicts)
print("verdict:", "keep the read-ahead" if keep else "one source at a time is enough")
PY
