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

build=${1:?usage: watch_burst.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
cli="$build/bin/vellora-cli"

source "$source_dir/tests/e2e/common.bash"
fail() {
    echo "FAIL: watch_burst: $*"
    exit 1
}

[ -x "$cli" ] || fail "$cli is not built"
use_test_printer
command -v pdfimages >/dev/null || skip "pdfimages (poppler-utils) is missing"
command -v cjpeg >/dev/null || skip "cjpeg (libjpeg-turbo-progs) is missing; scripts/setup.sh installs it"

work=$(mktemp -d /tmp/watch_burst.XXXXXX)
watcher=
cleanup() {
    [ -n "$watcher" ] && kill -TERM "$watcher" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/hot" "$work/staging" "$work/pages"
as_user=()
if [ -n "${WATCH_USER:-}" ]; then
    chmod 755 "$work" && chmod 777 "$work/hot"
    as_user=(setpriv --reuid="$WATCH_USER" --regid="$(id -gn "$WATCH_USER" 2>/dev/null || echo nogroup)" --clear-groups)
fi

# 8 cells (4 × 2) of 30 × 39 mm, 1 copy, no number, no frame.
cat >"$work/template.json" <<'EOF'
{"名称": "e2e 8×2", "尺寸1高度": 390, "尺寸1宽度": 300, "尺寸1横向张数": 4,
 "尺寸1纵向张数": 2, "尺寸1横向距离": 20, "尺寸1纵向距离": 20, "照片输出张数": 1,
 "同底照片不同规格": false, "纸高度": 2970, "纸宽度": 2100, "号码不加印": true,
 "左边距": 50, "顶边距": 50, "居中打印": false}
EOF

ls "$pdf_dir" >"$work/pdfs-before"

chmod 644 "$work/template.json"
"${as_user[@]}" "$cli" watch "$work/hot" --template-json "$work/template.json" --verbose 2>"$work/watch.log" &
watcher=$!
for _ in $(seq 1 100); do
    grep -q "watching" "$work/watch.log" && break
    kill -0 "$watcher" 2>/dev/null || { cat "$work/watch.log"; fail "the watcher did not start"; }
    sleep 0.1
done

python3 - "$work" "$pdf_dir" "$watcher" <<'PY'
import os, random, subprocess, sys, threading, time

work, pdf_dir, watcher = sys.argv[1], sys.argv[2], int(sys.argv[3])
BURST, PHOTOS, COPIES, CELLS = 504, 512, 1, 8
SHEETS = (PHOTOS * COPIES + CELLS - 1) // CELLS
LEVELS = (0, 128, 255)
PALETTE = [(r, g, b) for r in LEVELS for g in LEVELS for b in LEVELS][:26]  # never white

def code(i):
    return PALETTE[i // 20], PALETTE[i % 20]

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
    top, bottom = code(i)
    w, h = 60, 78
    rows = bytes(top) * w * (h // 2) + bytes(bottom) * w * (h - h // 2)
    ppm = b"P6 %d %d 255\n" % (w, h) + rows
    jpg = subprocess.run(["cjpeg", "-quality", "95"], input=ppm, capture_output=True, check=True).stdout
    with open(os.path.join(staging, name(i)), "wb") as f:
        f.write(jpg)

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

def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    parts, at = [], 0
    while len(parts) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        parts.append(data[at:end])
        at = end
    return int(parts[1]), int(parts[2]), data[at + 1:]

def nearest(rgb):
    best = min(range(len(PALETTE)), key=lambda n: sum((a - b) ** 2 for a, b in zip(PALETTE[n], rgb)))
    far = max(abs(a - b) for a, b in zip(PALETTE[best], rgb))
    return best if far <= 48 else None

# Cell k (row-major) of the template above, in sheet pixels (0.1 mm).
CELLS_XY = [(50 + j * 320, 50 + i * 410) for i in range(2) for j in range(4)]

def examine(pdf):
    """The photo numbers of a sheet of ours; None for another page; False
    when the file cannot be read (yet)."""
    pages = os.path.join(work, "pages")
    for old in os.listdir(pages):
        os.remove(os.path.join(pages, old))
    if subprocess.run(["pdfimages", os.path.join(pdf_dir, pdf), os.path.join(pages, "p")],
                      capture_output=True).returncode != 0:
        return False
    images = sorted(os.listdir(pages))
    if len(images) != 1 or not images[0].endswith(".ppm"):
        return None
    w, h, pixels = read_ppm(os.path.join(pages, images[0]))
    if len(pixels) < w * h * 3:
        return False
    numbers = []
    for x, y in CELLS_XY:
        halves = []
        for fy in (0.25, 0.75):
            px, py = x + 150, int(y + 390 * fy)
            if px >= w or py >= h:
                return None
            at = (py * w + px) * 3
            halves.append(nearest(tuple(pixels[at:at + 3])))
        if None in halves or halves[1] >= 20 or halves[0] * 20 + halves[1] >= PHOTOS:
            return None  # another test's page, or a broken one (counted below)
        numbers.append(halves[0] * 20 + halves[1])
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

kill -TERM "$watcher"
wait "$watcher"
rc=$?
watcher=
# The watcher's own count first: it tells a watcher fault from a printing one.
echo "watcher's own count: $(grep -o 'stopped: .*' "$work/watch.log" || echo 'none (it did not stop cleanly)')"
if [ $status -ne 0 ]; then
    cat "$work/failure" 2>/dev/null
    tail -n 20 "$work/watch.log"
    exit $status
fi
[ $rc -eq 0 ] || fail "the watcher ended with status $rc on SIGTERM"
grep -q "stopped: 512 photos laid out, 64 sheets printed, 0 cells on the unprinted sheet, 0 photos not yet laid out, 2 files not laid out" \
    "$work/watch.log" || { tail -n 5 "$work/watch.log"; fail "the watcher's own count differs"; }
grep -q "not laid out: odd/notes.jpg" "$work/watch.log" && grep -q "not laid out: odd/damaged.jpg" "$work/watch.log" ||
    fail "the text file and the damaged JPEG were not reported"
echo "PASS: watch_burst"
