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
