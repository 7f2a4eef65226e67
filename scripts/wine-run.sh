#!/usr/bin/env bash
# Runs the Windows programs of the mingw build under Wine: headless, in one Wine prefix, every
# run bounded by a time-out. CTest uses it as the cross-compiling emulator.
#
#   wine-run.sh --prefix=DIR --setup     make the prefix if missing, start its wineserver, point
#                                        the COM names at nothing (see below)
#   wine-run.sh --prefix=DIR --stop      stop the prefix's wineserver and every program in it
#   wine-run.sh --prefix=DIR --env       print the shell exports that select the prefix
#   wine-run.sh --prefix=DIR [--timeout=SECONDS] [--link=comN=UNIX_PATH]... PROGRAM [ARG...]
#
# A run sets the prefix up first when no wineserver of it is running. --link points a COM name at
# a Unix device (e.g. a pseudo-terminal slave) for that run only. With GM_ECHO_PORT=comN in the
# environment the run also serves a loopback pseudo-terminal on that name (scripts/pty-echo.py),
# which the kernel32 backend test talks to.
#
# Why it is done this way:
# - Wine's background services (wineserver, services.exe, winedevice.exe) inherit the stdout and
#   stderr of the wine command that starts them, and a caller that reads those through a pipe
#   (CTest does) waits for them forever. So the server and the first wineboot start detached, and
#   the services they start stay up until --stop (or ten idle minutes).
# - On startup Wine maps the host's serial devices (/dev/ttyS*, ttyUSB*, ttyACM*) to com1, com2,
#   ... No test may reach the host's real serial ports, so after startup com1..com9 all point at a
#   path that does not exist; tests link the names they use. A name that Wine mapped this way
#   works when linked to a pseudo-terminal, but linked to a missing path it still opens (and
#   every comm call on it fails with 1): the missing-device test needs a name Wine left free
#   (com7), and --setup checks that.
set -euo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
prefix=""
mode="run"
timeout_seconds=${GM_WINE_TIMEOUT:-120}
links=()
# The COM name that the kernel32 backend test expects to be missing.
missing_port=com7

usage() {
    sed -n '2,14p' "$0" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
    --prefix=*) prefix=${1#--prefix=} ;;
    --setup) mode="setup" ;;
    --stop) mode="stop" ;;
    --env) mode="env" ;;
    --timeout=*) timeout_seconds=${1#--timeout=} ;;
    --link=*) links+=("${1#--link=}") ;;
    --help | -h) usage ;;
    --*) echo "wine-run: unknown option $1" >&2 && usage ;;
    *) break ;;
    esac
    shift
done
[ -n "$prefix" ] || prefix=${WINEPREFIX:-}
[ -n "$prefix" ] || {
    echo "wine-run: give --prefix=DIR (or WINEPREFIX)" >&2
    exit 2
}
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

dosdevices="$prefix/dosdevices"
no_device="$prefix-no-device"
server_pid_file="$prefix-server.pid"
setup_log="$prefix-setup.log"
lock_file="$prefix.lock"

server_running() {
    local pid
    pid=$(cat "$server_pid_file" 2>/dev/null) || return 1
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null &&
        grep -q wineserver "/proc/$pid/cmdline" 2>/dev/null
}

# Points a COM name at a Unix path, replacing the old link in one step.
link_port() {
    local name=$1 target=$2
    ln -sfn "$target" "$dosdevices/$name.new"
    mv -T "$dosdevices/$name.new" "$dosdevices/$name"
}

unlink_port() {
    link_port "$1" "$no_device/$1"
}

# Replaces the (sub)shell with a command that leaves Wine's daemons behind, with nothing of ours
# open in them but the setup log: a daemon that inherits a pipe makes its reader wait forever, and
# one that inherits the lock file keeps the lock held.
detach_exec() {
    local fd
    for fd in /proc/"$BASHPID"/fd/*; do
        fd=${fd##*/}
        [ "$fd" -gt 2 ] && eval "exec $fd>&-"
    done
    exec "$@" </dev/null >>"$setup_log" 2>&1
}

