#!/usr/bin/env bash
# Draws the dependencies between Vellora's libraries and executables into
# docs/dependencies.svg, and fails when they form a circle.
#   scripts/dependency-graph.sh [BUILD_DIR]   (a configured build; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"; rm -f "$build/CMakeGraphVizOptions.cmake"' EXIT
cat > "$build/CMakeGraphVizOptions.cmake" <<'X'
set(GRAPHVIZ_GRAPH_NAME "Vellora")
set(GRAPHVIZ_EXTERNAL_LIBS FALSE)
set(GRAPHVIZ_INTERFACE_LIBS FALSE)
set(GRAPHVIZ_GENERATE_PER_TARGET FALSE)
set(GRAPHVIZ_GENERATE_DEPENDERS FALSE)
set(GRAPHVIZ_IGNORE_TARGETS "^tst_|^bench_|vellora_testutils|vellora_warnings|vellora-make|vellora_engines")
X
(cd "$build" && cmake --graphviz="$work/deps.dot" . >/dev/null)
# Only our targets, without the legend; dependers above what they use.
{
    echo 'digraph "Vellora" {'
    echo '  rankdir = TB; node [fontsize = 12, shape = box, style = rounded];'
    grep -E '^ *"node[0-9]+"' "$work/deps.dot" | sed -E 's/, shape = [a-z]+//; s/ \[ style = dotted \]//'
    echo '}'
} > "$work/graph.dot"
if ! acyclic -n "$work/graph.dot"; then
    echo "the dependencies form a circle" >&2
    exit 1
fi
dot -Tsvg "$work/graph.dot" -o docs/dependencies.svg
echo "docs/dependencies.svg"
