#!/usr/bin/env bash
# scripts/run.sh on a machine where the build still has to happen: the
# package check's and the build's own progress lines reach the user, with a
# line per step. The real install, build and server are replaced by stubs that
# print what they would, so the check takes a moment.
set -euo pipefail
SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
WORK="$(mktemp -d /tmp/ostrel-run-sh-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT

mkdir -p "$WORK/root/scripts"
cp "$SRC/scripts/run.sh" "$WORK/root/scripts/run.sh"
cat >"$WORK/root/scripts/install-deps.sh" <<'STUB'
#!/usr/bin/env bash
echo "Unpacking libfake-dev (1.0-1) ..."
STUB
cat >"$WORK/root/scripts/build.sh" <<'STUB'
#!/usr/bin/env bash
mkdir -p "$1/bin"
printf '#!/bin/sh\necho "server started with $*"\n' >"$1/bin/ostrel"
chmod +x "$1/bin/ostrel"
echo "[1/233] Building CXX object src/core/CMakeFiles/ostrel_core.dir/VrMediaFrame.cpp.o"
echo "[233/233] Linking CXX executable bin/ostrel"
STUB
cat >"$WORK/root/scripts/private-desktop.sh" <<'STUB'
ostrel_stop_private() { :; }
ostrel_private_display() { :; }
ostrel_private_sound() { :; }
STUB
chmod +x "$WORK/root/scripts/"*.sh

OUT="$(env -u DISPLAY OSTREL_BUILD_DIR="$WORK/build" bash "$WORK/root/scripts/run.sh" --duration 1 2>&1)"
fail=0
for want in "[1/3] checking the Debian packages" "Unpacking libfake-dev" "[2/3] building into $WORK/build" \
            "[1/233] Building CXX object" "[233/233] Linking CXX executable bin/ostrel" "ostrel: built in" \
            "[3/3] starting the server" "server started with --headless --home $WORK/build/bin --duration 1"; do
  if ! grep -qF -- "$want" <<<"$OUT"; then
    echo "missing from run.sh's output: $want"
    fail=1
  fi
done
if [ "$fail" -ne 0 ]; then
  echo "---- output ----"
  echo "$OUT"
  exit 1
fi
echo "run.sh shows every step's progress"
