#!/bin/bash
# Batch layout, end to end: 100 photos of 4000 × 3000 laid out with
# `vellora-cli layout` on the shipped one-inch template for 6-inch paper
# (5 × 2 cells of 25 × 35 mm, 10 copies a photo: one sheet a photo) and saved
# as JPEG sheets. Beside it:
#   - the same sheets made by ImageMagick's montage (same tile, geometry and
#     JPEG quality), timed on the first IM_PHOTOS photos and taken per photo;
#   - the lower bound: the bare DCT-scaled decodes of the photos plus the
#     encodes of the sheets (bench_batch_bound);
#   - the peak memory of the job for 100 and for 500 photos (the 100 listed
#     five times).
# Targets: at least 10 × faster than ImageMagick, within 1.5 × the bound,
# peak memory flat and under 250 MB. Prints figures only; never fails on them.
#
#   bench/bench_batch.sh [BUILD_DIR]      (default: build-bench, Release)
#   VELLORA_BENCH_DIR  work folder for photos and sheets (default /tmp/vellora-bench-batch)
#   IM_PHOTOS          photos given to ImageMagick (default 20)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build-bench}
work=${VELLORA_BENCH_DIR:-/tmp/vellora-bench-batch}
im_photos=${IM_PHOTOS:-20}
photo_count=100
template=$repo/data/templates/01-one-inch-6in-landscape.json
export QT_QPA_PLATFORM=offscreen

need=()
command -v montage >/dev/null || need+=(imagemagick)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
    echo "installing ${need[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}" >/dev/null
fi

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORA_BUILD_TESTS=OFF >&2
fi
ninja -C "$build" -j2 vellora-cli bench_batch_bound >&2
cli=$build/bin/vellora-cli
bound=$build/bench/bench_batch_bound

# The montage call below repeats the template's geometry; make sure it still is.
for pair in '"尺寸1横向张数": 5' '"尺寸1纵向张数": 2' '"尺寸1宽度": 250' '"尺寸1高度": 350' \
            '"尺寸1横向距离": 50' '"尺寸1纵向距离": 60' '"照片输出张数": 10'; do
    grep -qF "$pair" "$template" || { echo "the template changed: $pair" >&2; exit 1; }
done

mkdir -p "$work"
echo "generating $photo_count photos of 4000 x 3000 in $work/photos (kept between runs)" >&2
"$bound" generate "$work/photos" "$photo_count" 4000 3000
mapfile -t photos < <(ls "$work"/photos/photo*.jpg | head -n "$photo_count")

# time -v figures: wall seconds and peak resident kilobytes.
wall_seconds() {
    awk -F': ' '/Elapsed \(wall clock\)/ {
        n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$1"
}
peak_kb() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$1"; }

run_layout() { # label, photos...
    local label=$1
    shift
    rm -rf "$work/out-$label"
    mkdir -p "$work/out-$label"
    /usr/bin/time -v -o "$work/time-$label.txt" \
        "$cli" layout --template-json "$template" --out "$work/out-$label" "$@" \
        2>"$work/log-$label.txt" || { echo "vellora-cli layout failed, see $work/log-$label.txt" >&2; exit 1; }
    local sheets
    sheets=$(ls "$work/out-$label" | wc -l)
    [ "$sheets" -eq "$#" ] || echo "warning: $sheets sheets for $# photos" >&2
}

sync
echo "vellora-cli layout, $photo_count photos" >&2
run_layout 100 "${photos[@]}"
echo "vellora-cli layout, $((photo_count * 5)) photos" >&2
run_layout 500 "${photos[@]}" "${photos[@]}" "${photos[@]}" "${photos[@]}" "${photos[@]}"

echo "lower bound" >&2
bound_line=$("$bound" bound "$template" "${photos[@]}")

echo "ImageMagick montage, $im_photos photos" >&2
rm -rf "$work/out-im"
mkdir -p "$work/out-im"
im_start=$(date +%s.%N)
for photo in "${photos[@]:0:$im_photos}"; do
    tiles=()
    for _ in $(seq 10); do tiles+=("$photo"); done
    montage "${tiles[@]}" -tile 5x2 -geometry 250x350+25+30 -quality 100 \
        "$work/out-im/$(basename "$photo")"
done
im_end=$(date +%s.%N)

v100=$(wall_seconds "$work/time-100.txt")
v500=$(wall_seconds "$work/time-500.txt")
m100=$(peak_kb "$work/time-100.txt")
m500=$(peak_kb "$work/time-500.txt")
bound_s=$(sed -n 's/.*bound_s=\([0-9.]*\).*/\1/p' <<<"$bound_line")
im_s=$(awk -v a="$im_start" -v b="$im_end" 'BEGIN { print b - a }')

awk -v n="$photo_count" -v v100="$v100" -v v500="$v500" -v m100="$m100" -v m500="$m500" \
    -v bound="$bound_s" -v bl="$bound_line" -v im="$im_s" -v imn="$im_photos" 'BEGIN {
    per = v100 / n; imper = im / imn
    printf "\nbatch layout, %d photos of 4000 x 3000, one sheet of 10 copies a photo\n", n
    printf "  vellora-cli layout, %3d photos: %7.2f s  %6.2f photos/s  peak %6.1f MB\n", n, v100, n / v100, m100 / 1024
    printf "  vellora-cli layout, %3d photos: %7.2f s  %6.2f photos/s  peak %6.1f MB\n", 5 * n, v500, 5 * n / v500, m500 / 1024
    printf "  ImageMagick montage, %d photos: %7.2f s  %6.3f s a photo\n", imn, im, imper
    printf "  lower bound (%s)\n", bl
    printf "\n  faster than ImageMagick:  %6.1f x   (target >= 10 x)\n", imper / per
    printf "  against the lower bound:  %6.2f x   (target <= 1.5 x)\n", v100 / bound
    printf "  peak memory 100 -> 500:   %6.1f -> %6.1f MB   (target flat, < 250 MB)\n", m100 / 1024, m500 / 1024
}'
