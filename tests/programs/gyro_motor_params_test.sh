#!/bin/sh
# Runs the gyro_motor_params executable end to end and checks its output and exit statuses.
# Usage: gyro_motor_params_test.sh TOOL GOLDEN_DIR VERSION
set -u
tool=$1
golden=$2
version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# run EXPECTED_STATUS ARGS...: runs the tool with its streams in $work/out and $work/err.
run() {
    expected=$1
    shift
    "$tool" "$@" >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq "$expected" ] || fail "$* exited $status, expected $expected"
}

# A readable file: the not-found reports, then the listing, all on standard output.
run 0 "$golden/full_file.txt"
cat "$golden/full_file.stdout" "$golden/full_file.dump" >"$work/expected"
cmp -s "$work/out" "$work/expected" || fail "listing of full_file.txt differs"
[ -s "$work/err" ] && fail "full_file.txt: unexpected standard error output"

run 0 "$golden/empty_file.txt"
cmp -s "$work/out" "$golden/empty_file.dump" || fail "listing of empty_file.txt differs"

# A file that cannot be opened: the reader's message as it is, no listing.
run 1 "$work/missing.txt"
[ -s "$work/out" ] && fail "missing file: unexpected standard output"
printf 'param file not found %s\n' "$work/missing.txt" >"$work/expected"
cmp -s "$work/err" "$work/expected" || fail "missing file: wrong message on standard error"

# Wrong arguments: one line on standard error that names the argument, nothing on standard output.
while read -r name args; do
    # shellcheck disable=SC2086 # the words are meant to split
    run 2 $args
    [ -s "$work/out" ] && fail "'$args': unexpected standard output"
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "'$args': not one line on standard error"
    grep -q -e "^gyro_motor_params: .*$name" "$work/err" || fail "'$args': message does not name $name"
done <<'CASES'
PARAMETER_FILE
b a b
-x -x
--verbose --verbose
--verbose --verbose file.txt
CASES

# Help, also with other arguments beside it: the usage on standard output.
for args in "--help" "--help extra"; do
    # shellcheck disable=SC2086 # the words are meant to split
    run 0 $args
    grep -q '^Usage: gyro_motor_params ' "$work/out" || fail "$args: no usage on standard output"
    [ -s "$work/err" ] && fail "$args: unexpected standard error output"
done

# The program's name and the project's version, as every program prints them.
run 0 --version
[ "$(cat "$work/out")" = "gyro_motor_params $version" ] ||
    fail "--version printed '$(cat "$work/out")', expected gyro_motor_params $version"

# A listing that cannot be written is a failure, not a success.
if [ -w /dev/full ]; then
    "$tool" "$golden/full_file.txt" >/dev/full 2>"$work/err"
    status=$?
    [ "$status" -eq 1 ] || fail "write to /dev/full exited $status, expected 1"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "gyro_motor_params: all checks passed"
