#!/bin/bash
# The real program on a virtual X display, driven by real mouse input: start
# it from a copy of the program folder, switch monitoring on with a click on
# the 准备监控 lamp, drop photos into nested folders at the same time, and
# check that every photo comes out of the test printer as one sheet at true
# size. Then close the window as a user would and expect exit code 0.
#
#   gui_monitor.sh BUILD_DIR
#   VELLORA_E2E_SHOTS  folder for the screenshots (default BUILD_DIR/e2e-shots)
set -euo pipefail

build="${1:?usage: gui_monitor.sh BUILD_DIR}"
build="$(cd "$build" && pwd)"
bin="$build/bin"
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
shots="${VELLORA_E2E_SHOTS:-$build/e2e-shots}"
template_name="一寸-6寸相纸横向" # 10 cells, 10 copies: one sheet per photo
screen_w=1280
screen_h=1024
photo_count=4

source "$source_dir/tests/e2e/common.bash"
fail() { echo "FAIL: $*" >&2; exit 1; }
log() { echo "gui_monitor: $*" >&2; }

for f in vellora sj.edb 152101201205090001.jpg; do
    [ -e "$bin/$f" ] || fail "missing $bin/$f (build the vellora, vellora_shipped_store and vellora_sample_photo targets)"
done

# ImageMagick by its full path: /usr/local/bin may hold something else.
convert=/usr/bin/convert
for tool in /usr/bin/Xvfb /usr/bin/xdotool /usr/bin/xwd /usr/bin/pdfimages $convert; do
    [ -e "$tool" ] || skip "$tool is not installed (scripts/setup.sh installs it)"
done

# The tests' own queue, taken by the program as its default printer through
# CUPS's own LPDEST.
use_test_printer
queue=$LPDEST

work="$(mktemp -d /tmp/vellora-gui-monitor.XXXXXX)"
xvfb_pid=""
app_pid=""
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The program folder: binary, template file, sample photo and a 配置.ini (GBK)
# naming the template and the folder to watch.
program="$work/程序"
watched="$work/热文件夹"
mkdir -p "$program" "$watched"
cp "$bin/vellora" "$bin/sj.edb" "$bin/152101201205090001.jpg" "$program/"
printf '[监控文件夹]\n文件夹=%s\n默认排版=%s\n' "$watched" "$template_name" |
    iconv -f UTF-8 -t GBK >"$program/配置.ini"

# A display of our own; Xvfb tells us which number it took.
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 "${screen_w}x${screen_h}x24" -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 5>&-
for _ in $(seq 1 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n1 "$work/display")"
log "display $DISPLAY"

jobs_done() {
    lpstat -W completed -o "$queue" 2>/dev/null | awk '{print $1}' | sed 's/.*-//' | sort -n
}
before="$(jobs_done | tail -n1)"
before="${before:-0}"

(cd "$program" && QT_QPA_PLATFORM=xcb exec ./vellora) >"$work/vellora.log" 2>&1 &
app_pid=$!

main_id="$(timeout 30 xdotool search --sync --name '^暂停监控-Vellora$' | head -n1)" ||
    fail "the main window did not appear: $(cat "$work/vellora.log")"
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$main_id")"
log "main window at $X,$Y size ${WIDTH}x$HEIGHT"
[ "$WIDTH" = 314 ] && [ "$HEIGHT" = 189 ] || fail "main window is ${WIDTH}x$HEIGHT"
[ "$X" = 0 ] && [ "$Y" = $((screen_h - 220)) ] || fail "main window at $X,$Y"
main_x=$X
main_y=$Y

click() { # window-relative x y
    xdotool mousemove --sync --window "$main_id" "$1" "$2" click 1
}

shoot() { # name
    mkdir -p "$shots"
    xwd -root -silent | "$convert" xwd:- "$shots/$1.png" 2>/dev/null ||
        log "no screenshot $1 (convert failed)"
}

