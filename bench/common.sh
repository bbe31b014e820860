# What every bench script shares, sourced by each: the defaults of the
# environment, the check for /usr/bin/time, the generated store and the
# optimised build.
#
# Environment: N (messages of the generated store), ROUNDS (3 unless the
# script sets another default before sourcing this), BUILD_DIR
# (default <repo>/build-bench), GEN (the store generator, default
# <repo>/../shared/bench/gen_store.py), STORE (an existing store, for the
# scripts that take one).

here=$(cd "$(dirname "${BASH_SOURCE[1]}")" && pwd)
repo=$(dirname "$here")
N=${N:-20000}
ROUNDS=${ROUNDS:-3}
BUILD_DIR=${BUILD_DIR:-$repo/build-bench}
GEN=${GEN:-$repo/../shared/bench/gen_store.py}
work=$here/work
mkdir -p "$work"

bench_need_time() {
  if [ ! -x /usr/bin/time ]; then
    echo "bench: /usr/bin/time is missing (Debian package 'time')" >&2
    exit 1
  fi
}

# Sets `store` to the store of N messages, generated once per N under
# bench/work/store and kept (every script uses the same copy).
bench_generated_store() {
  local store_out=$work/store
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
}

# Sets `store` to STORE when given, else to the generated store.
bench_store() {
  if [ -n "${STORE:-}" ]; then
    store=$STORE
  else
    bench_generated_store
  fi
}

# Builds the given targets in an optimised build without the tests,
# configured in BUILD_DIR on first use.
bench_build() {
  if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DTOVALY_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$BUILD_DIR" --target "$@" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
}
