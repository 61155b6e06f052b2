#!/usr/bin/env bash
# scripts/run, sent SIGTERM, SIGINT or SIGHUP alone (as `timeout` or a closed
# terminal would), stops both what it started: the program, with the X server
# xvfb-run started for it when there is no display, and the logbook service.
# The script runs as it is, from a copy of the tree whose build step does
# nothing and whose programs are stand-ins that tell their process ids.
#   run_signals_test.sh SOURCE_DIR
set -uo pipefail
src=$1
work=$(mktemp -d)
passed=0 failed=0
current=() # what the case under way started, stopped by id when it is over
stop_current() {
    for pid in "${current[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    current=()
}
cleanup() {
    stop_current
    rm -rf "$work"
}
trap cleanup EXIT
# Every case starts in a process group of its own, with SIGINT handled as a
# shell in a terminal would (a background job of a script would ignore it).
set -m

mkdir -p "$work/scripts" "$work/build/bin"
cp "$src/scripts/run" "$work/scripts/run"
chmod +x "$work/scripts/run"
cat >"$work/scripts/lib.sh" <<'LIB'
ensure_packages() { :; }
configure_and_build() { :; }
LIB
cat >"$work/build/bin/qsologbook" <<'STUB'
#!/bin/sh
echo $$ >"$STUB_DIR/program.pid"
exec sleep 300
STUB
cat >"$work/build/bin/logbook-service" <<'STUB'
#!/bin/sh
echo $$ >"$STUB_DIR/service.pid"
echo "logbook-service: listening on http://127.0.0.1:18080/ (1 account)"
exec sleep 300
STUB
chmod +x "$work/build/bin/"*

# wait_until SECONDS COMMAND...: true once COMMAND succeeds, polled.
wait_until() {
    local tries=$(($1 * 20))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.05
    done
}
# A zombie only waits to be reaped: it counts as ended.
alive() { ps -o stat= -p "$1" 2>/dev/null | grep -qv '^Z'; }
# The processes below PID, children first seen first.
descendants() {
    local pid
    for pid in $(ps -o pid= --ppid "$1"); do
        echo "$pid"
        descendants "$pid"
    done
}
all_ended() {
    local pid
    for pid in "$@"; do alive "$pid" && return 1; done
    return 0
}

for display in ":9" ""; do
    for signal in TERM INT HUP; do
        name="SIG$signal, with a display"
        [ -n "$display" ] || name="SIG$signal, under xvfb-run"
        export STUB_DIR="$work/case"
        rm -rf "$STUB_DIR" && mkdir -p "$STUB_DIR"
        DISPLAY=$display WAYLAND_DISPLAY= "$work/scripts/run" >"$STUB_DIR/out" 2>&1 &
        run=$!
        current=("$run")
        if ! wait_until 20 test -s "$STUB_DIR/program.pid" || ! test -s "$STUB_DIR/service.pid"; then
            echo "FAIL $name: the stand-ins did not start"; cat "$STUB_DIR/out"
            failed=$((failed + 1)); stop_current; continue
        fi
        # Everything it started: the stand-ins, xvfb-run and its X server, tee.
        started=($(descendants "$run"))
        current+=("${started[@]}")
        kill -"$signal" "$run"
        if wait_until 10 all_ended "$run" "${started[@]}"; then
            echo "ok   $name"; passed=$((passed + 1))
        else
            left=()
            for pid in "$run" "${started[@]}"; do
                alive "$pid" && left+=("$(ps -o comm= -p "$pid")")
            done
            echo "FAIL $name: still running: ${left[*]}"; failed=$((failed + 1))
        fi
        stop_current
    done
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
