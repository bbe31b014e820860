#!/usr/bin/env bash
# Measures a rerun with --skip-existing over a finished output against the
# first run that wrote it, side by side in the same rounds, on a generated
# store: the rerun reads every mailbox back and every source, and adds
# nothing.
#
#   bench/skip_existing.sh                 # N=20000 messages, 3 rounds
#   STORE=/path/to/store bench/skip_existing.sh
#
# Environment: N (messages of the generated store), STORE (a store to use
# instead of generating one), ROUNDS, LAYOUT (--mailbox-per, default
# folder), BUILD_DIR (default <repo>/build-bench), OUT (a folder for the
# output; the tool writes to OUT/skip-out, which is removed before every
# round), GEN (the store generator, default <repo>/../shared/bench/gen_store.py).
set -euo pipefail

. "$(dirname "$0")/common.sh"
LAYOUT=${LAYOUT:-folder}
out=${OUT:-$work}/skip-out # only this folder is ever removed
times=$work/skip-times.txt

bench_need_time
# The store: the one given, or the generated one (shared with bench/run.sh).
bench_store
bench_build opera2mbox
opera2mbox=$BUILD_DIR/cli/opera2mbox

files=$(find "$store" -type f -iname '*.mbs' | wc -l)
echo "Store: $files files; layout $LAYOUT"

measure() { # name, stdout file, command...
  local name=$1 stdout=$2
  shift 2
  /usr/bin/time -f '%e %M' -o "$work/skip-time.one" "$@" >"$stdout"
  echo "$name $(cat "$work/skip-time.one")" >> "$times"
}

: > "$times"
# One unmeasured pass so the store is in the page cache.
rm -rf "$out"
"$opera2mbox" -q --mailbox-per="$LAYOUT" -o "$out" "$store" >/dev/null
for round in $(seq 1 "$ROUNDS"); do
  echo "Round $round of $ROUNDS..."
  rm -rf "$out"
  measure first "$work/skip-first.txt" "$opera2mbox" -q --mailbox-per="$LAYOUT" -o "$out" "$store"
  measure skip "$work/skip-rerun.txt" "$opera2mbox" -q --mailbox-per="$LAYOUT" --skip-existing -o "$out" "$store"
  cat "$work/skip-first.txt" "$work/skip-rerun.txt"
  if ! grep -q "^Converted 0 messages .*; $files already present\.$" "$work/skip-rerun.txt"; then
    echo "bench: the rerun added messages or missed some" >&2
    exit 1
  fi
done
rm -rf "$out"

python3 - "$times" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
t = {n: statistics.median(float(r[1]) for r in rows if r[0] == n) for n in ("first", "skip")}
rss = {n: statistics.median(float(r[2]) for r in rows if r[0] == n) / 1024 for n in t}
print()
print(f"{'run':<22}{'median s':>10}{'peak RSS MiB':>14}")
print(f"{'first run':<22}{t['first']:>10.2f}{rss['first']:>14.1f}")
print(f"{'--skip-existing rerun':<22}{t['skip']:>10.2f}{rss['skip']:>14.1f}")
ratio = t["skip"] / t["first"]
print()
print(f"rerun / first run = {ratio:.2f}  (target <= 2: {'met' if ratio <= 2 else 'MISSED'})")
PY
