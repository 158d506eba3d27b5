#!/usr/bin/env bash
# Sets everything up and runs the whole test suite (unit, widget and
# end-to-end tests against a CUPS PDF printer).
#   scripts/test.sh [--sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh "$@"
build=build
[ "${1:-}" = "--sanitize" ] && build=build-asan
if [ -x scripts/test-printer.sh ]; then
    scripts/test-printer.sh >/dev/null || echo "test printer could not be started; printing tests will skip" >&2
fi
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --no-tests=error --output-on-failure -j 2 --timeout 900
