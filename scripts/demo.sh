#!/usr/bin/env bash
# One whole sweep of gyro_motor against the simulated bench, no hardware needed: builds the
# program and the simulator, starts the simulator in a new folder run/<date-time>/, runs the real
# gyro_motor there (its console output as it is), stops the simulator, tells where the sample
# log is, draws its plot and prints its report. Installs what it needs on a fresh Debian machine.
#
# Usage: scripts/demo.sh [SIMULATOR OPTION]...
#   The options go to gyro_motor_sim (see build/default/sim/gyro_motor_sim --help), e.g.
#   --echo, --bad-checksum-every 5, or --time-scale 1 for the real 32 s sweep. The default time
#   scale 3 runs the 25.4 s sweep and the 7 s return in about 11 s.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/deps.sh cmake ninja-build g++ libgtest-dev libgmock-dev googletest gnuplot-nox \
    libeigen3-dev nlohmann-json3-dev libcli11-dev libtomlplusplus-dev libssl-dev unixodbc-dev
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target gyro_motor gyro_motor_sim gyro_motor_plot \
    gyro_motor_report

stamp=$(date +%Y%m%d-%H%M%S)
run_dir=run/$stamp
suffix=1
while [ -e "$run_dir" ]; do
    suffix=$((suffix + 1))
    run_dir=run/$stamp-$suffix
done
mkdir -p "$run_dir"
cd "$run_dir"

"$repo/build/default/sim/gyro_motor_sim" --time-scale 3 --ready-file sim.ready \
    --transcript transcript.txt --frames frames.txt "$@" 2>sim.err &
sim_pid=$!
stop_sim() {
    if kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid"
        wait "$sim_pid" || true
    fi
}
trap stop_sim EXIT

for _ in $(seq 200); do
    [ -e sim.ready ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "demo: the simulator did not start:" >&2
        cat sim.err >&2
        exit 1
    fi
    sleep 0.05
done
[ -e sim.ready ] || { echo "demo: the simulator did not get ready" >&2; exit 1; }

echo "demo: running gyro_motor in $run_dir against the simulated bench"
start=$(date +%s.%N)
status=0
"$repo/build/default/gyro_motor" || status=$?
end=$(date +%s.%N)
stop_sim
trap - EXIT

samples=0
if [ -f gyro_motor.txt ]; then
    samples=$(($(wc -l <gyro_motor.txt) / 5))
fi
polls=$(grep -c ' gyro G$' transcript.txt || true)
frames_sent=$(cat frames.txt 2>/dev/null | wc -l)
seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
echo "demo: gyro_motor ended with status $status after $seconds s"
echo "demo: sample log $run_dir/gyro_motor.txt holds $samples samples of $frames_sent frames the simulator sent ($polls gyro polls)"
echo "demo: the simulator's records: $run_dir/transcript.txt, $run_dir/frames.txt"

# The picture of the sweep: CSV and PNG next to the log.
plot_status=0
"$repo/build/default/gyro_motor_plot" --png gyro_motor.png gyro_motor.txt >/dev/null ||
    plot_status=$?
if [ "$plot_status" -eq 0 ] || [ "$plot_status" -eq 3 ]; then
    echo "demo: plot of the sweep: $run_dir/gyro_motor.png (table: $run_dir/gyro_motor.csv)"
else
    echo "demo: the plot could not be drawn (status $plot_status)" >&2
fi

# What the sweep says about the sensor. The yaw rate is set against the turn rate that the report
# measures from the headings and their times: at any time scale the simulated platform turns as
# fast as its gyro says.
echo "demo: report of the sweep ($run_dir/gyro_motor_report.json, deviation picture $run_dir/gyro_motor_report.png):"
echo
report_status=0
"$repo/build/default/gyro_motor_report" --json gyro_motor_report.json \
    --png gyro_motor_report.png gyro_motor.txt || report_status=$?
if [ "$report_status" -ne 0 ] && [ "$report_status" -ne 3 ]; then
    echo "demo: the report could not be made (status $report_status)" >&2
fi
exit "$status"
