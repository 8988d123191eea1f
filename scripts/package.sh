#!/usr/bin/env bash
# Builds the Debian package: an optimised build without tests or benchmarks
# into build-package/, installed under /usr, packed by CPack.
# Usage: scripts/package.sh [BUILD_DIR] [extra cmake args...]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${1:-$ROOT/build-package}"
shift || true
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF "$@"
cmake --build "$BUILD_DIR" -j "$(nproc)" --target ostrel ostrel-client
(cd "$BUILD_DIR" && cpack -G DEB)
ls -1 "$BUILD_DIR"/*.deb
