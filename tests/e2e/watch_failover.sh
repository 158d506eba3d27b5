#!/bin/bash
# End to end: `vellora-cli watch --printer MAIN --printer BACKUP`. While the
# main queue is stopped the next sheets go to the backup; once it is back,
# new sheets go to the main one again; with both stopped a sheet waits in
# 未打印 and goes out on whichever comes back first. Every sheet on exactly
# one printer, every photo printed exactly once.
#
#   bash tests/e2e/watch_failover.sh BUILD_DIR
#   WATCH_USER=nobody bash tests/e2e/watch_failover.sh BUILD_DIR
#
# Skips (loudly; a failure in CI) when the test printer cannot be set up.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
source "$source_dir/tests/e2e/common.bash"
hot_folder_begin watch_failover "${1:-}"
use_test_printer
command -v pdfimages >/dev/null || skip "pdfimages (poppler-utils) is missing"
command -v cjpeg >/dev/null || skip "cjpeg (libjpeg-turbo-progs) is missing; scripts/setup.sh installs it"
mkdir -p "$work/hot" "$work/pages"

# Two queues of this run's own, writing where the tests' queue writes; named
# like the unit tests' scratch queues, so that scripts/test.sh removes them
# should this script be killed.
main="VelloraTest_$$_1"
backup="VelloraTest_$$_2"
for q in "$main" "$backup"; do
    lpadmin -p "$q" -E -v "cups-pdf:/$LPDEST" -P "/etc/cups/ppd/$LPDEST.ppd" \
        -o PageSize=A4 -o TitlePref=1 2>/dev/null || skip "cannot add the queue $q"
    at_exit "cancel -a $q 2>/dev/null; lpadmin -x $q"
done

cat >"$work/template.json" <<'EOF'
{"名称": "e2e 2×2", "尺寸1高度": 390, "尺寸1宽度": 300, "尺寸1横向张数": 2,
 "尺寸1纵向张数": 2, "尺寸1横向距离": 20, "尺寸1纵向距离": 20, "照片输出张数": 1,
 "同底照片不同规格": false, "纸高度": 2970, "纸宽度": 2100, "号码不加印": true,
 "左边距": 50, "顶边距": 50, "居中打印": false}
EOF

ls "$pdf_dir" >"$work/pdfs-before"
start_watcher "$work/hot" "$work/template.json" --printer "$main" --printer "$backup"

python3 - "$work" "$pdf_dir" "$here" "$main" "$backup" <<'PY'
import os, sqlite3, subprocess, sys, time

work, pdf_dir, main, backup = sys.argv[1], sys.argv[2], sys.argv[4], sys.argv[5]
sys.path.insert(0, sys.argv[3])
from sheets import coded_jpeg, number_at, sheet_images
log = os.path.join(work, "watch.log")
hot = os.path.join(work, "hot")
db = os.path.join(work, "program", "打印记录.db")
written = 0

def fail(message):
    with open(os.path.join(work, "failure"), "w") as f:
        f.write("FAIL: watch_failover: %s\n" % message)
    sys.exit(1)

def feed(sheets):
    global written
    for _ in range(4 * sheets):
        path = os.path.join(hot, "%03d.jpg" % written)
        with open(path + ".part", "wb") as f:
            f.write(coded_jpeg(written))
        os.rename(path + ".part", path)
        written += 1
        time.sleep(0.05)

def printers():
    """The printer of each sheet handed over, in the sheets' order."""
    c = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=10)
    try:
        return [name for name, in c.execute(
            "SELECT n.text FROM sheets s JOIN names n ON n.id = s.printer "
            "WHERE s.state IN (3, 4) ORDER BY s.id")]
    finally:
        c.close()

def wait_for(count, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            got = printers()
        except sqlite3.Error:
            got = []
        if len(got) >= count:
            return got
        time.sleep(0.2)
    fail("%d sheets handed over within %d s, expected %d:\n%s"
         % (len(got), seconds, count, open(log, encoding="utf-8").read()[-2000:]))

def tool(*args):
    subprocess.run(args, check=True, capture_output=True)

feed(2)
wait_for(2, 30)
tool("cupsdisable", main)
feed(2)
wait_for(4, 30)
tool("cupsenable", main)
feed(2)
wait_for(6, 30)
# Neither takes jobs: the sheet waits, and goes to the first back.
tool("cupsdisable", main)
tool("cupsdisable", backup)
feed(1)
deadline = time.time() + 30
while "saved in the folder 未打印" not in open(log, encoding="utf-8").read():
    if time.time() > deadline:
        fail("the sheet was not kept while no printer took jobs")
    time.sleep(0.2)
tool("cupsenable", backup)
got = wait_for(7, 30)
tool("cupsenable", main)
expected = [main, main, backup, backup, main, main, backup]
if got != expected:
    fail("sheets went to %s, expected %s" % (got, expected))

# The pages: every photo once (the two queues write into one folder).
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
    if sum(1 for n in results.values() if n) >= 7:
        break
    time.sleep(1)
seen = {}
for numbers in results.values():
    for n in numbers:
        seen[n] = seen.get(n, 0) + 1
if sorted(seen) != list(range(written)) or any(c != 1 for c in seen.values()):
    fail("photos printed other than once: missing %s, more than once %s"
         % ([n for n in range(written) if n not in seen], [n for n, c in seen.items() if c > 1]))
print("watch_failover: %d photos once each; sheets on %s" % (written, got))
PY
status=$?

stop_watcher
if [ $status -ne 0 ]; then
    cat "$work/failure" 2>/dev/null
    tail -n 20 "$work/watch.log"
    exit $status
fi
grep -q "printing on \"$main\"; when it cannot print, on \"$backup\"" "$work/watch.log" ||
    fail "the watcher did not say which printers it uses"
grep -q "stopped: 28 photos laid out, 7 sheets printed, 0 at the printer, 1 kept in 未打印, 0 waiting for the printer, 0 held for the operator, 0 lost" \
    "$work/watch.log" || fail "the watcher's own count differs"
echo "PASS: watch_failover${WATCH_USER:+ (the watcher as $WATCH_USER)}"
