#!/usr/bin/env bash
# Installs the dependencies, builds Ostrel with AddressSanitizer and
# UndefinedBehaviorSanitizer (and the headless Wayland rig's portal back-end)
# and runs the whole test suite; then builds every
# source under src/ with clang, the lock annotations checked as errors, and
# runs the receive-path fuzz target for 60 s on top of its seed corpus.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${OSTREL_TEST_BUILD_DIR:-$ROOT/build-asan}"
CLANG_DIR="${OSTREL_CLANG_BUILD_DIR:-$ROOT/build-clang}"
FUZZ_SECONDS="${OSTREL_FUZZ_SECONDS:-60}"

"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/build.sh" "$BUILD_DIR" -DOSTREL_SANITIZE=ON

# The Wayland tests run on a private headless desktop whose portal back-end is
# built once from Debian's source package; without it they skip and say why.
echo "test: preparing the headless Wayland rig"
if ! "$ROOT/scripts/wayland-rig.sh" build "$BUILD_DIR/wayland-rig"; then
  echo "test: the Wayland rig could not be built; the Wayland tests will be skipped" \
    "($(cat "$BUILD_DIR/wayland-rig/unavailable" 2>/dev/null || echo 'see above'))"
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$BUILD_DIR"
ctest --output-on-failure -j "$(nproc)" --timeout 600

# The program's target pulls in every library under src/; the fuzz target has
# its own instrumented copy of the reactor and protocol code.
cmake -S "$ROOT" -B "$CLANG_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOSTREL_THREAD_SAFETY=ON -DOSTREL_BENCH=OFF
cmake --build "$CLANG_DIR" -j "$(nproc)" --target ostrel fuzz_receive
# New inputs go to a scratch directory: the seed corpus in the tree stays as it is.
NEW_INPUTS="$(mktemp -d)"
trap 'rm -rf "$NEW_INPUTS"' EXIT
"$CLANG_DIR/tests/fuzz/fuzz_receive" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
  "$NEW_INPUTS" "$ROOT/tests/fuzz/corpus/receive"
