#!/usr/bin/env bash
# Installs the dependencies, builds Ostrel with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${OSTREL_TEST_BUILD_DIR:-$ROOT/build-asan}"

"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/build.sh" "$BUILD_DIR" -DOSTREL_SANITIZE=ON

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$BUILD_DIR"
ctest --output-on-failure -j "$(nproc)" --timeout 600
