#!/bin/bash
# Batch layout, end to end, against fair references. One run lays out 24
# distinct photos of 4000 × 3000 (JPEG quality 92), one copy each, on a 4 × 2
# sheet of 35 × 45 mm cells on 152 × 102 mm paper (no number, no frame), and
# saves the 3 sheets as JPEG. The same work, in the same run, by:
#   - `vellora-cli layout`;
#   - plain montage: -tile 4x2 -geometry 350x450+10+10 -quality 100, one call
#     per sheet of 8 distinct photos;
#   - montage told the size it needs: the same with -define jpeg:size=700x900;
#   - the single-thread bound: `djpeg -scale 2/8` of every photo (the smallest
#     DCT scale that still covers a cell) and `cjpeg -quality 100 -optimize`
#     of every sheet, one after the other.
# Wall times are the fastest of VELLORA_BENCH_REPEAT runs (default 3) and
# still depend on the machine's load (printed);
# CPU seconds (user + system) are printed beside them and are the steadier
# figure on a shared machine. With CALLGRIND=1 the instructions executed by
# vellora-cli (all threads) and by the bound's commands are counted too.
# Memory: the job's peak for 100 and for 500 photos (100 photos listed five
# times).
# Targets: wall ≤ 0.75 × the bound, ≥ 10 × faster than plain montage, ≥ 4 ×
# faster than montage with the size hint, peak memory flat and under 250 MB.
# Prints figures only; never fails on them.
#
#   bench/bench_batch.sh [BUILD_DIR]      (default: build-bench, Release)
#   VELLORA_BENCH_DIR  work folder for photos and sheets (default /tmp/vellora-bench-batch)
#   CALLGRIND=1        also count instructions (slow: a few minutes)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build-bench}
work=${VELLORA_BENCH_DIR:-/tmp/vellora-bench-batch}
photo_count=24
memory_photos=100
export QT_QPA_PLATFORM=offscreen

for tool in montage djpeg cjpeg /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup.sh" >&2; exit 1; }
done

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORA_BUILD_TESTS=OFF >&2
fi
ninja -C "$build" -j2 vellora-cli bench_batch_bound >&2
cli=$build/bin/vellora-cli
helper=$build/bench/bench_batch_bound

mkdir -p "$work"
template=$work/batch-35x45-4x2.json
cat >"$template" <<'EOF'
{
    "名称": "bench-35x45-4x2",
    "尺寸1高度": 450, "尺寸1宽度": 350, "尺寸1横向张数": 4, "尺寸1纵向张数": 2,
    "尺寸1横向距离": 20, "尺寸1纵向距离": 20, "照片输出张数": 1,
    "同底照片不同规格": false, "间隔": 0,
    "尺寸2高度": 0, "尺寸2宽度": 0, "尺寸2横向张数": 0, "尺寸2纵向张数": 0,
    "尺寸2横向距离": 0, "尺寸2纵向距离": 0,
    "居中打印": false, "纸张横向": true, "纸高度": 1020, "纸宽度": 1520,
    "号码不加印": true, "号码里面": false, "字体颜色值": 0,
    "显示裁切线": false, "边框线颜色值": 0, "左边距": 10, "顶边距": 10, "加标志": false
}
EOF

echo "generating $memory_photos photos of 4000 x 3000 in $work/photos (kept between runs)" >&2
"$helper" generate "$work/photos" "$memory_photos" 4000 3000
mapfile -t all_photos < <(ls "$work"/photos/photo*.jpg | head -n "$memory_photos")
photos=("${all_photos[@]:0:$photo_count}")
sheets=$(((photo_count + 7) / 8))

# /usr/bin/time -f "%e %U %S %M": wall, user, system seconds, peak kilobytes.
# Each command runs $repeat times and its fastest run is kept: on a shared
# machine the slower runs measure the neighbours, not the command.
repeat=${VELLORA_BENCH_REPEAT:-3}
output_folder= # emptied before each run, so every run writes the same files
timed() { # label, command...
    local label=$1 i
    shift
    : >"$work/time-$label.all"
    for ((i = 0; i < repeat; i++)); do
        [ -z "$output_folder" ] || { rm -rf "$output_folder" && mkdir -p "$output_folder"; }
        /usr/bin/time -f "%e %U %S %M" -o "$work/time-$label.txt" "$@" >/dev/null 2>"$work/log-$label.txt" ||
            { echo "$label failed, see $work/log-$label.txt" >&2; exit 1; }
        cat "$work/time-$label.txt" >>"$work/time-$label.all"
    done
    sort -n "$work/time-$label.all" | head -n 1 >"$work/time-$label.txt"
}
wall() { awk '{ print $1 }' "$work/time-$1.txt"; }
cpu() { awk '{ print $2 + $3 }' "$work/time-$1.txt"; }
peak_mb() { awk '{ printf "%.1f", $4 / 1024 }' "$work/time-$1.txt"; }

