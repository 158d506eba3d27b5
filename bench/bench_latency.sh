#!/bin/bash
# Hot-folder latency against the test printer: photo closed -> sheet's job
# accepted by CUPS. Run as root (the test printer set-up needs it).
#   bash bench/bench_latency.sh BUILD_DIR [ROUNDS]
set -euo pipefail
build=${1:?usage: bench_latency.sh BUILD_DIR [ROUNDS]}
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/../scripts/test-printer.sh" >/dev/null
# The tests' queue is this run's default; the system's default stays as it is.
LPDEST=$(bash "$here/../scripts/test-printer.sh" --name)
PRINTER=$LPDEST
export LPDEST PRINTER
QT_QPA_PLATFORM=offscreen "$build/bench/bench_latency" "${2:-10}"
