#!/usr/bin/env bash
# Times two opera2mbox builds against each other on the same store, in one
# run: `opera2mbox -q` of each, alternating which goes first every round, the
# output removed and `sync` run before every timed run, after one unmeasured
# pass. Prints the median, the fastest and the slowest wall time of each and
# the ratio of the medians.
#
#   bench/compare.sh OLD_OPERA2MBOX NEW_OPERA2MBOX
#   OUT=/dev/shm ROUNDS=11 bench/compare.sh old/cli/opera2mbox build-bench/cli/opera2mbox
#
# Environment: N, ROUNDS (default 7), STORE (an existing store), GEN, and
# OUT (a folder for the output; the tools write to OUT/compare-out).
set -euo pipefail
ROUNDS=${ROUNDS:-7}
. "$(dirname "$0")/common.sh"
[ $# -eq 2 ] || { sed -n 2,12p "$0" >&2; exit 2; }
old=$(readlink -f "$1") new=$(readlink -f "$2")
out=${OUT:-$work}/compare-out # only this folder is ever removed
times=$work/compare-times.txt

bench_need_time
bench_store

run() { # name, binary
  rm -rf "$out"
  mkdir -p "$out"
  sync
  /usr/bin/time -f "$1 %e %U %S %M" -a -o "$times" "$2" -q -o "$out" "$store" >/dev/null
}

: > "$times"
run warmup "$new"
: > "$times"
for round in $(seq 1 "$ROUNDS"); do
  if [ $((round % 2)) -eq 1 ]; then
    run old "$old"; run new "$new"
  else
    run new "$new"; run old "$old"
  fi
done
rm -rf "$out"

python3 - "$times" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
def col(name, i):
    return [float(r[i]) for r in rows if r[0] == name]
print(f"{'build':<6}{'median s':>10}{'fastest':>9}{'slowest':>9}{'user s':>8}{'sys s':>8}{'peak RSS MiB':>14}")
for name in ("old", "new"):
    wall = col(name, 1)
    print(f"{name:<6}{statistics.median(wall):>10.2f}{min(wall):>9.2f}{max(wall):>9.2f}"
          f"{statistics.median(col(name, 2)):>8.2f}{statistics.median(col(name, 3)):>8.2f}"
          f"{statistics.median(col(name, 4)) / 1024:>14.1f}")
print(f"new / old = {statistics.median(col('new', 1)) / statistics.median(col('old', 1)):.2f}")
PY
