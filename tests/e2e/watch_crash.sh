#!/bin/bash
# End to end: `vellora-cli watch` killed with SIGKILL again and again while a
# steady feed of 200 photos goes into its hot folder (written in place in
# chunks, or under a temporary name and renamed, some into folders made on
# the fly). Twenty kills at seeded random moments, each restart 0–3 s later;
# a few lives die by themselves at their next hand-off to CUPS, just after the
# job is created (VELLORA_TEST_KILL_AT=job-created) or just after the
# document went but before the ledger heard of it (=document-sent). Two cells
# a sheet, one copy a photo: a pending sheet is half full at nearly every
# kill. At the end a clean stop, and every page is read back from the test
# printer's PDFs: each photo exactly once, no blank cell, all 100 sheets.
#
#   bash tests/e2e/watch_crash.sh BUILD_DIR
#   VELLORA_CRASH_SEED=N bash tests/e2e/watch_crash.sh BUILD_DIR   (the same kills again)
#   WATCH_USER=nobody bash tests/e2e/watch_crash.sh BUILD_DIR      (an ordinary user's watcher)
#
# Skips (loudly; a failure in CI) when the test printer cannot be set up.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
source "$source_dir/tests/e2e/common.bash"
hot_folder_begin watch_crash "${1:-}"
use_test_printer
for tool in pdfimages cjpeg; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/setup.sh installs it)"
done
unset VELLORA_TEST_KILL_AT
mkdir -p "$work/hot" "$work/staging" "$work/pages" "$work/logs"
chmod 755 "$work/logs"
[ ${#as_user[@]} -eq 0 ] || chmod 777 "$work/hot"
seed=${VELLORA_CRASH_SEED:-$((($(date +%s%N) / 1000) % 1000000007))}
echo "watch_crash: seed $seed (VELLORA_CRASH_SEED=$seed runs the same kills again)"

# Two cells (2 × 1) of 30 × 39 mm on a 72 × 49 mm sheet, 1 copy, no number,
# no frame: a small page, so that the printer's PDF conversion keeps up.
cat >"$work/template.json" <<'EOF'
{"名称": "e2e 2×1", "尺寸1高度": 390, "尺寸1宽度": 300, "尺寸1横向张数": 2,
 "尺寸1纵向张数": 1, "尺寸1横向距离": 20, "尺寸1纵向距离": 0, "照片输出张数": 1,
 "同底照片不同规格": false, "纸高度": 490, "纸宽度": 720, "号码不加印": true,
 "左边距": 50, "顶边距": 50, "居中打印": false}
EOF
chmod 644 "$work/template.json"
photos=200

python3 - "$work" "$here" "$photos" <<'PY' || fail "the photos could not be made"
import os, sys
work = sys.argv[1]
sys.path.insert(0, sys.argv[2])
from sheets import coded_jpeg
for i in range(int(sys.argv[3])):
    with open(os.path.join(work, "staging", "%03d.jpg" % i), "wb") as f:
        f.write(coded_jpeg(i))
PY

# The ledger is read as the watcher's own user: SQLite makes its -wal and
# -shm files as whoever opens it first, and a root-owned pair would lock an
# ordinary user's watcher out. "wait": until every photo is handed to CUPS and
# nothing is queued or on the pending sheet (or nothing moved for a minute);
# "dump": its photos, sheets and sessions as JSON.
read -r -d '' ledger_py <<'PY'
import json, os, sqlite3, sys, time
mode, db, hot, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

def read():
    c = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=10)
    try:
        photos = [dict(id=i, path=(os.fsdecode(sub) + "/" if sub else "") + os.fsdecode(name),
                       state=state, reason=reason, reprint=reprint, copies=copies,
                       queued_at=queued)
                  for i, sub, name, state, reason, reprint, copies, queued in c.execute(
                      "SELECT p.id, f.subfolder, p.name, p.state, p.reason, p.reprint, p.copies, "
                      "p.queued_at FROM photos p JOIN folders f ON f.id = p.folder "
                      "WHERE f.hot_folder = ? ORDER BY p.id", (hot,))]
        sheets = [dict(id=i, state=state, job=job, sent=sent, reason=reason, created_at=created)
                  for i, state, job, sent, reason, created in c.execute(
                      "SELECT id, state, job_id, document_sent, reason, created_at FROM sheets "
                      "ORDER BY id")]
        placements = [dict(sheet=s, first=f, count=n, photo=p) for s, f, n, p in c.execute(
            "SELECT sheet, first_cell, cell_count, photo FROM placements ORDER BY sheet, first_cell")]
        sessions = [dict(id=i, pid=pid, started_at=a, heartbeat_at=h, stopped_at=s, clean=k)
                    for i, pid, a, h, s, k in c.execute(
                        "SELECT id, pid, started_at, heartbeat_at, stopped_at, clean FROM sessions "
                        "ORDER BY id")]
    finally:
        c.close()
    return dict(photos=photos, sheets=sheets, placements=placements, sessions=sessions)

if mode == "dump":
    json.dump(read(), sys.stdout, indent=1)
    sys.exit(0)
expected = {"%03d.jpg" % i for i in range(count)}
last, progress = (0, 0, 0), time.time()
while time.time() - progress < 60:
    try:
        now = read()
    except sqlite3.Error:
        time.sleep(0.5)
        continue
    handed = {os.path.basename(p["path"]) for p in now["photos"] if p["state"] in (3, 4)}
    waiting = [p for p in now["photos"] if p["state"] in (0, 1)]
    filling = {s["id"] for s in now["sheets"] if s["state"] == 1}
    on_filling = [p for p in now["placements"] if p["sheet"] in filling]
    state = (len(handed), len(waiting), len(on_filling))
    given_up = [p["path"] for p in now["photos"] if p["state"] in (2, 6)]
    if given_up:
        print("watch_crash: photos kept unprinted or discarded: %s" % given_up)
        sys.exit(1)
    if expected <= handed and not waiting and not on_filling:
        print("watch_crash: the ledger has every photo handed to CUPS")
        sys.exit(0)
    if state != last:
        last, progress = state, time.time()
    time.sleep(0.5)
print("watch_crash: nothing moved in the ledger for a minute: %d photos handed of %d, %d waiting, "
      "%d cells on the pending sheet" % (last[0], count, last[1], last[2]))
PY

ledger="$work/program/打印记录.db"
# The system's Python for another user: root's own may live where it cannot go.
user_python=python3
if [ ${#as_user[@]} -gt 0 ]; then
    user_python=/usr/bin/python3
    [ -x "$user_python" ] || skip "$user_python is missing: $WATCH_USER cannot read the ledger"
fi
ledger() { # MODE: ledger_py as the watcher's user
    (cd "$work" && "${as_user[@]}" "$user_python" -c "$ledger_py" "$1" "$ledger" "$work/hot" "$photos")
}

wait_for_idle_printer
ls "$pdf_dir" >"$work/pdfs-before"
started=$SECONDS

# The feed: one photo every 0.45 s once the first watcher runs ($work/go).
python3 - "$work" "$seed" "$photos" <<'PY' >"$work/feed.log" 2>&1 &
import os, random, sys, time
work, seed, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(seed * 2 + 1)

def clock():  # as the watcher's log has it
    t = time.time()
    return time.strftime("%H:%M:%S.", time.localtime(t)) + "%03d" % (t % 1 * 1000)

hot, staging = os.path.join(work, "hot"), os.path.join(work, "staging")
while not os.path.exists(os.path.join(work, "go")):
    time.sleep(0.05)
start = time.time()
for i in range(count):
    time.sleep(max(0, start + i * 0.45 - time.time()))
    name = "%03d.jpg" % i
    data = open(os.path.join(staging, name), "rb").read()
    # Folders made on the fly, some of them while no watcher runs.
    folder = rnd.choice(("", "", "", "s%d" % (i // 40), "s%d/deep" % (i // 60)))
    os.makedirs(os.path.join(hot, folder), exist_ok=True)
    target = os.path.join(hot, folder, name)
    if rnd.random() < 0.4:
        with open(target + ".part", "wb") as f:
            f.write(data)
        os.rename(target + ".part", target)
        how = "renamed in"
    else:
        with open(target, "wb") as f:
            for at in range(0, len(data), 400):
                f.write(data[at:at + 400])
                f.flush()
                time.sleep(0.03)
        how = "written in place"
    print("%s %s %s" % (clock(), os.path.join(folder, name), how), flush=True)
PY
feeder=$!
at_exit "kill $feeder 2>/dev/null"

# The kills: 20 SIGKILLs at random moments of a life (its start and the
# taking up of the ledger included), and among them 3 + 3 lives that die by
# themselves at their next hand-off. Each life logs to logs/life-NN.log.
python3 - "$work" "$seed" "$cli" "${as_user[@]}" <<'PY'
import os, random, signal, subprocess, sys, time
work, seed, cli, as_user = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4:]
rnd = random.Random(seed)
KILLS = 20
lives = ["kill"] * KILLS
for step in ["job-created"] * 3 + ["document-sent"] * 3:
    # In the first two thirds: the feed is still going, so a hand-off comes.
    lives.insert(rnd.randint(1, KILLS * 2 // 3), step)
record = open(os.path.join(work, "lives.txt"), "w")

def clock(t):  # as the watcher's log has it
    return time.strftime("%H:%M:%S.", time.localtime(t)) + "%03d" % (t % 1 * 1000)

def fail(message):
    with open(os.path.join(work, "failure"), "w") as f:
        f.write("FAIL: watch_crash: %s\n" % message)
    sys.exit(1)

watcher = None
try:
    for n, kind in enumerate(lives, 1):
        log = os.path.join(work, "logs", "life-%02d.log" % n)
        env = dict(os.environ)
        if kind != "kill":
            env["VELLORA_TEST_KILL_AT"] = kind
        began = time.time()
        watcher = subprocess.Popen(
            as_user + [cli, "watch", os.path.join(work, "hot"), "--template-json",
                       os.path.join(work, "template.json"), "--verbose"],
            stdout=subprocess.DEVNULL, stderr=open(log, "w"), env=env)
        if n == 1:  # the feed starts once a watcher has the folder
            while "watching" not in open(log).read():
                if watcher.poll() is not None:
                    fail("the first watcher did not start: " + open(log).read())
                time.sleep(0.05)
            open(os.path.join(work, "go"), "w").close()
        if kind == "kill":
            life = rnd.uniform(0.1, 3.5)
            time.sleep(life)
            if watcher.poll() is not None:
                fail("life %d ended by itself (status %s) before its kill:\n%s"
                     % (n, watcher.returncode, open(log).read()[-3000:]))
            watcher.send_signal(signal.SIGKILL)
            how = "SIGKILL after %.2f s" % life
        else:
            try:
                watcher.wait(20)
                how = "died at %s after %.2f s" % (kind, time.time() - began)
            except subprocess.TimeoutExpired:
                watcher.send_signal(signal.SIGKILL)
                how = "no hand-off in 20 s at %s; SIGKILL" % kind
        watcher.wait()
        if watcher.returncode != -signal.SIGKILL:
            fail("life %d (%s) ended with status %s, not by SIGKILL:\n%s"
                 % (n, kind, watcher.returncode, open(log).read()[-3000:]))
        watcher = None
        down = rnd.uniform(0, 3)
        record.write("life %02d: %s … %s, %s; down %.2f s\n"
                     % (n, clock(began), clock(time.time()), how, down))
        record.flush()
        time.sleep(down)
finally:
    if watcher is not None:
        watcher.kill()
        watcher.wait()
PY
status=$?
if [ $status -ne 0 ]; then
    cat "$work/lives.txt" 2>/dev/null
    cat "$work/failure" 2>/dev/null
    exit 1
fi

# The last life: watches to the end of the feed and is stopped cleanly.
start_watcher "$work/hot" "$work/template.json"
wait "$feeder" || fail "the feed failed: $(tail -n 5 "$work/feed.log")"
echo "watch_crash: $photos photos written; $(grep -c SIGKILL "$work/lives.txt") lives killed," \
    "$(grep -c 'died at' "$work/lives.txt") died at a hand-off; $((SECONDS - started)) s in"
ledger wait
stop_watcher
cp "$work/watch.log" "$work/logs/life-last.log"
[ $watcher_status -eq 0 ] || { tail -n 20 "$work/watch.log"; fail "the watcher ended with status $watcher_status on SIGTERM"; }
ledger dump >"$work/ledger.json" || fail "the ledger could not be read"

python3 - "$work" "$pdf_dir" "$here" "$photos" "$LPDEST" <<'PY'
import glob, json, os, subprocess, sys, time
work, pdf_dir, count, queue = sys.argv[1], sys.argv[2], int(sys.argv[4]), sys.argv[5]
sys.path.insert(0, sys.argv[3])
from sheets import number_at, page_count, sheet_images
SHEETS = count // 2
before = set(open(os.path.join(work, "pdfs-before")).read().split("\n"))
ledger = json.load(open(os.path.join(work, "ledger.json")))

def examine(pdf):
    """The two cells' photo numbers of a sheet of ours (None for a blank
    cell), "foreign" for any other page, False while not readable."""
    path = os.path.join(pdf_dir, pdf)
    images = sheet_images(path, os.path.join(work, "pages"))
    if images is False:
        return False
    if len(images) != 1 or images[0][:2] != (720, 490) or page_count(path) != 1:
        return "foreign"
    # Cell k: x 50 + 320 k … + 300, y 50 … 440; its two halves sampled in the middle.
    return [number_at(images[0], 50 + k * 320 + 150, 50 + 97, 50 + 292) for k in range(2)]

def jobs():
    """The queue's jobs as {id: still waiting for its document}."""
    out = subprocess.run(["lpstat", "-l", "-o", queue], capture_output=True, text=True).stdout
    found, job = {}, None
    for line in out.splitlines():
        if line and not line[0].isspace():
            job = line.split()[0]
            found[job] = False
        elif job and "job-incoming" in line:
            found[job] = True
    return found

def queue_busy():
    return not all(jobs().values())

results, progress = {}, time.time()
while time.time() - progress < 60:
    for pdf in sorted(os.listdir(pdf_dir)):
        if pdf.endswith(".pdf") and pdf not in before and pdf not in results:
            found = examine(pdf)
            if found is not False:
                results[pdf] = found
                progress = time.time()
    if len(results) >= SHEETS and not queue_busy() and time.time() - progress > 3:
        break
    time.sleep(1)

problems = []
unread = [pdf for pdf in os.listdir(pdf_dir)
          if pdf.endswith(".pdf") and pdf not in before and pdf not in results]
if unread:
    problems.append("pages that could not be read back: %s" % sorted(unread))
seen = {}
blank = []
for pdf, numbers in sorted(results.items()):
    if numbers == "foreign":
        problems.append("a page that is no sheet of ours: %s" % pdf)
        continue
    if None in numbers:
        blank.append(pdf)
    for i in numbers:
        if i is not None:
            seen.setdefault(i, []).append(pdf)
missing = [i for i in range(count) if i not in seen]
twice = {i: pdfs for i, pdfs in seen.items() if len(pdfs) > 1}
extra = [i for i in seen if i >= count]
if missing:
    problems.append("photos missing: %s" % missing)
if twice:
    problems.append("photos printed more than once: %s" % sorted(twice))
if blank:
    problems.append("sheets with a blank cell: %s" % blank)
if extra:
    problems.append("numbers that were never photos: %s" % extra)
if len(results) != SHEETS:
    problems.append("%d pages printed, expected %d" % (len(results), SHEETS))
if queue_busy():
    problems.append("jobs left in the queue a minute after the last page: %s" % sorted(jobs()))
# A kill between the job's creation and its record leaves a job that never
# gets its document and that no start can ask about: told, and cancelled so
# that the next run's queue is empty.
orphans = sorted(job for job, incoming in jobs().items() if incoming)
if orphans:
    known = {int(job.rsplit("-", 1)[1]): job for job in orphans}
    print("watch_crash: note: jobs left waiting for their document: %s; the ledger's sheets of "
          "those jobs: %s" % (orphans, [s for s in ledger["sheets"] if s["job"] in known]))
    subprocess.run(["cancel"] + orphans)
# The clean stop keeps a half-filled sheet rather than printing it; 200
# photos fill their sheets exactly, so nothing may be left.
left = [p for p in ledger["photos"] if p["state"] in (0, 1)]
if left:
    problems.append("photos left queued or on the pending sheet in the ledger: %s"
                    % [(p["path"], p["state"]) for p in left])

if problems:
    report = ["FAIL: watch_crash: " + p for p in problems]
    # What the ledger held for each photo gone wrong.
    bad = set(missing) | set(twice)
    by_photo = {}
    for placed in ledger["placements"]:
        by_photo.setdefault(placed["photo"], []).append(placed)
    sheets = {s["id"]: s for s in ledger["sheets"]}
    clock = lambda ms: ms and time.strftime("%H:%M:%S.", time.localtime(ms / 1000)) + "%03d" % (ms % 1000)
    if bad:
        report.append("the ledger's sessions (started, last heartbeat, stopped):")
        for session in ledger["sessions"]:
            report.append("  %d pid %d: %s, %s, %s%s" % (
                session["id"], session["pid"], clock(session["started_at"]),
                clock(session["heartbeat_at"]), clock(session["stopped_at"]),
                "" if session["clean"] else " (cut off)"))
    written = {}
    for line in open(os.path.join(work, "feed.log")):
        parts = line.split()
        if len(parts) >= 2:
            written[os.path.basename(parts[1])] = line.strip()
    for i in sorted(bad):
        name = "%03d.jpg" % i
        report.append("photo %s: pages %s; written %s" % (name, seen.get(i, []), written.get(name)))
        for p in ledger["photos"]:
            if os.path.basename(p["path"]) == name:
                report.append("  ledger photo %s" % p)
                for placed in by_photo.get(p["id"], []):
                    report.append("    cells %d+%d of sheet %s" % (placed["first"], placed["count"],
                                                                  sheets.get(placed["sheet"])))
        for log in sorted(glob.glob(os.path.join(work, "logs", "life-*.log"))):
            for line in open(log, encoding="utf-8", errors="replace"):
                if name in line:
                    report.append("  %s: %s" % (os.path.basename(log), line.rstrip()))
    with open(os.path.join(work, "failure"), "w") as f:
        f.write("\n".join(report) + "\n")
    sys.exit(1)
print("watch_crash: every one of %d photos printed exactly once on %d full sheets" % (count, SHEETS))
PY
status=$?
elapsed=$((SECONDS - started))
if [ $status -ne 0 ]; then
    cat "$work/lives.txt"
    for log in "$work"/logs/life-*.log; do
        echo "--- $(basename "$log"), its end:"
        tail -n 6 "$log"
    done
    cat "$work/failure" 2>/dev/null
    exit 1
fi
echo "watch_crash: $elapsed s from the first write to the last page read back, $SECONDS s in all"
echo "PASS: watch_crash${WATCH_USER:+ (the watcher as $WATCH_USER)}"
