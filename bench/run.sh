#!/usr/bin/env bash
# Measures opera2mbox against a plain concatenation of the same files and a
# straightforward Python mailbox-module script, on a generated store, and
# what reading every mailbox back (--verify) adds to opera2mbox's run.
#
#   bench/run.sh                 # N=20000 messages (~300 MB), 3 rounds
#   N=2000 ROUNDS=5 bench/run.sh
#   PYTHON=0 bench/run.sh        # without the Python script (it takes minutes)
#
# Environment: N (messages), ROUNDS, BUILD_DIR (default <repo>/build-bench),
# OUT (a folder for the output, e.g. /dev/shm to leave the disk out; the
# tools write to OUT/bench-out, which is removed before every run),
# GEN (the store generator, default <repo>/../shared/bench/gen_store.py),
# PYTHON=0 to leave the Python script out.
set -euo pipefail

. "$(dirname "$0")/common.sh"
out=${OUT:-$work}/bench-out # only this folder is ever removed
times=$work/times.txt

bench_need_time
bench_generated_store
bench_build opera2mbox bench_concat
concat=$BUILD_DIR/bench/bench_concat
opera2mbox=$BUILD_DIR/cli/opera2mbox
script=$here/python_mailbox_convert.py

store_bytes=$(find "$store" -type f -iname '*.mbs' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
largest=$(find "$store" -type f -iname '*.mbs' -printf '%s\n' | sort -n | tail -1)
files=$(find "$store" -type f -iname '*.mbs' | wc -l)
echo "Store: $files files, $store_bytes bytes, largest message $largest bytes"

run() { # name, command...
  local name=$1
  shift
  rm -rf "$out"
  mkdir -p "$out"
  # What the run before left to write back is written now, not during this one.
  sync
  /usr/bin/time -f '%e %M %U %S' -o "$work/time.one" "$@" >/dev/null
  echo "$name $(cat "$work/time.one")" >> "$times"
}

: > "$times"
# One unmeasured pass so every tool meets the store in the page cache.
run warmup "$concat" "$out" "$store"
: > "$times"
for round in $(seq 1 "$ROUNDS"); do
  echo "Round $round of $ROUNDS..."
  # Alternating which goes first, so neither always meets a cooler cache;
  # the plain run and the one that reads back in turns as well.
  if [ $((round % 2)) -eq 1 ]; then
    run concat "$concat" "$out" "$store"
    run opera2mbox "$opera2mbox" -q -o "$out" "$store"
    run verify "$opera2mbox" -q --verify -o "$out" "$store"
  else
    run verify "$opera2mbox" -q --verify -o "$out" "$store"
    run opera2mbox "$opera2mbox" -q -o "$out" "$store"
    run concat "$concat" "$out" "$store"
  fi
  if [ "${PYTHON:-1}" != 0 ]; then
    run python python3 "$script" "$out" "$store"
  fi
done
rm -rf "$out"

python3 - "$times" "$largest" "$store_bytes" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
largest, store_bytes = int(sys.argv[2]), int(sys.argv[3])
def med(name, col):
    return statistics.median(float(r[col]) for r in rows if r[0] == name)
t = {n: med(n, 1) for n in ("concat", "opera2mbox", "verify", "python") if any(r[0] == n for r in rows)}
rss = {n: med(n, 2) / 1024 for n in t}   # MiB
print()
print(f"{'tool':<12}{'median s':>10}{'user s':>8}{'sys s':>8}{'MB/s':>10}{'peak RSS MiB':>14}")
for n in t:
    print(f"{n:<12}{t[n]:>10.2f}{med(n, 3):>8.2f}{med(n, 4):>8.2f}{store_bytes / 1e6 / t[n]:>10.1f}{rss[n]:>14.1f}")
ratio = t["opera2mbox"] / t["concat"]
limit = (2 * largest) / (1024 * 1024) + 50
print()
print(f"opera2mbox / concat  = {ratio:.2f}  (target <= 1.3: {'met' if ratio <= 1.3 else 'MISSED'})")
if "python" in t:
    speedup = t["python"] / t["opera2mbox"]
    print(f"python / opera2mbox  = {speedup:.2f}  (target >= 2: {'met' if speedup >= 2 else 'MISSED'})")
verify = t["verify"] / t["opera2mbox"]
print(f"--verify / plain     = {verify:.2f}  (target <= 1.35: {'met' if verify <= 1.35 else 'MISSED'})")
print(f"opera2mbox peak RSS  = {rss['opera2mbox']:.1f} MiB against 2 x largest message + 50 MiB = "
      f"{limit:.1f} MiB ({'met' if rss['opera2mbox'] <= limit else 'MISSED'})")
PY
