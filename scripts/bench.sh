#!/usr/bin/env bash
# The benchmark of gyro_motor against the simulated bench. Not a test: nothing here asserts a
# time and nothing fails on a slow result; it prints a table and writes build/bench/results.json.
# Installs what it needs on a fresh Debian machine, builds the default preset (and the mingw
# preset for the Wine row), then measures:
#   1. a paced sweep (real line rates, default answer latencies, time scale 1: the real 25 s
#      move) against the bound that the line rates and latencies allow; CPU and peak memory; the
#      same sweep at time scale 5, to show that the motor's time scale leaves samples/s alone;
#   2. a long unpaced sweep of at least 100,000 samples: rate, CPU per sample, resident memory at
#      1,000, 10,000 and 100,000 samples;
#   3. the POSIX backend's read time-outs on a pseudo-terminal (overshoot);
#   4. the Windows build under Wine on the paced sweep;
#   5. the lines behind a model of a USB-serial adapter that hands bytes over once per latency
#      tick (0, 1, 4 and 16 ms), native and under Wine: samples/s, the share of the frames sent
#      that were logged whole, and records that are no frame as sent;
#   6. gyro_motor_history over a generated archive of 10,000 sealed records of a real report's
#      and log's size: the summary and the sensor view, wall time and peak memory;
#   7. an instant sweep (no line pacing, motor time in lock step with the motion queries: some
#      300 samples): what the start before the move costs against the whole run;
#   8. the lab's database: a generated archive of 100,000 records exported to a private
#      PostgreSQL server on this machine (and exported again, which adds nothing), then
#      gyro_motor_history --summary from the database and from the folder.
# Takes about 25 minutes, most of it the long sweep (each sample waits out the 10 ms interval
# time-out after the controller's prompt, so 100,000 samples take at least 1,000 s).
#
# Usage: scripts/bench.sh [--skip-long] [--skip-wine] [--only PARTS] [--long-samples N]
#                        [--reads N] [--database-records N]
#   --skip-long        leave out the long unpaced sweep
#   --skip-wine        leave out the Windows build under Wine (and its cross-build)
#   --only PARTS       run only these parts, comma-separated: paced, long, timeouts, wine,
#                      adapter, history, instant, database (e.g. --only adapter: a few
#                      minutes)
#   --long-samples N   samples the long sweep aims for (default 100000)
#   --reads N          reads per time-out case (default 300)
#   --database-records N  records of the database part's archive (default 100000)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

skip_long=0
skip_wine=0
long_samples=100000
reads=300
database_records=100000
only=""
while [ $# -gt 0 ]; do
    case "$1" in
    --skip-long) skip_long=1 ;;
    --skip-wine) skip_wine=1 ;;
    --only) only=${2:?}; shift ;;
    --long-samples) long_samples=${2:?}; shift ;;
    --reads) reads=${2:?}; shift ;;
    --database-records) database_records=${2:?}; shift ;;
    *) sed -n '2,36p' "$0" >&2; exit 2 ;;
    esac
    shift
done

# wants PART: the part is to be run: --only names it (or is not given), and neither --skip-long
# nor --skip-wine leaves it out.
wants() {
    case $1 in
    long) [ "$skip_long" -eq 0 ] || return 1 ;;
    wine) [ "$skip_wine" -eq 0 ] || return 1 ;;
    esac
    [ -z "$only" ] || [[ ",$only," == *",$1,"* ]]
}
# The cross-build and the Wine prefix serve the Wine parts only.
wants wine || wants adapter || skip_wine=1

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev googletest libeigen3-dev nlohmann-json3-dev
          libcli11-dev libtomlplusplus-dev libssl-dev unixodbc-dev)
[ "$skip_wine" -eq 1 ] || packages+=(g++-mingw-w64-x86-64-posix wine wine64)
! wants database || packages+=(postgresql odbc-postgresql python3)
scripts/deps.sh "${packages[@]}"
echo "bench: building" >&2
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target gyro_motor gyro_motor_sim gyro_motor_history gm_bench \
    >/dev/null
if [ "$skip_wine" -eq 0 ]; then
    cmake --preset mingw >/dev/null
    cmake --build --preset mingw -j2 --target gyro_motor >/dev/null
fi

