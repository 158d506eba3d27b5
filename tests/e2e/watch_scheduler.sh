#!/bin/bash
# End to end: the printing system itself goes away in the middle of a feed
# (cupsd stopped) and comes back. Sheets that found no scheduler wait in
# 未打印 and come out by themselves once it answers again, in order; a job
# handed over before it went, still held inside it, is followed across the
# restart and printed once, never sent again. The scheduler is running again
# at the end, as the run found it.
#
#   bash tests/e2e/watch_scheduler.sh BUILD_DIR
#   WATCH_USER=nobody bash tests/e2e/watch_scheduler.sh BUILD_DIR
#
# Skips (loudly; a failure in CI) when the test printer cannot be set up.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
source "$source_dir/tests/e2e/common.bash"
hot_folder_begin watch_scheduler "${1:-}"
use_test_printer
command -v pdfimages >/dev/null || skip "pdfimages (poppler-utils) is missing"
command -v cjpeg >/dev/null || skip "cjpeg (libjpeg-turbo-progs) is missing; scripts/setup.sh installs it"
[ -x /usr/sbin/cupsd ] || skip "/usr/sbin/cupsd is missing"
mkdir -p "$work/hot" "$work/pages"

scheduler_up() { lpstat -r 2>/dev/null | grep -q "is running"; }
start_scheduler() {
    scheduler_up && return 0
    pgrep -x cupsd >/dev/null || /usr/sbin/cupsd
    local _
    for _ in $(seq 1 100); do scheduler_up && return 0; sleep 0.1; done
    return 1
}
stop_scheduler() {
    pkill -x cupsd
    local _
    for _ in $(seq 1 100); do pgrep -x cupsd >/dev/null || return 0; sleep 0.1; done
    return 1
}
at_exit "start_scheduler"

queue="VelloraTest_$$_1"
lpadmin -p "$queue" -E -v "cups-pdf:/$LPDEST" -P "/etc/cups/ppd/$LPDEST.ppd" \
    -o PageSize=A4 -o TitlePref=1 2>/dev/null || skip "cannot add the queue $queue"
at_exit "cancel -a $queue 2>/dev/null; lpadmin -x $queue"
LPDEST=$queue PRINTER=$queue
export LPDEST PRINTER

cat >"$work/template.json" <<'EOF'
{"名称": "e2e 2×2", "尺寸1高度": 390, "尺寸1宽度": 300, "尺寸1横向张数": 2,
 "尺寸1纵向张数": 2, "尺寸1横向距离": 20, "尺寸1纵向距离": 20, "照片输出张数": 1,
 "同底照片不同规格": false, "纸高度": 2970, "纸宽度": 2100, "号码不加印": true,
 "左边距": 50, "顶边距": 50, "居中打印": false}
EOF

feed() { # FIRST COUNT
    python3 - "$here" "$work/hot" "$1" "$2" <<'PY'
import os, sys, time
sys.path.insert(0, sys.argv[1])
from sheets import coded_jpeg
folder, first, count = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
for i in range(first, first + count):
    path = os.path.join(folder, "%03d.jpg" % i)
    with open(path + ".part", "wb") as f:
        f.write(coded_jpeg(i))
    os.rename(path + ".part", path)
    time.sleep(0.05)
PY
}
wait_log() { # TEXT COUNT SECONDS
    local _
    for _ in $(seq 1 $(($3 * 5))); do
        [ "$(grep -c -- "$1" "$work/watch.log")" -ge "$2" ] && return 0
        sleep 0.2
    done
    tail -n 20 "$work/watch.log"
    fail "not logged $2 time(s) within $3 s: $1"
}

ls "$pdf_dir" >"$work/pdfs-before"
start_watcher "$work/hot" "$work/template.json"
feed 0 8
wait_log " printed (job " 2 60
# A job inside the scheduler when it goes: held there, released after.
lpadmin -p "$queue" -o job-hold-until-default=indefinite 2>/dev/null
feed 8 4
wait_log "handed to the printer" 3 30
held_job=$(grep -o 'as job [0-9]*' "$work/watch.log" | sed -n 3p | grep -o '[0-9]*$')
lpadmin -p "$queue" -o job-hold-until-default=no-hold 2>/dev/null
stop_scheduler || fail "cupsd did not stop"
feed 12 8
wait_log "saved in the folder 未打印" 2 60
grep -q "打印系统（CUPS）没有运行" "$work/watch.log" || fail "the missing scheduler was not told"
start_scheduler || fail "cupsd did not come back"
back=$(date +%s)
wait_log "kept sheet .* handed to the printer" 2 30
lp -i "$held_job" -H resume >/dev/null 2>&1 || fail "cannot release job $held_job"
wait_log " printed (job " 5 60
[ $(($(date +%s) - back)) -le 30 ] || fail "the kept sheets took $(($(date +%s) - back)) s"
grep -q " printed (job $held_job " "$work/watch.log" || fail "job $held_job was not followed across the restart"
[ "$(grep -c "handed to the printer" "$work/watch.log")" -eq 5 ] ||
    fail "$(grep -c "handed to the printer" "$work/watch.log") hand-offs for 5 sheets"
stop_watcher
grep -q "stopped: 20 photos laid out, 5 sheets printed, 0 at the printer, 2 kept in 未打印, 0 waiting for the printer, 0 held for the operator, 0 lost" \
    "$work/watch.log" || fail "the watcher's own count differs"

python3 - "$work" "$pdf_dir" "$here" <<'PY' || fail "the pages differ from the photos"
import os, sys, time
work, pdf_dir = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
from sheets import number_at, sheet_images
before = set(open(os.path.join(work, "pdfs-before")).read().split("\n"))
cells = [(50 + j * 320, 50 + i * 410) for i in range(2) for j in range(2)]
seen, results, progress = {}, {}, time.time()
while time.time() - progress < 30 and sum(1 for n in results.values() if n) < 5:
    for pdf in sorted(os.listdir(pdf_dir)):
        if pdf.endswith(".pdf") and pdf not in before and pdf not in results:
            images = sheet_images(os.path.join(pdf_dir, pdf), os.path.join(work, "pages"))
            if images is False:
                continue
            numbers = [number_at(images[0], x + 150, y + 97, y + 292) for x, y in cells] \
                if len(images) == 1 else []
            results[pdf] = [n for n in numbers if n is not None and n < 20]
            progress = time.time()
    time.sleep(1)
for numbers in results.values():
    for n in numbers:
        seen[n] = seen.get(n, 0) + 1
ok = sorted(seen) == list(range(20)) and all(c == 1 for c in seen.values())
if not ok:
    print("missing %s, more than once %s" % ([n for n in range(20) if n not in seen],
                                            [n for n, c in seen.items() if c > 1]))
sys.exit(0 if ok else 1)
PY
echo "PASS: watch_scheduler${WATCH_USER:+ (the watcher as $WATCH_USER)}"
