#!/usr/bin/env bash
# A private PostgreSQL server for the database tests: a cluster of its own in a temporary folder,
# on a free port of 127.0.0.1, run by an unprivileged user when run as root (the server refuses
# root). CTest starts it before those tests and stops it after them, also when one fails.
#
# Usage: database_server.sh start STATE_DIR    starts it; writes STATE_DIR/connection.txt, the
#                                              ODBC connection string of its database "gm"
#        database_server.sh stop STATE_DIR     stops it and removes the cluster
#
# Where it cannot start (no PostgreSQL, no ODBC driver), start writes the reason to
# STATE_DIR/unavailable.txt and succeeds, so the tests skip with that message; with
# GM_REQUIRE_DATABASE=1 (CI) it fails instead, so CI cannot pass them by skipping.
set -uo pipefail
command=${1:?start or stop}
state=${2:?state folder}
driver=${GM_ODBC_DRIVER:-/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so}

unavailable() {
    echo "database_server.sh: $*" >&2
    if [ "${GM_REQUIRE_DATABASE:-0}" = 1 ]; then
        echo "database_server.sh: GM_REQUIRE_DATABASE=1: the database tests must run" >&2
        exit 1
    fi
    echo "$*" >"$state/unavailable.txt"
    exit 0
}

# as_owner COMMAND...: runs it as the cluster's owner.
as_owner() {
    if [ -n "$owner" ]; then
        runuser -u "$owner" -- "$@"
    else
        "$@"
    fi
}

owner=""
[ "$(id -u)" -ne 0 ] || owner=nobody

case $command in
start)
    rm -rf "$state"
    mkdir -p "$state"
    bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
    if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
        bin=$(dirname "$(command -v initdb 2>/dev/null || echo /nonexistent/initdb)")
    fi
    [ -x "$bin/initdb" ] && [ -x "$bin/pg_ctl" ] ||
        unavailable "no PostgreSQL server here (Debian: postgresql): the database tests are skipped"
    [ -f "$driver" ] ||
        unavailable "no PostgreSQL ODBC driver at $driver (Debian: odbc-postgresql): the database tests are skipped"
    cluster=$(mktemp -d /tmp/gm_database_XXXXXX)
    echo "$cluster" >"$state/cluster.txt"
    [ -z "$owner" ] || chown "$owner" "$cluster"
    if ! as_owner "$bin/initdb" -D "$cluster/data" -U gm --auth=trust -E UTF8 --locale=C.UTF-8 \
        >"$state/initdb.log" 2>&1; then
        unavailable "initdb failed: $(tail -n 3 "$state/initdb.log" | tr '\n' ' ')"
    fi
    # A free port: the system's pick for a socket bound to port 0, tried again should another
    # process take it first.
    for _ in 1 2 3 4 5; do
        port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        if as_owner "$bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w -t 60 \
            -o "-p $port -k $cluster -c listen_addresses=127.0.0.1 -c fsync=off" start \
            >"$state/pg_ctl.log" 2>&1; then
            echo "$bin" >"$state/bin.txt"
            printf 'Driver=%s;Server=127.0.0.1;Port=%s;Database=gm;Uid=gm;Pwd=;' "$driver" "$port" \
                >"$state/connection.txt"
            # The tests' own database, and a role's worth of rights for making more of them.
            as_owner "$bin/psql" -h "$cluster" -p "$port" -U gm -d postgres -q \
                -c 'CREATE DATABASE gm' >>"$state/pg_ctl.log" 2>&1 ||
                unavailable "cannot make the database gm: $(tail -n 2 "$state/pg_ctl.log" | tr '\n' ' ')"
            echo "database_server.sh: PostgreSQL on 127.0.0.1:$port, cluster $cluster"
            exit 0
        fi
    done
    unavailable "the server did not start: $(tail -n 3 "$cluster/server.log" 2>/dev/null | tr '\n' ' ')"
    ;;
stop)
    [ -f "$state/cluster.txt" ] || exit 0
    cluster=$(cat "$state/cluster.txt")
    if [ -f "$state/bin.txt" ]; then
        as_owner "$(cat "$state/bin.txt")/pg_ctl" -D "$cluster/data" -m immediate -w stop \
            >/dev/null 2>&1 || true
    fi
    case $cluster in
    /tmp/gm_database_*) rm -rf "$cluster" ;;
    esac
    rm -f "$state/cluster.txt" "$state/connection.txt" "$state/bin.txt"
    ;;
*)
    echo "usage: database_server.sh start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
