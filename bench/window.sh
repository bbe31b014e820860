#!/usr/bin/env bash
# Measures the window against the command line on the same store, side by
# side in one run: the window (the real frmStep1, headless, driven by
# bench/window_driver) adds the store's folder and converts it; opera2mbox -q
# converts the same store. Then Add Folder alone on that store and on a folder
# of 200,000 empty .mbs files, with the peak memory of the program, and the
# time a click on Exit takes to get its question while both commands run.
#
#   bench/window.sh                            # 20000 messages, 5 rounds
#   STORE=/data/store ROUNDS=7 bench/window.sh # an existing store
#
# Environment: N (messages of the generated store), STORE (an existing store
# folder to use instead; default: generated once under bench/work/ like
# bench/run.sh does), EMPTY_N (files of the empty folder, default 200000),
# EMPTY (where it is kept, default bench/work/empty-EMPTY_N), ROUNDS,
# BUILD_DIR (default <repo>/build-bench), OUT (a folder for the output; the
# tools write to OUT/window-bench-out, which is removed before every run),
# GEN (the store generator, default <repo>/../shared/bench/gen_store.py).
set -euo pipefail

ROUNDS=${ROUNDS:-5}
. "$(dirname "$0")/common.sh"
EMPTY_N=${EMPTY_N:-200000}
EMPTY=${EMPTY:-$work/empty-$EMPTY_N}
out=${OUT:-$work}/window-bench-out # only this folder is ever removed
times=$work/window-times.txt

bench_need_time
# The store: the one given, or the generated one (the same copy bench/run.sh
# uses).
bench_store
store=$(cd "$store" && pwd)

# The empty folder: EMPTY_N empty .mbs files side by side in one folder (the
# hardest case: one listing of them all), made once and kept.
if [ "$(cat "$EMPTY/.files" 2>/dev/null)" != "$EMPTY_N in one folder" ]; then
  rm -rf "$EMPTY"
  echo "Making $EMPTY_N empty message files in $EMPTY/store..."
  python3 - "$EMPTY/store" "$EMPTY_N" <<'PY'
import os, sys
folder, total = sys.argv[1], int(sys.argv[2])
os.makedirs(folder, exist_ok=True)
for i in range(total):
    open(os.path.join(folder, "%d.mbs" % i), "w").close()
PY
  echo "$EMPTY_N in one folder" > "$EMPTY/.files"
fi
empty=$(cd "$EMPTY/store" && pwd)

# Optimised build of the two programs.
bench_build opera2mbox window_driver
opera2mbox=$BUILD_DIR/cli/opera2mbox
driver=$BUILD_DIR/bench/window_driver
export QT_QPA_PLATFORM=offscreen

files=$(find "$store" -type f -iname '*.mbs' | wc -l)
echo "Store: $files files under $store"

# An empty output folder, and every earlier write on the disk: no run pays
# for the writing back of the one before it.
fresh_out() {
  rm -rf "$out"
  mkdir -p "$out"
  sync
}

# name, then the command; records
# "name wall_s peak_kib user_s system_s [figure value]..."
run() {
  local name=$1
  shift
  /usr/bin/time -f '%e %M %U %S' -o "$work/time.one" "$@" > "$work/figures.one" 2> "$work/stderr.one" || {
    echo "bench: $name failed:" >&2
    cat "$work/stderr.one" >&2
    exit 1
  }
  echo "$name $(cat "$work/time.one") $(tr '\n' ' ' < "$work/figures.one")" >> "$times"
}

cli() { fresh_out; run cli "$opera2mbox" -q -o "$out" "$store"; }
window() { fresh_out; run window "$driver" --add-folder "$store" --convert "$out"; }

: > "$times"
# One unmeasured pass so both meet the store in the page cache.
fresh_out
"$opera2mbox" -q -o "$out" "$store" > /dev/null
: > "$times"
for round in $(seq 1 "$ROUNDS"); do
  echo "Round $round of $ROUNDS..."
  # Alternate which goes first, so neither always meets the other's
  # leftovers (dirty pages being written back, a warm cache).
  if [ $((round % 2)) -eq 1 ]; then cli; window; else window; cli; fi
  run scan "$driver" --add-folder "$store"
  run empty "$driver" --add-folder "$empty"
done
echo "Responsiveness run..."
fresh_out
run probe "$driver" --add-folder "$store" --convert "$out" --probe
run probe_empty "$driver" --add-folder "$empty" --probe
rm -rf "$out"

python3 - "$times" "$EMPTY_N" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
empty_n = int(sys.argv[2])

def figures(row):
    return {row[i]: float(row[i + 1]) for i in range(5, len(row) - 1, 2)}

def med(name, key=None):
    values = []
    for r in rows:
        if r[0] != name:
            continue
        if key == "wall":
            values.append(float(r[1]))
        elif key == "rss":
            values.append(float(r[2]) / 1024)
        elif key == "cpu":
            values.append(float(r[3]) + float(r[4]))
        else:
            values.append(figures(r)[key])
    return statistics.median(values)

cli = med("cli", "wall")
cli_cpu = med("cli", "cpu")
convert = med("window", "convert_ms") / 1000
window_cpu = med("window", "cpu")
serve = med("window", "serve_ms") / 1000
serves = med("window", "serves")
whole = med("window", "wall")
scan = med("scan", "add_folder_ms") / 1000
empty_scan = med("empty", "add_folder_ms") / 1000
empty_rss = med("empty", "rss")
answers = [figures(r)["longest_answer_ms"] for r in rows if r[0].startswith("probe")]
probes = sum(int(figures(r)["probes"]) for r in rows if r[0].startswith("probe"))

def verdict(ok):
    return "met" if ok else "MISSED"

print()
print(f"opera2mbox -q, whole run           {cli:8.2f} s (median)")
print(f"window, Convert command            {convert:8.2f} s  (click to completion box)")
print(f"window, whole run                  {whole:8.2f} s  (start, Add Folder, Convert, exit)")
print(f"window Convert / opera2mbox        {convert / cli:8.2f}    (target <= 1.25: {verdict(convert / cli <= 1.25)})")
print(f"window whole run / opera2mbox      {whole / cli:8.2f}")
print(f"CPU (user + system), whole runs    {window_cpu:8.2f} s window, {cli_cpu:.2f} s opera2mbox")
print(f"window served                      {serves:8.0f} times, {serve:.2f} s in all (median per run)")
print(f"Add Folder, the store              {scan:8.2f} s  (target <= 1 s: {verdict(scan <= 1)})")
print(f"Add Folder, {empty_n} empty files {empty_scan:8.2f} s  (target <= 10 s: {verdict(empty_scan <= 10)})")
print(f"  peak RSS of that run             {empty_rss:8.1f} MiB (target <= 250 MB: {verdict(empty_rss * 1.048576 <= 250)})")
print(f"Exit click to its question         {max(answers):8.1f} ms longest of {probes} clicks during both commands "
      f"(target about 100 ms: {verdict(max(answers) <= 100)})")
PY
