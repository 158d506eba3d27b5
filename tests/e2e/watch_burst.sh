#!/bin/bash
# End to end: `vellora-cli watch` on a temporary folder while four writers put
# 504 small photos into nested folders at once (slow-ish chunked writes, new
# folders made on the fly) and one writer trickles a photo over two seconds;
# beside them the awkward writers: a file created empty and written 1.5 s
# later, a writer stalling 1.5 s mid-file, `cp --reflink=never`, a rename from
# a temporary name, and a text file and a damaged JPEG named .jpg.
# Every photo is a two-colour code of its number; every printed page is read
# back from the test printer's PDFs, and each photo must appear exactly once
# (1 copy), complete, on exactly 512 / 8 = 64 sheets.
#
#   bash tests/e2e/watch_burst.sh BUILD_DIR
#   WATCH_USER=nobody bash tests/e2e/watch_burst.sh BUILD_DIR   (an ordinary
#   user's watcher: no CAP_LEASE, photos owned by someone else)
#
# Skips (loudly; a failure in CI) when the test printer cannot be set up.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
source "$source_dir/tests/e2e/common.bash"
hot_folder_begin watch_burst "${1:-}"
use_test_printer
command -v pdfimages >/dev/null || skip "pdfimages (poppler-utils) is missing"
command -v cjpeg >/dev/null || skip "cjpeg (libjpeg-turbo-progs) is missing; scripts/setup.sh installs it"
mkdir -p "$work/hot" "$work/staging" "$work/pages"

# 8 cells (4 × 2) of 30 × 39 mm, 1 copy, no number, no frame.
cat >"$work/template.json" <<'EOF'
{"名称": "e2e 8×2", "尺寸1高度": 390, "尺寸1宽度": 300, "尺寸1横向张数": 4,
 "尺寸1纵向张数": 2, "尺寸1横向距离": 20, "尺寸1纵向距离": 20, "照片输出张数": 1,
 "同底照片不同规格": false, "纸高度": 2970, "纸宽度": 2100, "号码不加印": true,
 "左边距": 50, "顶边距": 50, "居中打印": false}
EOF

wait_for_idle_printer
ls "$pdf_dir" >"$work/pdfs-before"
start_watcher "$work/hot" "$work/template.json"

python3 - "$work" "$pdf_dir" "$here" <<'PY'
import os, random, subprocess, sys, threading, time

work, pdf_dir = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
from sheets import coded_jpeg, number_at, sheet_images
BURST, PHOTOS, COPIES, CELLS = 504, 512, 1, 8
SHEETS = (PHOTOS * COPIES + CELLS - 1) // CELLS
def name(i):
    return "%018d.jpg" % (152101201205090000 + i * 7)

def fail(message):
    # The shell prints the watcher's own count first, then this.
    with open(os.path.join(work, "failure"), "w") as f:
        f.write("FAIL: watch_burst: %s\n" % message)
    sys.exit(1)

# The photos, made outside the watched tree: top half and bottom half in
# the two colours of the photo's number.
staging = os.path.join(work, "staging")
for i in range(PHOTOS):
    with open(os.path.join(staging, name(i)), "wb") as f:
        f.write(coded_jpeg(i))

hot = os.path.join(work, "hot")
errors = []

def put(i, folder, chunk, pause):
    os.makedirs(os.path.join(hot, folder), exist_ok=True)
    data = open(os.path.join(staging, name(i)), "rb").read()
    with open(os.path.join(hot, folder, name(i)), "wb") as f:
        for at in range(0, len(data), chunk):
            f.write(data[at:at + chunk])
            f.flush()
            time.sleep(pause)

