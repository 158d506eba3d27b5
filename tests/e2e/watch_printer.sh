#!/bin/bash
# End to end: `vellora-cli watch` printing to a queue of its own that is
# stopped (cupsdisable) in the middle of a feed, started again, then made to
# reject jobs (cupsreject) and to take them again. Sheets that could not be
# handed over wait in 未打印 and come out by themselves within 10 s of the
# queue's return, oldest first and before newer sheets; every photo is
# printed exactly once, on the queue's own pages.
#
#   bash tests/e2e/watch_printer.sh BUILD_DIR
#   WATCH_USER=nobody bash tests/e2e/watch_printer.sh BUILD_DIR
#
# Skips (loudly; a failure in CI) when the test printer cannot be set up.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
source "$source_dir/tests/e2e/common.bash"
hot_folder_begin watch_printer "${1:-}"
use_test_printer
command -v pdfimages >/dev/null || skip "pdfimages (poppler-utils) is missing"
command -v cjpeg >/dev/null || skip "cjpeg (libjpeg-turbo-progs) is missing; scripts/setup.sh installs it"
mkdir -p "$work/hot" "$work/pages"

# A queue of this run's own, writing where the tests' queue writes: stopping
# it leaves the tests' queue alone. Named like the unit tests' scratch queues,
# so that scripts/test.sh removes it should this script be killed.
queue="VelloraTest_$$_1"
lpadmin -p "$queue" -E -v "cups-pdf:/$LPDEST" -P "/etc/cups/ppd/$LPDEST.ppd" \
    -o PageSize=A4 -o TitlePref=1 2>/dev/null || skip "cannot add the queue $queue"
at_exit "cancel -a $queue 2>/dev/null; lpadmin -x $queue"
LPDEST=$queue
PRINTER=$queue
export LPDEST PRINTER

# 4 cells (2 × 2) of 30 × 39 mm, 1 copy, no number, no frame.
cat >"$work/template.json" <<'EOF'
{"名称": "e2e 2×2", "尺寸1高度": 390, "尺寸1宽度": 300, "尺寸1横向张数": 2,
 "尺寸1纵向张数": 2, "尺寸1横向距离": 20, "尺寸1纵向距离": 20, "照片输出张数": 1,
 "同底照片不同规格": false, "纸高度": 2970, "纸宽度": 2100, "号码不加印": true,
 "左边距": 50, "顶边距": 50, "居中打印": false}
EOF

