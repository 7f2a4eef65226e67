#!/usr/bin/env bash
# Draws a sweep's sample log: installs gnuplot when it is missing, brings gyro_motor_plot up to
# date, and runs it from the current directory with the arguments given.
# Usage: scripts/plot.sh [--csv FILE] [--png FILE] [--svg FILE] [--no-plot] [LOG]
# (gyro_motor_plot --help explains them; the exit status is the program's own.)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/deps.sh" gnuplot-nox libcli11-dev
if [ ! -f "$root/build/default/build.ninja" ]; then
    "$root/scripts/deps.sh" cmake ninja-build g++ libgtest-dev libgmock-dev googletest \
        libeigen3-dev nlohmann-json3-dev libcli11-dev libtomlplusplus-dev libssl-dev unixodbc-dev
    (cd "$root" && cmake --preset default >/dev/null)
fi
# Quiet unless the build fails: the plot's own lines are what the caller wants to see.
build_log="$(mktemp)"
trap 'rm -f "$build_log"' EXIT
if ! (cd "$root" && cmake --build --preset default -j2 --target gyro_motor_plot) >"$build_log" 2>&1; then
    cat "$build_log" >&2
    exit 1
fi
"$root/build/default/gyro_motor_plot" "$@"
