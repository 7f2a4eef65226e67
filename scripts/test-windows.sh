#!/usr/bin/env bash
# Cross-builds the Windows executables with mingw-w64 and runs every unit test under Wine
# (headless, in a Wine prefix inside build/mingw). Installs what it needs on a fresh Debian
# machine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh cmake ninja-build googletest g++-mingw-w64-x86-64-posix wine wine64 python3 \
    libeigen3-dev nlohmann-json3-dev libcli11-dev libtomlplusplus-dev

jobs=2
echo "=== mingw: configure, build, test under Wine"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"
ctest --preset mingw -j "$jobs"