# 预览超级按钮 (184, 7, 112 × 28): the preview window opens above the main one.
click 240 26
preview_id=""
for _ in $(seq 1 50); do
    for id in $(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$id")"
        if [ "$WIDTH" = 200 ] && [ "$HEIGHT" = 200 ]; then preview_id=$id; fi
    done
    [ -n "$preview_id" ] && break
    sleep 0.1
done
[ -n "$preview_id" ] || fail "the preview window did not open"
eval "$(xdotool getwindowgeometry --shell "$preview_id")"
[ "$X" = $((main_x + 10)) ] && [ "$Y" = $((main_y - 204)) ] || fail "preview window at $X,$Y"
shoot paused

# 准备监控单选框 (13, 19, 150 × 50).
click 88 44
# Staying on top while monitoring may give the window a new X id.
main_id="$(timeout 10 xdotool search --sync --name '^监控中-Vellora$' | head -n1)" ||
    fail "monitoring did not start: $(cat "$work/vellora.log")"
eval "$(xdotool getwindowgeometry --shell "$main_id")"
[ "$X" = "$main_x" ] && [ "$Y" = "$main_y" ] || fail "the main window moved to $X,$Y"

# Photos in nested folders, written at the same time; one of them a BMP.
mkdir -p "$watched/一/二" "$watched/三"
"$convert" "$bin/152101201205090001.jpg" BMP3:"$work/photo.bmp"
writers=()
cp "$bin/152101201205090001.jpg" "$watched/100001.jpg" & writers+=($!)
cp "$bin/152101201205090001.jpg" "$watched/一/100002.jpg" & writers+=($!)
cp "$bin/152101201205090001.jpg" "$watched/一/二/100003.JPG" & writers+=($!)
cp "$work/photo.bmp" "$watched/三/100004.bmp" & writers+=($!)
# Not photos: never laid out.
echo note >"$watched/一/readme.txt" & writers+=($!)
wait "${writers[@]}"

mine() { jobs_done | awk -v b="$before" '$1 > b'; }
for _ in $(seq 1 600); do
    [ "$(mine | wc -l)" -ge "$photo_count" ] && break
    sleep 0.1
done
sleep 2 # a sheet too many would show up now
shoot monitoring
ids="$(mine)"
count="$(echo "$ids" | grep -c . || true)"
[ "$count" = "$photo_count" ] || fail "expected $photo_count sheets, got $count (jobs: $ids)"

for id in $ids; do
    pdf=""
    for _ in $(seq 1 100); do
        pdf="$(find "$pdf_dir" -name "*job_${id}.pdf" 2>/dev/null | head -n1)"
        [ -n "$pdf" ] && break
        sleep 0.1
    done
    [ -n "$pdf" ] || fail "no PDF for job $id"
    pages="$(pdfinfo "$pdf" | awk '/^Pages:/ {print $2}')"
    [ "$pages" = 1 ] || fail "job $id: $pages pages"
    # page num type width height color comp bpc enc interp object ID x-ppi y-ppi …
    images="$(pdfimages -list "$pdf" | tail -n +3)"
    [ "$(echo "$images" | grep -c .)" = 1 ] || fail "job $id: not one image: $images"
    read -r _ _ _ width height _ _ _ _ _ _ _ xppi yppi _ <<<"$images"
    [ "$width" = 1520 ] && [ "$height" = 1020 ] || fail "job $id: image ${width}x$height"
    # 1520 pixels over 152 mm is 254 per inch; ±0.3 mm of 152 mm is ±0.5.
    awk -v x="$xppi" -v y="$yppi" 'BEGIN { exit !(x > 253.5 && x < 254.5 && y > 253.5 && y < 254.5) }' ||
        fail "job $id: printed at $xppi x $yppi ppi, not true size"
    log "job $id: $pdf 1520x1020 at $xppi ppi"
done

# Closed the way a window manager closes it: WM_DELETE_WINDOW.
python3 - "$main_id" <<'EOF'
import ctypes, sys
x = ctypes.cdll.LoadLibrary("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]
class XEvent(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]
x.XFlush.argtypes = [ctypes.c_void_p]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                         ctypes.POINTER(XEvent)]
display = x.XOpenDisplay(None)
window = int(sys.argv[1])
event = XEvent()
event.xclient.type = 33  # ClientMessage
event.xclient.window = window
event.xclient.message_type = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.xclient.format = 32
event.xclient.l[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
x.XSendEvent(display, window, 0, 0, ctypes.byref(event))
x.XFlush(display)
EOF

status=""
for _ in $(seq 1 200); do
    if ! kill -0 "$app_pid" 2>/dev/null; then
        status=0
        wait "$app_pid" || status=$?
        break
    fi
    sleep 0.1
done
[ -n "$status" ] || fail "the program did not end when its window was closed"
app_pid=""
[ "$status" = 0 ] || fail "the program ended with exit code $status: $(cat "$work/vellora.log")"

# The watched folder is still the configured one.
iconv -f GBK -t UTF-8 "$program/配置.ini" | grep -qxF "文件夹=$watched" ||
    fail "配置.ini lost the folder: $(iconv -f GBK -t UTF-8 "$program/配置.ini")"

echo "PASS: $photo_count photos, $photo_count sheets at true size; screenshots in $shots"
