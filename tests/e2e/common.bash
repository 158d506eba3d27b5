# Shared by the end-to-end scripts: skipping, and the tests' own printer.

# Outside CI a skip says so loudly and returns ctest's skip code; in CI
# (CI=true or VELLORA_REQUIRE_PRINTER=1) it is a failure: printing must not go
# untested while CI says yes.
skip() {
    echo "######################################################################"
    echo "SKIP: $(basename "$0"): $*"
    echo "######################################################################"
    if [ "${CI:-}" = true ] || [ "${VELLORA_REQUIRE_PRINTER:-}" = 1 ]; then
        echo "FAIL: skipping is not allowed in CI" >&2
        exit 1
    fi
    exit 77
}

# Sets up the tests' queue, makes it this script's default destination
# (PRINTER/LPDEST) and sets pdf_dir to the folder of its PDFs.
use_test_printer() {
    local script="$source_dir/scripts/test-printer.sh"
    [ -f "$script" ] || skip "scripts/test-printer.sh is missing"
    [ "$(id -u)" -eq 0 ] || skip "the test printer needs root"
    local log
    log=$(mktemp)
    pdf_dir=$(bash "$script" 2>"$log" | tail -n 1) ||
        skip "the test printer could not start: $(cat "$log")"
    rm -f "$log"
    [ -d "$pdf_dir" ] || skip "the test printer gave no output folder"
    LPDEST=$(bash "$script" --name)
    PRINTER=$LPDEST
    export LPDEST PRINTER
}

# Waits (up to a minute) until the tests' queue has no job left, so that the
# pages of an earlier run do not land among this run's.
wait_for_idle_printer() {
    local _
    for _ in $(seq 1 120); do
        [ -z "$(lpstat -o "$LPDEST" 2>/dev/null)" ] && return 0
        sleep 0.5
    done
    echo "the queue $LPDEST still has jobs after a minute; going on" >&2
}

# --- the hot-folder checks (watch_burst, watch_clients) ----------------------
#
#   source "$source_dir/tests/e2e/common.bash"
#   hot_folder_begin NAME BUILD_DIR
#
# Sets name, build, cli, work (a temporary folder, removed at exit with
# whatever at_exit named), and fail(). With WATCH_USER set (e.g. nobody) the
# watcher runs as that ordinary user: no CAP_LEASE, no right to take a lease on
# photos another account owns, and the program folder is opened to it. Every
# run has its own copy of the program folder, so that its print ledger starts
# empty and no run takes up what another left.
hot_folder_begin() {
    name=$1
    build=$(cd "${2:?usage: $1.sh BUILD_DIR}" && pwd)
    cli="$build/bin/vellora-cli"
    [ -x "$cli" ] || fail "$cli is not built"
    exit_steps=()
    watcher=
    work=$(mktemp -d "/tmp/$name.XXXXXX")
    trap hot_folder_end EXIT
    as_user=()
    if [ -n "${WATCH_USER:-}" ]; then
        command -v setpriv >/dev/null || skip "setpriv (util-linux) is missing"
        id "$WATCH_USER" >/dev/null 2>&1 || skip "there is no user $WATCH_USER"
        local group
        group=$(id -gn "$WATCH_USER")
        # Qt's runtime folder too, or it would make one in /tmp and leave it.
        install -d -m 700 -o "$WATCH_USER" -g "$group" "$work/runtime"
        as_user=(env XDG_RUNTIME_DIR="$work/runtime"
            setpriv --reuid="$WATCH_USER" --regid="$group" --clear-groups)
    fi
    mkdir "$work/program"
    local f
    for f in vellora-cli sj.edb 152101201205090001.jpg 配置.ini; do
        [ -e "$build/bin/$f" ] && cp -a "$build/bin/$f" "$work/program/"
    done
    cli="$work/program/vellora-cli"
    if [ ${#as_user[@]} -gt 0 ]; then
        chmod -R a+rX "$work/program"
        chmod a+w "$work/program" # 未打印 and the print ledger
    fi
    chmod 755 "$work"
}

fail() {
    echo "FAIL: $name: $*"
    exit 1
}

# at_exit COMMAND...: run at exit, last named first, before the work folder goes.
at_exit() {
    exit_steps=("$*" "${exit_steps[@]}")
}

hot_folder_end() {
    local step
    for step in "${exit_steps[@]}"; do
        eval "$step"
    done
    if [ -n "$watcher" ]; then
        kill -TERM "$watcher" 2>/dev/null
        wait "$watcher" 2>/dev/null
    fi
    rm -rf "$work"
}

# start_watcher HOT TEMPLATE_JSON [OPTION...]: `vellora-cli watch` (as
# WATCH_USER when set), logging to $work/watch.log; returns once it watches.
start_watcher() {
    local hot=$1 template=$2
    shift 2
    chmod 644 "$template"
    [ ${#as_user[@]} -eq 0 ] || chmod 777 "$hot"
    "${as_user[@]}" "$cli" watch "$hot" --template-json "$template" --verbose "$@" \
        2>"$work/watch.log" &
    watcher=$!
    local _
    for _ in $(seq 1 100); do
        grep -q "watching" "$work/watch.log" && return 0
        kill -0 "$watcher" 2>/dev/null || break
        sleep 0.1
    done
    cat "$work/watch.log"
    fail "the watcher did not start"
}

# stop_watcher: SIGTERM, and the watcher's own count, first of all (it tells
# a watcher fault from a printing one). Sets watcher_status.
stop_watcher() {
    kill -TERM "$watcher"
    wait "$watcher"
    watcher_status=$?
    watcher=
    echo "watcher's own count: $(grep -o 'stopped: .*' "$work/watch.log" || echo 'none (it did not stop cleanly)')"
}
