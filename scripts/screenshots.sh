#!/usr/bin/env bash
# The README's pictures of the two pages, made from a real simulated batch: seven sweeps of six
# sensors (each with errors of its own, one failed and swept again) run by the real gyro_motor
# against the simulator, reported and archived with production limits by gyro_motor_report, the
# batch page written by gyro_motor_history --html; then a certificate and the batch page opened
# in headless chromium from their files and kept as docs/certificate.png and docs/batch.png.
# Installs what it needs on a fresh Debian machine.
#
# Usage: scripts/screenshots.sh [FOLDER]
#   FOLDER keeps the batch (the archive and batch.html); by default a temporary one, removed after.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/deps.sh cmake ninja-build g++ libgtest-dev libgmock-dev googletest gnuplot-nox \
    libeigen3-dev nlohmann-json3-dev libcli11-dev libtomlplusplus-dev libssl-dev unixodbc-dev \
    chromium
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target gyro_motor gyro_motor_sim gyro_motor_report \
    gyro_motor_history
bin=$repo/build/default

if [ $# -gt 0 ]; then
    work=$1
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
work=$(cd "$work" && pwd)
cd "$work"
rm -rf archive batch.html sweeps
mkdir archive

cat >limits.toml <<'EOF'
name = "HS-200 production, rev C"

[figures]
"heading.B_deg" = { max_abs = 0.5 }
"heading.C_deg" = { max_abs = 0.5 }
"heading.peak_deviation_deg" = { max_abs = 1.0 }
"yaw_rate.scale_error_percent" = { min = -0.6, max = 0.6 }
"mag.fit_rms_gauss" = { max = 0.005 }

[guard]
"heading.peak_deviation_deg" = 0.05
"yaw_rate.scale_error_percent" = 0.05
EOF

# One sweep of sensor SERIAL by OPERATOR, the simulator given the rest as its sensor's errors;
# archived in archive/ whatever its verdict, with the lot and the part.
sweep() {
    local serial=$1 operator=$2
    shift 2
    local folder
    folder=sweeps/$serial-$(date +%s%N)
    mkdir -p "$folder"
    (
        cd "$folder"
        "$bin/sim/gyro_motor_sim" --no-pacing --time-scale 4 --ready-file sim.ready "$@" \
            >/dev/null 2>sim.err &
        local sim_pid=$!
        for _ in $(seq 200); do
            [ -e sim.ready ] && break
            sleep 0.05
        done
        [ -e sim.ready ] || { echo "screenshots: the simulator did not start" >&2; exit 1; }
        "$bin/gyro_motor" >gyro_motor.out 2>&1
        kill -TERM "$sim_pid"
        wait "$sim_pid" || true
    )
    "$bin/gyro_motor_report" --limits limits.toml --serial "$serial" --archive archive \
        --operator "$operator" --lot L-2026-49 --part "HS-200 rev C" "$folder/gyro_motor.txt" \
        >/dev/null || true
    echo "screenshots: swept $serial"
}

sweep HS200-0412 "A. Weber" --seed 1 --compass-deviation 0.2,-0.1,0.05,0.02 --yaw-scale-error 0.1
sweep HS200-0413 "A. Weber" --seed 2 --compass-deviation 0.7,0.3,0.1,0.05 --yaw-scale-error 0.3
sweep HS200-0414 "A. Weber" --seed 3 --compass-deviation -0.1,0.2,0.0,0.05 --yaw-scale-error -0.2
sweep HS200-0415 "J. O'Neil" --seed 4 --compass-deviation 0.3,0.1,0.1,0.0 --yaw-scale-error 0.7
sweep HS200-0416 "J. O'Neil" --seed 5 --compass-deviation 0.1,0.1,0.0,0.0 --yaw-scale-error 0.0
sweep HS200-0417 "J. O'Neil" --seed 6 --compass-deviation 0.35,-0.25,0.1,0.1 \
    --yaw-scale-error 0.4
# The failed sensor, re-mounted and swept again.
sweep HS200-0413 "A. Weber" --seed 7 --compass-deviation 0.25,0.1,0.05,0.02 --yaw-scale-error 0.2

"$bin/gyro_motor_history" --html batch.html archive >/dev/null || true
[ -f batch.html ] || { echo "screenshots: no batch page" >&2; exit 1; }

# The certificate of the failed sweep.
certificate=$(ls -d archive/HS200-0413/*/ | head -n 1)record.html
shot() {
    local page=$1 picture=$2 height=$3
    local profile
    profile=$(mktemp -d)
    chromium --headless --no-sandbox --disable-gpu --no-first-run --hide-scrollbars \
        --user-data-dir="$profile" --window-size=1100,"$height" \
        --screenshot="$repo/docs/$picture" "file://$work/$page" >/dev/null 2>&1
    rm -rf "$profile"
    echo "screenshots: docs/$picture from $page"
}
shot "$certificate" certificate.png 1560
shot batch.html batch.png 1900
