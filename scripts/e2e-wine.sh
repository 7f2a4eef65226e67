#!/usr/bin/env bash
# Runs the end-to-end cases against the Windows build under Wine: the native simulator and test
# program drive build/mingw/gyro_motor.exe (and gyro_motor_report.exe for the verdict and the
# archive, gyro_motor_station.exe for one serial swept, judged and kept by the gyro_motor.exe
# beside it), with the device links in a Wine prefix's dosdevices folder (raw lines, since Wine leaves the line mode alone, "\r\n" line ends in the program's
# text, and Wine's error 21 for a line that hung up). Cases that need the native programs (signals,
# /dev/full, gyro_motor_home, ports held by Linux processes) are skipped. With --from-zip first,
# the programs run are those of the Windows package: the mingw build's zip, unpacked into an empty
# folder, and its gyro_motor_history.exe summarises small archives (the history test's runs of the
# program, through GM_HISTORY_TOOL). The end-to-end test programs (one per theme, listed in
# build/default/tests/e2e_tests.txt) run one after another, as they share the prefix's device
# links; every one runs even when an earlier one fails. Other arguments go to each test program,
# e.g. --gtest_filter=E2eTest.*.
# Installs what it needs on a fresh Debian machine.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/deps.sh cmake ninja-build g++ libgtest-dev libgmock-dev googletest \
    g++-mingw-w64-x86-64-posix wine wine64 python3 unzip libeigen3-dev nlohmann-json3-dev \
    libcli11-dev libtomlplusplus-dev libssl-dev unixodbc-dev
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target e2e_tests gyro_motor_sim
cmake --preset mingw >/dev/null
folder=$repo/build/mingw
if [ "${1:-}" = --from-zip ]; then
    shift
    cmake --build --preset mingw -j2 --target package gnuplot_standin
    zips=(build/mingw/gyro_motor-*-win64.zip)
    [ ${#zips[@]} -eq 1 ] || { echo "e2e-wine: expected one zip, found: ${zips[*]}" >&2; exit 1; }
    unpacked=$repo/build/mingw/unpacked
    rm -rf "$unpacked"
    mkdir "$unpacked"
    unzip -q "${zips[0]}" -d "$unpacked"
    folder=$unpacked/$(basename "${zips[0]}" .zip)
    for file in gyro_motor.exe gyro_motor_plot.exe gyro_motor_report.exe gyro_motor_history.exe \
        gyro_motor_station.exe gyro_motor_params.exe gyro_motor_home.exe README.md; do
        [ -f "$folder/$file" ] || { echo "e2e-wine: the zip lacks $file" >&2; exit 1; }
    done
    history_exe=$folder/gyro_motor_history.exe
else
    cmake --build --preset mingw -j2 --target gyro_motor gyro_motor_plot gyro_motor_report \
        gyro_motor_history gyro_motor_station gyro_motor_params gyro_motor_home gnuplot_standin
fi

prefix=$repo/build/mingw/wine-e2e
scripts/wine-run.sh --prefix="$prefix" --setup
trap 'scripts/wine-run.sh --prefix="$prefix" --stop' EXIT
# The companions draw with a stand-in gnuplot (on the PATH of the end-to-end tests only) where a
# 32-bit one installs, and where cmd, given the path, cannot start it.
gnuplot_dir="$prefix/drive_c/Program Files (x86)/gnuplot/bin"
mkdir -p "$gnuplot_dir"
cp build/mingw/tests/gnuplot_standin.exe "$gnuplot_dir/gnuplot.exe"

wine_command=$(printf '%q --prefix=%q' "$repo/scripts/wine-run.sh" "$prefix")
sweep_command=$(printf '%s %q' "$wine_command" "$folder/gyro_motor.exe")
tool_command=$(printf '%s %q/' "$wine_command" "$folder")
mapfile -t programs <build/default/tests/e2e_tests.txt
failed=()
for program in "${programs[@]}"; do
    GM_E2E_SWEEP_COMMAND="$sweep_command" GM_E2E_TOOL_COMMAND="$tool_command" \
        GM_E2E_LINK_DIR="$prefix/dosdevices" WINEPATH='C:\Program Files (x86)\gnuplot\bin' \
        GM_E2E_SIM_ARGS=--raw GM_E2E_CRLF=1 GM_E2E_HANGUP_ERROR=21 \
        "$program" "$@" || failed+=("$(basename "$program")")
done
# The zip's history program over the history test's generated archives (the test program of the
# mingw build, which the package target built).
if [ -n "${history_exe:-}" ]; then
    GM_HISTORY_TOOL=$history_exe scripts/wine-run.sh --prefix="$prefix" \
        build/mingw/tests/history_test.exe --gtest_filter='HistoryTest.*' ||
        failed+=(history_test.exe)
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "e2e-wine: failed: ${failed[*]}" >&2
    exit 1
fi