run_vellora() { # label, photos...
    local label=$1
    shift
    output_folder=$work/out-$label
    timed "$label" "$cli" layout --template-json "$template" --out "$work/out-$label" "$@"
}

run_montage() { # label, extra options...
    local label=$1
    shift
    output_folder=$work/out-$label
    mkdir -p "$output_folder"
    cat >"$work/$label.sh" <<EOF
set -e
EOF
    local s
    for ((s = 0; s < sheets; s++)); do
        printf 'montage %s %s -tile 4x2 -geometry 350x450+10+10 -quality 100 %q\n' \
            "$*" "$(printf '%q ' "${photos[@]:$((s * 8)):8}")" "$work/out-$label/sheet$s.jpg" \
            >>"$work/$label.sh"
    done
    timed "$label" bash "$work/$label.sh"
}

run_bound() {
    # A sheet to encode: one of Vellora's, as a PPM, made untimed.
    djpeg -pnm "$(ls "$work"/out-vellora/*.jpg | head -n 1)" >"$work/sheet.ppm"
    {
        echo "set -e"
        for photo in "${photos[@]}"; do printf 'djpeg -scale 2/8 %q >/dev/null\n' "$photo"; done
        for ((s = 0; s < sheets; s++)); do
            printf 'cjpeg -quality 100 -optimize %q >/dev/null\n' "$work/sheet.ppm"
        done
    } >"$work/bound.sh"
    output_folder=
    timed bound bash "$work/bound.sh"
}

sync
load_before=$(uptime)
echo "vellora-cli layout, $photo_count photos" >&2
run_vellora vellora "${photos[@]}"
[ "$(ls "$work/out-vellora" | wc -l)" -eq "$sheets" ] || echo "warning: expected $sheets sheets" >&2
echo "single-thread bound" >&2
run_bound
echo "montage" >&2
run_montage montage
echo "montage with the size hint" >&2
run_montage montage-hint -define jpeg:size=700x900
load_after=$(uptime)

echo "memory: $memory_photos and $((memory_photos * 5)) photos" >&2
run_vellora mem100 "${all_photos[@]}"
run_vellora mem500 "${all_photos[@]}" "${all_photos[@]}" "${all_photos[@]}" "${all_photos[@]}" \
    "${all_photos[@]}"

printf '\nbatch layout: %d distinct photos of 4000 x 3000, 1 copy each, %d sheets of 4 x 2 cells of 35 x 45 mm\n' \
    "$photo_count" "$sheets"
printf '  load before: %s\n  load after:  %s\n' "$load_before" "$load_after"
printf '  %-34s %8s %8s\n' "" "wall s" "cpu s"
for label in vellora bound montage montage-hint; do
    printf '  %-34s %8.2f %8.2f\n' "$label" "$(wall "$label")" "$(cpu "$label")"
done
awk -v v="$(wall vellora)" -v vc="$(cpu vellora)" -v b="$(wall bound)" -v bc="$(cpu bound)" \
    -v m="$(wall montage)" -v h="$(wall montage-hint)" -v n="$photo_count" 'BEGIN {
    printf "\n  vellora / bound, wall:          %6.2f x   (target <= 0.75 x)\n", v / b
    printf "  vellora cpu / bound cpu:        %6.2f x   (work done, whatever the cores)\n", vc / bc
    printf "  plain montage / vellora, wall:  %6.1f x   (target >= 10 x)\n", m / v
    printf "  montage hint / vellora, wall:   %6.1f x   (target >= 4 x)\n", h / v
    printf "  per photo: vellora cpu %.3f s, bound cpu %.3f s\n", vc / n, bc / n
}'
printf '  peak memory %d -> %d photos: %s -> %s MB   (target flat, < 250 MB)\n' \
    "$memory_photos" "$((memory_photos * 5))" "$(peak_mb mem100)" "$(peak_mb mem500)"

if [ "${CALLGRIND:-0}" = 1 ]; then
    command -v valgrind >/dev/null || { echo "CALLGRIND=1 needs valgrind" >&2; exit 1; }
    echo "counting instructions (callgrind)" >&2
    instructions() { # command... → instructions executed, all threads
        local out=$work/callgrind.out
        rm -f "$out"*
        valgrind --tool=callgrind --trace-children=yes --callgrind-out-file="$out.%p" "$@" >/dev/null 2>&1
        cat "$out".* | awk '/^summary:/ { s += $2 } END { print s }'
    }
    rm -rf "$work/out-cg" && mkdir -p "$work/out-cg"
    vi=$(instructions "$cli" layout --template-json "$template" --out "$work/out-cg" "${photos[@]}")
    bi=$(instructions bash "$work/bound.sh")
    awk -v v="$vi" -v b="$bi" 'BEGIN {
        printf "\n  instructions: vellora %.3g, bound %.3g, ratio %.2f x (total work, not wall time)\n", v, b, v / b }'
fi
