#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz, clang) and runs each for SECONDS (default 20) on a
# copy of its seed corpus, so the corpus in the repository is never written. Fails when a target
# crashes or a sanitizer reports; the offending input is kept in build/fuzz/artifacts/.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
if [[ $# -gt 1 || ! $seconds =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/fuzz.sh [SECONDS]" >&2
    exit 2
fi

scripts/deps.sh cmake ninja-build clang libclang-rt-14-dev libeigen3-dev nlohmann-json3-dev libcli11-dev \
    libtomlplusplus-dev libssl-dev unixodbc-dev

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

list=build/fuzz/fuzz/fuzzers.txt
artifacts=$PWD/build/fuzz/artifacts
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

targets=0
failed=()
while IFS=$'\t' read -r name binary corpus dict; do
    targets=$((targets + 1))
    echo "=== $name: ${seconds}s"
    cp -R "$corpus" "$work/$name"
    options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
             -artifact_prefix="$artifacts/$name-")
    [ -n "$dict" ] && options+=(-dict="$dict")
    if "$binary" "${options[@]}" "$work/$name" >"$work/$name.log" 2>&1; then
        # The last status line (runs, coverage, exec/s) and the final statistics.
        grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
            "$work/$name.log" || true
        echo "corpus: $(ls "$corpus" | wc -l) seeds, $(ls "$work/$name" | wc -l) after the run"
    else
        tail -n 60 "$work/$name.log"
        failed+=("$name")
    fi
done <"$list"

if [ "$targets" -eq 0 ]; then
    echo "no fuzz targets in $list" >&2
    exit 1
fi
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing failed: ${failed[*]} (inputs in $artifacts)" >&2
    exit 1
fi
echo "fuzzing: $targets target(s), no crash"