out=$repo/build/bench
runs=$out/runs
rm -rf "$runs"
mkdir -p "$runs"
bench=$repo/build/default/bench/gm_bench
sim=$repo/build/default/sim/gyro_motor_sim
wine_prefix=$repo/build/mingw/wine-bench

# Every figure, as section.key.
declare -A R

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

# Reads the key=value lines of a gm_bench command into section.key.
load() {
    local section=$1 file=$2 key value
    while IFS='=' read -r key value; do
        R[$section.$key]=$value
    done <"$file"
}

sim_pid=""
wine_started=0
database_state=""
wine_setup() {
    if [ "$wine_started" -eq 0 ]; then
        echo "bench: preparing the Wine prefix" >&2
        scripts/wine-run.sh --prefix="$wine_prefix" --setup
        wine_started=1
    fi
}
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid"
        wait "$sim_pid" || true
    fi
    if [ "$wine_started" -eq 1 ]; then
        scripts/wine-run.sh --prefix="$wine_prefix" --stop || true
    fi
    if [ -n "$database_state" ]; then
        tests/records/database/database_server.sh stop "$database_state" || true
    fi
}
trap cleanup EXIT

# sweep SECTION LINK_DIR: one run of program[@] in runs/SECTION against a simulator started with
# sim_args[@] (links in LINK_DIR, or the run folder), measured by gm_bench run with run_args[@].
sweep() {
    local section=$1 link_dir=${2:-}
    local dir=$runs/$section
    mkdir -p "$dir"
    [ -n "$link_dir" ] || link_dir=$dir
    echo "bench: $section" >&2
    "$sim" --dir "$link_dir" --ready-file "$dir/sim.ready" --transcript "$dir/transcript.txt" \
        "${sim_args[@]}" >"$dir/sim.out" 2>&1 &
    sim_pid=$!
    for _ in $(seq 200); do
        [ -e "$dir/sim.ready" ] && break
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ ! -e "$dir/sim.ready" ]; then
        echo "bench: the simulator did not start:" >&2
        cat "$dir/sim.out" >&2
        exit 1
    fi
    (cd "$dir" && "$bench" run --log gyro_motor.txt --child-output sweep.out "${run_args[@]}" \
        -- "${program[@]}") >"$dir/run.txt"
    kill -TERM "$sim_pid"
    wait "$sim_pid" || true
    sim_pid=""
    "$bench" rate "$dir/transcript.txt" >"$dir/rate.txt"
    load "$section" "$dir/run.txt"
    load "$section" "$dir/rate.txt"
    R[$section.ratio]=$(calc "${R[$section.samples_per_s]} / ${R[bound.samples_per_s]}")
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)

# The bound for the default simulator settings.
"$bench" bound >"$runs/bound.txt"
load bound "$runs/bound.txt"

native=("$repo/build/default/gyro_motor")

# 1. Paced sweeps: the real move, then the same at five times the motor's speed.
if wants paced; then
    for scale in 1 5; do
        sim_args=(--time-scale "$scale")
        run_args=(--timeout-s 300)
        program=("${native[@]}")
        sweep "paced_scale_$scale"
    done
    p=paced_scale_1
    R[$p.cpu_per_1000_samples_s]=$(calc "${R[$p.cpu_s]} / ${R[$p.samples]} * 1000")
    R[$p.cpu_share_percent]=$(calc "${R[$p.cpu_s]} / ${R[$p.wall_s]} * 100")
    R[$p.wakeups_per_sample]=$(calc "${R[$p.voluntary_switches]} / ${R[$p.samples]}")
fi

