#!/bin/sh
# The benchmark program's command line: every bad argument is refused with status 2 and one
# line on standard error that names it, before anything is measured.
# Usage: gm_bench_test.sh TOOL
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Each case: the name the message must contain, then the arguments.
while read -r name args; do
    # shellcheck disable=SC2086 # the words are meant to split
    "$tool" $args >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq 2 ] || fail "'$args' exited $status, expected 2"
    [ -s "$work/out" ] && fail "'$args': unexpected standard output"
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "'$args': not one line on standard error"
    grep -q -e "$name" "$work/err" || fail "'$args': message does not name $name"
done <<'CASES'
command
bogus bogus
--bogus bound --bogus
--gyro-baud bound --gyro-baud
--gyro-baud bound --gyro-baud fast
--motor-latency-ms bound --motor-latency-ms -1
TRANSCRIPT rate
--rss-at run --rss-at 1.5 -- true
--period-ms run --period-ms 0 -- true
--interrupt-on run --interrupt-on
PROGRAM run --log x
--reads timeouts --reads
--reads timeouts --reads 1e3
LOG frames frames.txt
DIR archive
--records archive --records 0 somewhere
CASES

# The program's own options after "--" stay the program's, whatever option of ours comes last.
"$tool" run --rss-at 1 -- sh -c 'exit 3' >"$work/out" 2>"$work/err" ||
    fail "'run --rss-at 1 -- sh -c': $(cat "$work/err")"
grep -qx 'status=3' "$work/out" || fail "'run --rss-at 1 -- sh -c': the program did not run as given"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "gm_bench: all checks passed"
