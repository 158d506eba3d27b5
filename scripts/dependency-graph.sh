#!/usr/bin/env bash
# Draws the dependencies between Vellora's libraries and executables into
# docs/dependencies.svg, and fails when they form a circle or a folder
# includes a header from above its library.
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
# Linking catches a lower library calling an upper one, not a lower file
# including an upper header for its inline code: check the includes too. A
# folder may include its own headers and those of the libraries its library
# reaches through the picture's arrows.
python3 - "$work/graph.dot" <<'PY'
import re, subprocess, sys
label, edges = {}, {}
for line in open(sys.argv[1]):
    m = re.match(r'\s*"(node\d+)" \[ label = "([^"]+)"', line)
    if m: label[m.group(1)] = m.group(2)
    m = re.match(r'\s*"(node\d+)" -> "(node\d+)"', line)
    if m: edges.setdefault(m.group(1), set()).add(m.group(2))
def below(node, seen):
    for n in edges.get(node, ()):
        if n not in seen:
            seen.add(n); below(n, seen)
    return seen
target = {v: k for k, v in label.items()}
folder_of = lambda t: {"vellora_startup": "app", "vellora": "app", "vellora-cli": "cli"}.get(t, t.removeprefix("vellora_"))
allowed = {}
for t, node in target.items():
    allowed.setdefault(folder_of(t), {folder_of(t)}).update(folder_of(label[n]) for n in below(node, set()))
bad = []
for folder, may in sorted(allowed.items()):
    out = subprocess.run(["grep", "-rnoE", r'#include "[a-z]+/', "src/" + folder], capture_output=True, text=True).stdout
    for hit in out.splitlines():
        used = hit.rsplit('"', 1)[1].rstrip("/")
        if used not in may: bad.append("%s includes %s/, which its library does not link" % (hit.split(":")[0], used))
if bad:
    print("\n".join(bad), file=sys.stderr); sys.exit(1)
PY
dot -Tsvg "$work/graph.dot" -o docs/dependencies.svg
echo "docs/dependencies.svg"
