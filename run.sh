#!/usr/bin/env bash
# Installs what is missing, builds and runs Tavrel.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target tavrel-devsim >/dev/null
echo "The window is not built yet; starting the simulated boot loader instead (Ctrl-C ends it)." >&2
exec build/tavrel-devsim --verbose "$@"