# 2. The long unpaced sweep. Its rate comes from a short run first; the time scale then makes the
# 25.4 s move (1,000,000 units at 40,000 units/s, 0.4 s ramps at each end at the simulator's
# default 100,000 units/s^2) last long enough for the samples wanted, with 5%
# to spare. Each run is stopped with SIGINT once the return to zero begins: at that time scale
# the return would take minutes more and measures nothing of the sweep.
if wants long; then
    sim_args=(--no-pacing --time-scale 5)
    run_args=(--interrupt-on "$runs/unpaced_probe/transcript.txt" "motor vm 200000"
        --timeout-s 120)
    program=("${native[@]}")
    sweep unpaced_probe
    long_scale=$(calc "25.4 * ${R[unpaced_probe.samples_per_s]} / ($long_samples * 1.05)")
    R[unpaced_long.time_scale]=$long_scale
    sim_args=(--no-pacing --time-scale "$long_scale")
    run_args=(--interrupt-on "$runs/unpaced_long/transcript.txt" "motor vm 200000"
        --rss-at 1000 --rss-at 10000 --rss-at 100000
        --timeout-s "$(calc "25.4 / $long_scale * 1.5 + 120")")
    sweep unpaced_long
    u=unpaced_long
    R[$u.cpu_per_sample_ms]=$(calc "${R[$u.cpu_s]} / ${R[$u.samples]} * 1000")
    R[$u.wakeups_per_sample]=$(calc "${R[$u.voluntary_switches]} / ${R[$u.samples]}")
    # What the paced sweep would cost if each answer reached the program in one piece.
    R[$u.cpu_share_at_paced_rate_percent]=$(calc \
        "${R[$u.cpu_per_sample_ms]} * ${R[paced_scale_1.samples_per_s]:-${R[bound.samples_per_s]}} / 10")
    rss_values=()
    for mark in 1000 10000 100000; do
        [ -z "${R[$u.rss_kib_at_$mark]:-}" ] || rss_values+=("${R[$u.rss_kib_at_$mark]}")
    done
    if [ ${#rss_values[@]} -eq 3 ]; then
        R[$u.rss_spread_kib]=$(printf '%s\n' "${rss_values[@]}" | sort -n |
            awk 'NR == 1 { low = $1 } { high = $1 } END { print high - low }')
    fi
fi

# 3. Read time-outs of the termios backend.
if wants timeouts; then
    echo "bench: read time-outs on a pseudo-terminal" >&2
    "$bench" timeouts --reads "$reads" >"$runs/timeouts.txt"
    load timeouts "$runs/timeouts.txt"
fi

wine_program=("$repo/scripts/wine-run.sh" "--prefix=$wine_prefix" --timeout=240
    "$repo/build/mingw/gyro_motor.exe")

# 4. The Windows build under Wine, its links in the prefix's dosdevices.
if wants wine; then
    wine_setup
    sim_args=(--raw --time-scale 1)
    run_args=(--timeout-s 300)
    program=("${wine_program[@]}")
    sweep wine_paced_scale_1 "$wine_prefix/dosdevices"
fi

# 5. Both lines behind the adapter model, paced, at time scale 2 (some 300 frames at a 16 ms
# tick); no other faults, so every frame is meant to be logged.
adapter_ticks=(0 1 4 16)
adapter_builds=(native)
[ "$skip_wine" -eq 1 ] || adapter_builds+=(wine)
adapter_sections=()
if wants adapter; then
    for build in "${adapter_builds[@]}"; do
        for tick in "${adapter_ticks[@]}"; do
            a=adapter_${build}_tick_$tick
            adapter_sections+=("$a")
            run_args=(--timeout-s 300)
            if [ "$build" = wine ]; then
                wine_setup
                sim_args=(--raw)
                program=("${wine_program[@]}")
                link_dir=$wine_prefix/dosdevices
            else
                sim_args=()
                program=("${native[@]}")
                link_dir=""
            fi
            sim_args+=(--time-scale 2 --usb-tick-ms "$tick" --frames "$runs/$a/frames.txt")
            sweep "$a" "$link_dir"
            "$bench" frames "$runs/$a/frames.txt" "$runs/$a/gyro_motor.txt" >"$runs/$a/frames_result.txt"
            load "$a" "$runs/$a/frames_result.txt"
            R[$a.logged_per_s]=$(calc \
                "${R[$a.samples]} * 1000 / (${R[$a.last_poll_ms]} - ${R[$a.first_poll_ms]})")
        done
    done
fi

# 6. The history over 10,000 records: the archive written once, then each view timed on it (the
# records just written, so from the page cache).
if wants history; then
    echo "bench: history over a generated archive" >&2
    h=$runs/history
    mkdir -p "$h"
    "$bench" archive --records 10000 --per-sensor 10 "$h/archive" >"$h/archive.txt"
    load history "$h/archive.txt"
    for view in summary sensors; do
        view_args=()
        [ "$view" = sensors ] || view_args=(--summary)
        "$bench" run --child-output "$h/$view.out" --timeout-s 120 -- \
            "$repo/build/default/gyro_motor_history" "${view_args[@]}" "$h/archive" >"$h/$view.txt"
        load "history_$view" "$h/$view.txt"
    done
fi

# 7. Instant lines: each sample then costs only the interval time-out after the controller's
# prompt, so the start (the bench check before the move) shows against the whole run. 85 ms of
# motor time per motion query makes the 25.4 s move some 300 samples.
if wants instant; then
    "$bench" bound --gyro-baud 1e9 --motor-baud 1e9 --gyro-latency-ms 0 --motor-latency-ms 0 \
        >"$runs/bound_instant.txt"
    load bound_instant "$runs/bound_instant.txt"
    sim_args=(--no-pacing --lockstep-ms 85)
    run_args=(--timeout-s 120)
    program=("${native[@]}")
    sweep instant
    i=instant
    R[$i.ratio]=$(calc "${R[$i.samples_per_s]} / ${R[bound_instant.samples_per_s]}")
    R[$i.start_ratio]=$(calc \
        "${R[$i.polls]} * 1000 / ${R[$i.start_to_last_poll_ms]} / ${R[bound_instant.samples_per_s]}")
fi

# 8. The database: the archive written once, exported to a private server (a cluster of its own,
# as the tests start it), exported again, then the summary from the database and from the folder;
# each summary run twice, the second timed, so that both read what the first left in the caches.
if wants database; then
    echo "bench: the database" >&2
    d=$runs/database
    mkdir -p "$d"
    "$bench" archive --records "$database_records" --per-sensor 10 "$d/archive" >"$d/archive.txt"
    load database "$d/archive.txt"
    database_state=$d/server
    GM_REQUIRE_DATABASE=1 tests/records/database/database_server.sh start "$database_state" >&2
    connection=$(cat "$database_state/connection.txt")
    history_program=$repo/build/default/gyro_motor_history
    for step in export export_again; do
        "$bench" run --child-output "$d/$step.out" --timeout-s 7200 -- \
            "$history_program" "$d/archive" --export "$connection" >"$d/$step.txt"
        load "database_$step" "$d/$step.txt"
    done
    for source in database folder; do
        [ "$source" = database ] && from=(--database "$connection") || from=("$d/archive")
        for pass in warm timed; do
            "$bench" run --child-output "$d/summary_$source.out" --timeout-s 600 -- \
                "$history_program" --summary "${from[@]}" >"$d/summary_$source.txt"
        done
        load "database_summary_$source" "$d/summary_$source.txt"
    done
fi

load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the table -------------------------------------------------------------------------------
verdict() { awk "BEGIN { print ($1) ? \"met\" : \"missed\" }"; }
row() { printf '  %-46s %-26s %-16s %s\n' "$1" "$2" "${3:-}" "${4:-}"; }
f() { printf "%.${2:-2}f" "$1"; }

{
    echo "gyro_motor benchmark, $(date '+%Y-%m-%d %H:%M'), $(nproc) CPUs," \
        "load average $load_start at start, $load_end at end"
    printf '  %-46s %-26s %-16s %s\n' "" "measured" "target" ""
    if wants paced; then
        p=paced_scale_1
        echo "Paced sweep, native (38400/9600 baud, latencies 2/5 ms, time scale 1)"
        row "samples logged / gyro polls" "${R[$p.samples]} / ${R[$p.polls]}  (exit ${R[$p.status]})"
        row "samples/s, first to last poll" "$(f "${R[$p.samples_per_s]}" 3)"
        row "bound: $(f "${R[bound.sample_ms]}" 3) ms per sample" "$(f "${R[bound.samples_per_s]}" 3)"
        b=bound
        printf '    (query %s B %s + controller %s + answer %s B %s + interval time-out %s\n' \
            "${R[$b.query_bytes]}" "$(f "${R[$b.query_line_ms]}" 3)" \
            "$(f "${R[$b.motor_latency_ms]}" 3)" "${R[$b.answer_bytes]}" \
            "$(f "${R[$b.answer_line_ms]}" 3)" "$(f "${R[$b.interval_timeout_ms]}" 3)"
        printf '     + poll %s B %s + gyro %s + frame %s B %s ms)\n' \
            "${R[$b.poll_bytes]}" "$(f "${R[$b.poll_line_ms]}" 3)" \
            "$(f "${R[$b.gyro_latency_ms]}" 3)" "${R[$b.frame_bytes]}" \
            "$(f "${R[$b.frame_line_ms]}" 3)"
        row "ratio measured / bound" "$(f "${R[$p.ratio]}" 4)" ">= 0.97" \
            "$(verdict "${R[$p.ratio]} >= 0.97")"
        row "median period (bound period)" \
            "$(f "${R[$p.period_median_ms]}" 3) ms ($(f "${R[bound.sample_ms]}" 3))"
        row "CPU per 1000 samples" "$(f "${R[$p.cpu_per_1000_samples_s]}" 3) s"
        row "CPU share of one core over the run" "$(f "${R[$p.cpu_share_percent]}" 2) %" "< 1 %" \
            "$(verdict "${R[$p.cpu_share_percent]} < 1")"
        row "wake-ups (voluntary switches) per sample" "$(f "${R[$p.wakeups_per_sample]}" 1)"
        row "peak resident memory" "${R[$p.peak_rss_kib]} KiB"
        p=paced_scale_5
        row "same at time scale 5: samples/s, ratio" \
            "$(f "${R[$p.samples_per_s]}" 3), $(f "${R[$p.ratio]}" 4)"
    fi
    if wants long; then
        u=unpaced_long
        echo "Long unpaced sweep, native (--no-pacing, time scale $(f "${R[$u.time_scale]}" 4))"
        row "samples logged" "${R[$u.samples]}  (exit ${R[$u.status]}, SIGINT at the return)"
        row "samples/s" "$(f "${R[$u.samples_per_s]}" 3)"
        row "CPU per sample" "$(f "${R[$u.cpu_per_sample_ms]}" 4) ms"
        row "wake-ups (voluntary switches) per sample" "$(f "${R[$u.wakeups_per_sample]}" 1)"
        row "that CPU per sample at the paced rate" \
            "$(f "${R[$u.cpu_share_at_paced_rate_percent]}" 2) % of a core"
        row "resident memory at 1k / 10k / 100k samples" \
            "${R[$u.rss_kib_at_1000]:-?} / ${R[$u.rss_kib_at_10000]:-?} / ${R[$u.rss_kib_at_100000]:-?} KiB" \
            "flat within 100 KiB" \
            "$([ -n "${R[$u.rss_spread_kib]:-}" ] && verdict "${R[$u.rss_spread_kib]} <= 100" ||
                echo "not reached")"
        row "peak resident memory" "${R[$u.peak_rss_kib]} KiB"
    fi
    if wants timeouts; then
        t=timeouts
        echo "Read time-outs, termios backend on a pseudo-terminal (${R[$t.interval_reads]} reads each)"
        row "interval 10 ms: overshoot median / max" \
            "$(f "${R[$t.interval_median_ms]}" 3) / $(f "${R[$t.interval_max_ms]}" 3) ms" \
            "<= 0.5 / <= 3 ms" \
            "$(verdict "${R[$t.interval_median_ms]} <= 0.5 && ${R[$t.interval_max_ms]} <= 3")"
        row "total $(f "${R[$t.total_nominal_ms]}" 0) ms: overshoot median / max" \
            "$(f "${R[$t.total_median_ms]}" 3) / $(f "${R[$t.total_max_ms]}" 3) ms" \
            "<= 0.5 / <= 3 ms" \
            "$(verdict "${R[$t.total_median_ms]} <= 0.5 && ${R[$t.total_max_ms]} <= 3")"
    fi
    if wants wine; then
        w=wine_paced_scale_1
        echo "Paced sweep, Windows build under Wine (same settings, for comparison)"
        row "samples logged / gyro polls" "${R[$w.samples]} / ${R[$w.polls]}  (exit ${R[$w.status]})"
        row "samples/s, first to last poll" "$(f "${R[$w.samples_per_s]}" 3)"
        row "ratio measured / bound" "$(f "${R[$w.ratio]}" 4)"
        row "median period (bound period)" \
            "$(f "${R[$w.period_median_ms]}" 3) ms ($(f "${R[bound.sample_ms]}" 3))"
    fi
    if wants adapter; then
        for build in "${adapter_builds[@]}"; do
            [ "$build" = native ] && title="native" || title="Windows build under Wine"
            echo "USB adapter model, $title (paced, time scale 2, latency tick on both lines)"
            for tick in "${adapter_ticks[@]}"; do
                a=adapter_${build}_tick_$tick
                row "tick $tick ms: samples/s, kept, wrong" \
                    "$(f "${R[$a.logged_per_s]}" 2), $(f "$(calc "${R[$a.kept_share]} * 100")" 1) % of ${R[$a.frames_meant]}, ${R[$a.wrong]}" \
                    "wrong = 0" "$(verdict "${R[$a.wrong]} == 0")"
            done
        done
    fi
    if wants history; then
        echo "gyro_motor_history over ${R[history.records]} records of ${R[history.sensors]} sensors" \
            "(report.json $(f "${R[history.mean_json_bytes]}" 0) bytes, log" \
            "$(f "${R[history.mean_log_bytes]}" 0) bytes on average, each record checked)"
        for view in summary sensors; do
            v=history_$view
            row "$view: wall time, peak memory (exit ${R[$v.status]})" \
                "$(f "${R[$v.wall_s]}" 3) s, ${R[$v.peak_rss_kib]} KiB" "< 2 s" \
                "$(verdict "${R[$v.wall_s]} < 2")"
        done
    fi
    if wants database; then
        echo "The database: ${R[database.records]} records of ${R[database.sensors]} sensors," \
            "PostgreSQL on this machine"
        x=database_export
        row "export: wall time, peak memory (exit ${R[$x.status]})" \
            "$(f "${R[$x.wall_s]}" 1) s, ${R[$x.peak_rss_kib]} KiB"
        x=database_export_again
        row "export again, adds 0 (exit ${R[$x.status]})" "$(f "${R[$x.wall_s]}" 1) s"
        x=database_summary_database
        row "--summary from the database (exit ${R[$x.status]})" \
            "$(f "${R[$x.wall_s]}" 3) s, ${R[$x.peak_rss_kib]} KiB" "< 1 s" \
            "$(verdict "${R[$x.wall_s]} < 1")"
        x=database_summary_folder
        row "--summary from the folder (exit ${R[$x.status]})" \
            "$(f "${R[$x.wall_s]}" 3) s, ${R[$x.peak_rss_kib]} KiB"
    fi
    if wants instant; then
        i=instant
        echo "Instant sweep, native (--no-pacing, --lockstep-ms 85)"
        row "samples logged / gyro polls" "${R[$i.samples]} / ${R[$i.polls]}  (exit ${R[$i.status]})"
        row "bench check: controller open to the move" "$(f "${R[$i.open_to_move_ms]}" 1) ms" \
            "< 50 ms" "$(verdict "${R[$i.open_to_move_ms]} < 50")"
        row "ratio / bound, first to last poll" "$(f "${R[$i.ratio]}" 4)"
        row "ratio / bound, program start to last poll" "$(f "${R[$i.start_ratio]}" 4)" \
            ">= 0.93" "$(verdict "${R[$i.start_ratio]} >= 0.93")"
    fi
} | tee "$out/table.txt"

# --- the results file ------------------------------------------------------------------------
{
    printf '{\n  "date": "%s",\n  "cpus": %s,\n' "$(date -Iseconds)" "$(nproc)"
    printf '  "load_average_start": [%s],\n' "$(echo "$load_start" | tr ' ' ',')"
    printf '  "load_average_end": [%s]' "$(echo "$load_end" | tr ' ' ',')"
    for section in bound paced_scale_1 paced_scale_5 unpaced_probe unpaced_long timeouts \
        wine_paced_scale_1 "${adapter_sections[@]}" history history_summary history_sensors \
        bound_instant instant database database_export database_export_again \
        database_summary_database database_summary_folder; do
        keys=$(printf '%s\n' "${!R[@]}" | grep "^$section\." | sort || true)
        [ -n "$keys" ] || continue
        printf ',\n  "%s": {' "$section"
        separator=""
        for key in $keys; do
            printf '%s\n    "%s": %s' "$separator" "${key#"$section".}" "${R[$key]}"
            separator=","
        done
        printf '\n  }'
    done
    printf '\n}\n'
} >"$out/results.json"
echo "bench: results in build/bench/results.json, runs in build/bench/runs/" >&2
