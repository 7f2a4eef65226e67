#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, a Release build with clang++ (tests built, not run: the native runs
# cover them), a short fuzzing run, then the Windows build under Wine; and the packages: the
# installed programs and the Windows zip run sweeps. Installs what it needs on a fresh Debian
# machine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh cmake ninja-build g++ clang libgtest-dev libgmock-dev googletest gnuplot-nox \
    libeigen3-dev nlohmann-json3-dev libcli11-dev libtomlplusplus-dev dpkg-dev libssl-dev \
    unixodbc-dev postgresql odbc-postgresql python3 chromium poppler-utils tidy

# The database tests run against a private PostgreSQL server; here its failing to start fails
# them rather than skipping them.
export GM_REQUIRE_DATABASE=1
# The pages are opened in chromium, printed and checked with pdfinfo and tidy; here a missing
# one fails those tests rather than skipping them.
export GM_REQUIRE_BROWSER=1

jobs=2
for preset in default asan; do
    echo "=== $preset: configure, build, test"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

# The other compiler a packager may use: its warnings and its reading of the tests differ.
echo "=== clang: configure, build with the tests"
cmake --preset clang >/dev/null
cmake --build --preset clang -j "$jobs"

echo "=== install: the installed programs sweep; the .tar.gz and .deb packages"
scripts/test-install.sh

echo "=== fuzz: every target for a short run"
scripts/fuzz.sh "${GM_FUZZ_SECONDS:-15}"

echo "=== windows: cross-build, tests under Wine"
scripts/test-windows.sh

echo "=== windows: the zip package unpacked, its programs through the end-to-end cases under Wine"
scripts/e2e-wine.sh --from-zip