# The desktop's notifications, on a session bus of this run's own (the
# watcher's user's, as a desktop's would be).
if command -v dbus-daemon >/dev/null && command -v dbus-monitor >/dev/null; then
    mkdir -p "$work/dbus"
    [ ${#as_user[@]} -eq 0 ] || chown "$WATCH_USER" "$work/dbus"
    "${as_user[@]}" dbus-daemon --session --nofork --nosyslog \
        --address="unix:path=$work/dbus/bus" --print-address=1 >"$work/dbus/address" 2>"$work/dbus/log" &
    at_exit "kill $! 2>/dev/null"
    for _ in $(seq 1 50); do [ -s "$work/dbus/address" ] && break; sleep 0.1; done
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/dbus/address")
    export DBUS_SESSION_BUS_ADDRESS
    "${as_user[@]}" dbus-monitor --address "$DBUS_SESSION_BUS_ADDRESS" \
        "interface='org.freedesktop.Notifications',member='Notify'" >"$work/notifications" 2>&1 &
    at_exit "kill $! 2>/dev/null"
    sleep 0.5
else
    skip "dbus-daemon or dbus-monitor is missing; scripts/setup.sh installs them"
fi

ls "$pdf_dir" >"$work/pdfs-before"
start_watcher "$work/hot" "$work/template.json"

python3 - "$work" "$pdf_dir" "$here" "$queue" <<'PY'
import os, re, sqlite3, subprocess, sys, time

work, pdf_dir, queue = sys.argv[1], sys.argv[2], sys.argv[4]
sys.path.insert(0, sys.argv[3])
from sheets import coded_jpeg, number_at, sheet_images
CELLS = 4
log = os.path.join(work, "watch.log")
hot = os.path.join(work, "hot")
written = 0

def fail(message):
    with open(os.path.join(work, "failure"), "w") as f:
        f.write("FAIL: watch_printer: %s\n" % message)
    sys.exit(1)

def text():
    return open(log, encoding="utf-8", errors="replace").read()

def feed(photos):
    global written
    for _ in range(photos):
        path = os.path.join(hot, "%03d.jpg" % written)
        with open(path + ".part", "wb") as f:
            f.write(coded_jpeg(written))
        os.rename(path + ".part", path)
        written += 1
        time.sleep(0.05)

def count(what):
    if what == "printed":  # a job completed, of a new sheet or of one that waited
        return text().count(" printed (job ")
    return text().count(what)

def wait_for(what, count_wanted, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if count(what) >= count_wanted:
            return time.time()
        if "LOST" in text():
            fail("a sheet was lost:\n" + text()[-2000:])
        time.sleep(0.2)
    fail("%d × %r not logged within %d s:\n%s" % (count_wanted, what, seconds, text()[-2000:]))

def tool(*args):
    subprocess.run(args, check=True, capture_output=True)

# The second time, new sheets fill at once after the queue's return: the two
# kept ones go before them all the same.
printed = kept = 0
for stop, start, then in (("cupsdisable", "cupsenable", 0), ("cupsreject", "cupsaccept", 2)):
    feed(2 * CELLS)
    printed += 2
    wait_for("printed", printed, 60)
    tool(stop, queue)
    feed(2 * CELLS)
    kept += 2
    wait_for("saved in the folder 未打印", kept, 60)
    back = time.time()
    tool(start, queue)
    feed(then * CELLS)
    printed += 2 + then
    done = wait_for("printed", printed, 30)
    if done - back > 10:
        fail("the kept sheets came out %.1f s after %s, not within 10 s" % (done - back, start))
    print("watch_printer: after %s the 2 kept sheets were handed over in %.1f s"
          % (start, done - back))

# Oldest first: job numbers rise with the sheets' order, and every sheet is on
# the queue of this run.
db = sqlite3.connect("file:%s?mode=ro" % os.path.join(work, "program", "打印记录.db"), uri=True,
                     timeout=10)
sheets = db.execute("SELECT s.id, s.state, s.job_id, n.text FROM sheets s "
                    "LEFT JOIN names n ON n.id = s.printer ORDER BY s.id").fetchall()
SHEETS = printed
if len(sheets) != SHEETS:
    fail("%d sheets in the ledger, expected %d: %s" % (len(sheets), SHEETS, sheets))
jobs = [job for _, _, job, _ in sheets]
if jobs != sorted(jobs) or len(set(jobs)) != SHEETS or any(s[3] != queue for s in sheets):
    fail("sheets not handed over once each, in order, to %s: %s" % (queue, sheets))
if os.listdir(os.path.join(work, "program", "未打印")):
    fail("printed sheets are still in 未打印: %s" % os.listdir(os.path.join(work, "program", "未打印")))

# The pages: every photo once.
before = set(open(os.path.join(work, "pdfs-before")).read().split("\n"))
CELLS_XY = [(50 + j * 320, 50 + i * 410) for i in range(2) for j in range(2)]
results, progress = {}, time.time()
while time.time() - progress < 60:
    for pdf in sorted(os.listdir(pdf_dir)):
        if pdf.endswith(".pdf") and pdf not in before and pdf not in results:
            images = sheet_images(os.path.join(pdf_dir, pdf), os.path.join(work, "pages"))
            if images is False:
                continue
            numbers = [number_at(images[0], x + 150, y + 97, y + 292) for x, y in CELLS_XY] \
                if len(images) == 1 else []
            results[pdf] = [n for n in numbers if n is not None and n < written]
            progress = time.time()
    if sum(1 for n in results.values() if n) >= SHEETS:
        break
    time.sleep(1)
seen = {}
for numbers in results.values():
    for n in numbers:
        seen[n] = seen.get(n, 0) + 1
if sorted(seen) != list(range(written)) or any(c != 1 for c in seen.values()):
    fail("photos printed other than once: missing %s, more than once %s"
         % ([n for n in range(written) if n not in seen], [n for n, c in seen.items() if c > 1]))
print("watch_printer: every one of %d photos printed exactly once on %d sheets, in order"
      % (written, SHEETS))
PY
status=$?

stop_watcher
[ -n "${SHOW_LOG:-}" ] && cat "$work/watch.log"
if [ $status -ne 0 ]; then
    cat "$work/failure" 2>/dev/null
    tail -n 20 "$work/watch.log"
    exit $status
fi
[ $watcher_status -eq 0 ] || fail "the watcher ended with status $watcher_status on SIGTERM"
grep -q "stopped: 40 photos laid out, 10 sheets printed, 0 at the printer, 4 kept in 未打印, 0 waiting for the printer, 0 held for the operator, 0 lost, 0 cells" \
    "$work/watch.log" || { tail -n 5 "$work/watch.log"; fail "the watcher's own count differs"; }
grep -q "打印机“$queue”已停止：已暂停" "$work/watch.log" ||
    fail "the stopped queue was not told in the operator's words"
# Told on the desktop: the kept sheets once (four within a minute), the
# stopped printer with its reason.
kept_told=$(grep -c 'string "相纸没有打印，已存入“未打印”"' "$work/notifications")
[ "$kept_told" -eq 1 ] || { cat "$work/notifications"; fail "kept sheets were told $kept_told times, not once"; }
grep -q "已暂停" "$work/notifications" || fail "the stopped printer's reason was not told"
echo "PASS: watch_printer${WATCH_USER:+ (the watcher as $WATCH_USER)}"