setup() {
    if server_running; then
        return 0
    fi
    : >"$setup_log"
    # A server left over from an earlier run of this prefix (e.g. a killed test run) goes first.
    if [ -d "$prefix" ]; then
        (detach_exec timeout 30 wineserver -k) || true
    fi

    # The server in the foreground of its own session, so that $! is its pid. It stays up, and
    # with it the services, until --stop or until no program has run in it for ten minutes (a
    # test run that was interrupted leaves nothing behind for long).
    mkdir -p "$prefix"
    detach_exec setsid wineserver -f -p600 &
    echo $! >"$server_pid_file"
    # wineboot makes a new prefix (about 10 s) or brings an existing one up to date, and starts
    # the services. Its children keep the log file, never a pipe of the caller.
    if ! (detach_exec timeout 300 setsid -w wineboot --init); then
        echo "wine-run: wineboot failed in $prefix; see $setup_log" >&2
        return 1
    fi

    mkdir -p "$no_device"
    local n target
    for n in 1 2 3 4 5 6 7 8 9; do
        target=$(readlink "$dosdevices/com$n" 2>/dev/null || true)
        if [ "com$n" = "$missing_port" ] && [[ "$target" == /dev/* ]]; then
            echo "wine-run: Wine mapped $missing_port to the host's $target; the missing-port" \
                "test needs a COM name that Wine leaves free" >&2
            return 1
        fi
        unlink_port "com$n"
    done
}

stop() {
    if [ -d "$prefix" ]; then
        timeout 30 wineserver -k 2>/dev/null || true
    fi
    local pid
    pid=$(cat "$server_pid_file" 2>/dev/null || true)
    if [ -n "$pid" ]; then
        for _ in $(seq 50); do
            server_running || break
            sleep 0.1
        done
        if server_running; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$server_pid_file"
}

case "$mode" in
setup)
    exec 9>"$lock_file"
    flock 9
    setup
    exit
    ;;
stop)
    exec 9>"$lock_file"
    flock 9
    stop
    exit
    ;;
env)
    printf 'export WINEPREFIX=%q WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES=%q\n' \
        "$prefix" "$WINEDLLOVERRIDES"
    exit
    ;;
esac

[ $# -gt 0 ] || usage
(
    flock 9
    setup
) 9>"$lock_file"

echo_pid=""
echo_ready=""
linked=()
# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
    if [ -n "$echo_pid" ]; then
        kill "$echo_pid" 2>/dev/null || true
        wait "$echo_pid" 2>/dev/null || true
    fi
    [ -z "$echo_ready" ] || rm -f "$echo_ready"
    local name
    for name in "${linked[@]}"; do
        unlink_port "$name"
    done
}
trap cleanup EXIT

for link in "${links[@]}"; do
    name=${link%%=*}
    link_port "$name" "${link#*=}"
    linked+=("$name")
done

if [ -n "${GM_ECHO_PORT:-}" ]; then
    echo_ready=$(mktemp)
    python3 "$script_dir/pty-echo.py" "$dosdevices/$GM_ECHO_PORT" </dev/null >"$echo_ready" 2>&1 &
    echo_pid=$!
    linked+=("$GM_ECHO_PORT")
    for _ in $(seq 100); do
        grep -q '^ready' "$echo_ready" && break
        kill -0 "$echo_pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! grep -q '^ready' "$echo_ready"; then
        echo "wine-run: the loopback pseudo-terminal did not start:" >&2
        cat "$echo_ready" >&2
        exit 1
    fi
fi

status=0
timeout -k 10 "$timeout_seconds" wine "$@" || status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "wine-run: $1 did not end within $timeout_seconds s" >&2
fi
exit "$status"