def writer(k, photos):
    try:
        rnd = random.Random(k)
        for n, i in enumerate(photos):
            folder = "w%d/b%d/%s" % (k, n // 25, "deep" if n % 2 else "")
            put(i, folder, rnd.choice((200, 400, 800)), 0.001)
    except Exception as e:
        errors.append(e)

def trickler():
    try:
        put(0, "slow/sub", 32, 2.0 / 60)  # about two seconds
    except Exception as e:
        errors.append(e)

def awkward():
    """The writers that used to print twice, blank or not at all."""
    try:
        data = lambda i: open(os.path.join(staging, name(i)), "rb").read()
        for folder in ("odd", "odd/cp", "odd/rn"):
            os.makedirs(os.path.join(hot, folder), exist_ok=True)
        # Created and closed empty, written 1.5 s later.
        open(os.path.join(hot, "odd", name(504)), "wb").close()
        time.sleep(1.5)
        with open(os.path.join(hot, "odd", name(504)), "wb") as f:
            f.write(data(504))
        # A writer stalling 1.5 s mid-file.
        with open(os.path.join(hot, "odd", name(505)), "wb") as f:
            f.write(data(505)[:len(data(505)) // 2])
            f.flush()
            time.sleep(1.5)
            f.write(data(505)[len(data(505)) // 2:])
        subprocess.run(["cp", "--reflink=never", os.path.join(staging, name(506)),
                        os.path.join(hot, "odd/cp", name(506))], check=True)
        # Saved under a temporary name and renamed into place.
        tmp = os.path.join(hot, "odd/rn", name(507) + ".part")
        with open(tmp, "wb") as f:
            f.write(data(507))
        os.rename(tmp, os.path.join(hot, "odd/rn", name(507)))
        # Not photos: nothing may be printed for them.
        with open(os.path.join(hot, "odd", "notes.jpg"), "w") as f:
            f.write("a text file named like a photo\n")
        with open(os.path.join(hot, "odd", "damaged.jpg"), "wb") as f:
            f.write(data(508)[:len(data(508)) // 3])
        for i in range(508, PHOTOS):
            put(i, "odd/late", 400, 0.001)
    except Exception as e:
        errors.append(e)

started = time.time()
threads = [threading.Thread(target=writer, args=(k, range(1 + k, BURST, 4))) for k in range(4)]
threads.append(threading.Thread(target=trickler))
threads.append(threading.Thread(target=awkward))
for t in threads:
    t.start()
for t in threads:
    t.join()
if errors:
    fail("a writer failed: %r" % errors[0])
print("watch_burst: %d photos written in %.1f s" % (PHOTOS, time.time() - started))

# The watcher logs one line per sheet; CUPS turns each into a PDF.
log = os.path.join(work, "watch.log")
# Waits as long as sheets keep coming (the printing system sets the pace).
last, progress = -1, time.time()
while True:
    text = open(log, encoding="utf-8", errors="replace").read()
    printed = text.count(" printed")
    if printed >= SHEETS:
        break
    if "LOST" in text or "not printed" in text:
        fail("a sheet was not printed:\n" + text[-2000:])
    if printed != last:
        last, progress = printed, time.time()
    if time.time() - progress > 60:
        fail("only %d of %d sheets printed; nothing more for a minute" % (printed, SHEETS))
    time.sleep(1)
print("watch_burst: %d sheets printed %.1f s after the first write" % (SHEETS, time.time() - started))

before = set(open(os.path.join(work, "pdfs-before")).read().split("\n"))

# Cell k (row-major) of the template above, in sheet pixels (0.1 mm).
CELLS_XY = [(50 + j * 320, 50 + i * 410) for i in range(2) for j in range(4)]

def examine(pdf):
    """The photo numbers of a sheet of ours; None for another page; False
    when the file cannot be read (yet)."""
    images = sheet_images(os.path.join(pdf_dir, pdf), os.path.join(work, "pages"))
    if images is False:
        return False
    if len(images) != 1:
        return None
    numbers = []
    for x, y in CELLS_XY:
        number = number_at(images[0], x + 150, y + 97, y + 292)
        if number is None or number >= PHOTOS:
            return None  # another test's page, or a broken one (counted below)
        numbers.append(number)
    return numbers

# CUPS-PDF writes the jobs one after another, well behind the watcher.
results = {}
progress = time.time()
while True:
    for pdf in sorted(os.listdir(pdf_dir)):
        if pdf.endswith(".pdf") and pdf not in before and pdf not in results:
            found = examine(pdf)
            if found is not False:
                results[pdf] = found
                progress = time.time()
    counted = [(pdf, numbers) for pdf, numbers in results.items() if numbers]
    if len(counted) >= SHEETS or time.time() - progress > 60:
        break
    time.sleep(2)

seen = {}
if len(counted) != SHEETS:
    fail("%d sheets of ours among the printer's PDFs, expected %d" % (len(counted), SHEETS))
for pdf, numbers in counted:
    for i in numbers:
        seen[i] = seen.get(i, 0) + 1
missing = [i for i in range(PHOTOS) if i not in seen]
wrong = {i: n for i, n in seen.items() if n != COPIES}
if missing or wrong:
    fail("photos missing: %s; printed a wrong number of times: %s" % (missing[:20], dict(list(wrong.items())[:20])))
print("watch_burst: every one of %d photos printed exactly %d times on %d sheets, the slow one included"
      % (PHOTOS, COPIES, SHEETS))
PY
status=$?

stop_watcher
if [ $status -ne 0 ]; then
    cat "$work/failure" 2>/dev/null
    tail -n 20 "$work/watch.log"
    exit $status
fi
[ $watcher_status -eq 0 ] || fail "the watcher ended with status $watcher_status on SIGTERM"
grep -q "stopped: 512 photos laid out, 64 sheets printed, 0 at the printer, 0 kept in 未打印, 0 waiting for the printer, 0 held for the operator, 0 lost, 0 cells on the unprinted sheet, 0 photos not yet laid out, 2 files not laid out" \
    "$work/watch.log" || { tail -n 5 "$work/watch.log"; fail "the watcher's own count differs"; }
grep -q "not laid out: odd/notes.jpg" "$work/watch.log" && grep -q "not laid out: odd/damaged.jpg" "$work/watch.log" ||
    fail "the text file and the damaged JPEG were not reported"
echo "PASS: watch_burst${WATCH_USER:+ (the watcher as $WATCH_USER)}"
