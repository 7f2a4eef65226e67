#!/usr/bin/env bash
# Runs the end-to-end cases against the Windows build under Wine: the native simulator and test
# program drive build/mingw/gyro_motor.exe, with the device links in a Wine prefix's dosdevices
# folder (raw lines, since Wine leaves the line mode alone, "\r\n" line ends in the program's
# text, and Wine's error 21 for a line that hung up). Cases that need the native programs (signals,
# /dev/full, gyro_motor_home, ports held by Linux processes) are skipped. Arguments go to the test program, e.g.
# --gtest_filter=E2eTest.*. Installs what it needs on a fresh Debian machine.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/deps.sh cmake ninja-build g++ libgtest-dev libgmock-dev googletest \
    g++-mingw-w64-x86-64-posix wine wine64 python3 libeigen3-dev nlohmann-json3-dev libcli11-dev
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target e2e_test gyro_motor_sim
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j2 --target gyro_motor

prefix=$repo/build/mingw/wine-e2e
scripts/wine-run.sh --prefix="$prefix" --setup
trap 'scripts/wine-run.sh --prefix="$prefix" --stop' EXIT

GM_E2E_SWEEP_COMMAND="$(printf '%q --prefix=%q %q' "$repo/scripts/wine-run.sh" "$prefix" \
    "$repo/build/mingw/gyro_motor.exe")" \
    GM_E2E_LINK_DIR="$prefix/dosdevices" GM_E2E_SIM_ARGS=--raw GM_E2E_CRLF=1 \
    GM_E2E_HANGUP_ERROR=21 \
    build/default/tests/e2e_test "$@"
