#!/usr/bin/env bash
# Checks what a user gets: installs the default build into a scratch prefix, checks that the eight
# programs and the guide are where they belong, and runs a short simulated sweep with the
# installed simulator and sweep program; then makes the Linux packages (.tar.gz, .deb) and checks
# that the .deb holds the same. Expects the default preset built (scripts/test.sh does that).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -z "$sim_pid" ] || kill -TERM "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "test-install: $*" >&2
    exit 1
}

prefix=$work/prefix
cmake --install build/default --prefix "$prefix" >/dev/null
programs=(gyro_motor gyro_motor_sim gyro_motor_plot gyro_motor_report gyro_motor_history
          gyro_motor_station gyro_motor_params gyro_motor_home)
for program in "${programs[@]}"; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program not installed"
done
installed=("$prefix"/bin/*)
[ ${#installed[@]} -eq ${#programs[@]} ] || fail "bin/ holds more: ${installed[*]}"
guide=$prefix/share/doc/gyro_motor
for file in README.md docs/sweep.png docs/report.png; do
    [ -f "$guide/$file" ] || fail "share/doc/gyro_motor/$file not installed"
done

# The short sweep: the installed simulator at 25 times the motor's speed serves the installed
# program in a folder of its own.
mkdir "$work/run"
cd "$work/run"
"$prefix/bin/gyro_motor_sim" --no-pacing --time-scale 25 --ready-file ready >sim.out 2>sim.err &
sim_pid=$!
for _ in $(seq 200); do
    [ -e ready ] && break
    kill -0 "$sim_pid" 2>/dev/null || fail "the simulator did not start: $(cat sim.err)"
    sleep 0.05
done
[ -e ready ] || fail "the simulator did not get ready"
status=0
timeout 60 "$prefix/bin/gyro_motor" 2>sweep.err || status=$?
kill -TERM "$sim_pid"
wait "$sim_pid" || fail "the simulator ended with status $?: $(cat sim.err)"
sim_pid=
[ "$status" -eq 0 ] || fail "the installed gyro_motor ended with status $status: $(cat sweep.err)"
samples=$(($(wc -l <gyro_motor.txt) / 5))
[ "$samples" -ge 20 ] || fail "only $samples samples logged"
"$prefix/bin/gyro_motor_plot" --no-plot gyro_motor.txt >/dev/null || fail "the plot program failed"
echo "test-install: the installed programs swept $samples samples"
cd "$repo"

# The packages, made from the same build.
(cd build/default && cpack -G "TGZ;DEB" >/dev/null)
deb=$(ls build/default/gyro-motor_*.deb)
listing=$(dpkg-deb --contents "$deb")
for file in "${programs[@]/#/usr/bin/}" usr/share/doc/gyro_motor/README.md; do
    grep -q "\./$file\$" <<<"$listing" || fail "$deb lacks $file"
done
dpkg-deb --field "$deb" Recommends | grep -q gnuplot || fail "$deb does not recommend gnuplot"
# The records' SHA-256 comes from OpenSSL's libcrypto, which the package must pull in.
dpkg-deb --field "$deb" Depends | grep -q libssl || fail "$deb does not depend on libssl"
echo "test-install: $(basename "$deb") and $(basename build/default/gyro_motor-*.tar.gz) made"
