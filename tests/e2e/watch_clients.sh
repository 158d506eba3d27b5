#!/bin/bash
# End to end: the hot folder fed by the clients studios use. A real Samba
# server on the loopback, on a port of its own, writing as an account of its
# own, once with kernel oplocks off and once on: four clients uploading at
# once, a file put empty and put again 1.5 s later, a photo put and deleted
# before the tick, an AppleDouble sidecar, an upload cut off mid-way (the
# client killed; smbd closes half a file) and a photo held under another
# program's lease (what smbd takes for a batch oplock) just after its upload.
# Then rsync --delay-updates, and a folder copied in and renamed at once.
# One cell per sheet, so one photo is one page: every photo exactly once, no
# blank page, nothing printed for what is not a whole photo.
#
#   bash tests/e2e/watch_clients.sh BUILD_DIR
#   WATCH_USER=nobody bash tests/e2e/watch_clients.sh BUILD_DIR   (an ordinary
#   user's watcher: no CAP_LEASE, photos owned by someone else)
#
# Skips (loudly; a failure in CI) when the test printer or Samba cannot be set up.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
source "$source_dir/tests/e2e/common.bash"
hot_folder_begin watch_clients "${1:-}"
[ "$(id -u)" -eq 0 ] || skip "the test printer and the Samba server need root"
for tool in smbd smbclient rsync cjpeg pdfimages pdfinfo setsid; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/setup.sh installs it)"
done
# The account Samba writes as: not the watcher's, so that the watcher (as an
# ordinary user) may not take leases on the uploads.
smb_user=daemon
id "$smb_user" >/dev/null 2>&1 || skip "there is no user $smb_user for Samba to write as"
use_test_printer

mkdir -p "$work/hot" "$work/staging" "$work/pages" "$work/samba"
chmod 777 "$work/hot"

# One cell of 30 × 39 mm on a 41 × 53 mm sheet, no number, no frame.
cat >"$work/template.json" <<'EOF'
{"名称": "e2e 1 cell", "尺寸1高度": 390, "尺寸1宽度": 300, "尺寸1横向张数": 1,
 "尺寸1纵向张数": 1, "尺寸1横向距离": 0, "尺寸1纵向距离": 0, "照片输出张数": 1,
 "同底照片不同规格": false, "纸高度": 530, "纸宽度": 410, "号码不加印": true,
 "左边距": 50, "顶边距": 50, "居中打印": false}
EOF

# Photo i is staging/NNN.jpg. big.jpg is photo 99 behind 25 MB of comment
# segments: an upload long enough to be cut off half-way.
python3 - "$work" "$here" <<'PY' || fail "the photos could not be made"
import os, sys
work = sys.argv[1]
sys.path.insert(0, sys.argv[2])
from sheets import coded_jpeg
staging = os.path.join(work, "staging")
for i in range(100):
    with open(os.path.join(staging, "%03d.jpg" % i), "wb") as f:
        f.write(coded_jpeg(i))
photo = coded_jpeg(99)
comment = b"\xff\xfe" + (65535).to_bytes(2, "big") + b"c" * 65533
with open(os.path.join(staging, "big.jpg"), "wb") as f:
    f.write(photo[:2] + comment * 400 + photo[2:])
PY
chmod -R a+rX "$work/staging"

wait_for_idle_printer
ls "$pdf_dir" >"$work/pdfs-before"
start_watcher "$work/hot" "$work/template.json"

smbd_pid=
stop_smbd() {
    [ -n "$smbd_pid" ] || return 0
    # On SIGTERM smbd --no-process-group signals its whole group: its own,
    # from setsid.
    kill -TERM "$smbd_pid" 2>/dev/null
    local _
    for _ in $(seq 1 50); do
        pgrep -g "$smbd_pid" >/dev/null || break
        sleep 0.1
    done
    if pgrep -g "$smbd_pid" >/dev/null; then
        smbd_left_behind=1
        kill -KILL -- "-$smbd_pid" 2>/dev/null
    fi
    wait "$smbd_pid" 2>/dev/null
    smbd_pid=
}
smbd_left_behind=0
at_exit stop_smbd

start_smbd() { # $1: kernel oplocks yes|no; sets smbd_pid, port and conf
    local d="$work/samba/$1"
    mkdir -p "$d"/{private,lock,state,cache,run,ncalrpc,binddns}
    conf=$d/smb.conf
    local attempt
    for attempt in 1 2 3; do
        port=$((20000 + RANDOM % 20000))
        cat >"$conf" <<EOF
[global]
    server role = standalone server
    interfaces = 127.0.0.1
    bind interfaces only = yes
    smb ports = $port
    map to guest = Bad User
    guest account = nobody
    private dir = $d/private
    lock directory = $d/lock
    state directory = $d/state
    cache directory = $d/cache
    pid directory = $d/run
    ncalrpc dir = $d/ncalrpc
    binddns dir = $d/binddns
    smb passwd file = $d/private/smbpasswd
    log file = $d/log
    load printers = no
    printcap name = /dev/null
    disable spoolss = yes
    kernel oplocks = $1
[hot]
    path = $work/hot
    read only = no
    guest ok = yes
    force user = $smb_user
    create mask = 0644
    directory mask = 0777
    force directory mode = 0777
EOF
        setsid smbd --foreground --no-process-group -s "$conf" >"$d/stdout" 2>&1 &
        smbd_pid=$!
        local _
        for _ in $(seq 1 100); do
            smbclient -N -p "$port" -s "$conf" //127.0.0.1/hot -c ls >/dev/null 2>&1 && return 0
            kill -0 "$smbd_pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_smbd # most likely the port was taken: another one
    done
    cat "$d/stdout" "$d/log" 2>/dev/null | tail -n 20
    return 1
}

smb() {
    smbclient -N -p "$port" -s "$conf" //127.0.0.1/hot "$@" >>"$work/smbclient.log" 2>&1 ||
        fail "smbclient $* failed: $(tail -n 3 "$work/smbclient.log")"
}

expected=() # photo numbers that must print once each
cut_files=()
s=$work/staging
: >"$s/empty.jpg"
for oplocks in no yes; do
    start_smbd "$oplocks" || fail "smbd did not start (kernel oplocks = $oplocks)"
    o=o$oplocks
    base=$([ "$oplocks" = no ] && echo 0 || echo 20)
    n() { printf %03d $((base + $1)); }
    smb -c "mkdir $o"
    # Four clients at once, three photos each.
    clients=()
    for c in 0 1 2 3; do
        cmds=""
        for k in 0 1 2; do
            cmds+="put $s/$(n $((c * 3 + k))).jpg $o/$(n $((c * 3 + k))).jpg; "
            expected+=("$(n $((c * 3 + k)))")
        done
        smb -c "$cmds" &
        clients+=($!)
    done
    for c in "${clients[@]}"; do
        wait "$c" || fail "a parallel upload failed"
    done
    # Created empty, put again 1.5 s later.
    smb -c "put $s/empty.jpg $o/$(n 12).jpg"
    sleep 1.5
    smb -c "put $s/$(n 12).jpg $o/$(n 12).jpg"
    expected+=("$(n 12)")
    # Put and deleted before the tick: nothing to print.
    smb -c "put $s/$(n 13).jpg $o/$(n 13).jpg; del $o/$(n 13).jpg"
    # An AppleDouble sidecar (here holding another photo's bytes) beside a photo.
    smb -c "put $s/$(n 14).jpg $o/$(n 14).jpg; put $s/$(n 15).jpg $o/._$(n 14).jpg"
    expected+=("$(n 14)")
    # An upload cut off mid-way: the client is killed, smbd closes half a file.
    python3 - "$work/hot/$o/$(n 16).jpg" "$port" "$conf" "$s/big.jpg" "$o/$(n 16).jpg" \
        2>>"$work/smbclient.log" <<'PY'
import os, signal, subprocess, sys, time
path, port, conf, source, remote = sys.argv[1:]
client = subprocess.Popen(["smbclient", "-N", "-p", port, "-s", conf, "//127.0.0.1/hot",
                           "-c", "put %s %s" % (source, remote)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
deadline = time.time() + 20
while time.time() < deadline and client.poll() is None:
    try:
        if os.stat(path).st_size > 0:
            break
    except FileNotFoundError:
        pass
os.kill(client.pid, signal.SIGKILL)
client.wait()
PY
    size=$(stat -c %s "$work/hot/$o/$(n 16).jpg" 2>/dev/null || echo 0)
    [ "$size" -gt 0 ] && [ "$size" -lt "$(stat -c %s "$s/big.jpg")" ] ||
        fail "the cut upload left $size bytes, not part of the file"
    cut_files+=("$o/$(n 16).jpg")
    # Uploaded under a name that is no photo's, put under another program's
    # lease (the kernel lease smbd takes for a batch oplock) and renamed to
    # the photo's name; the lease is let go 3 s later: printed once, after it.
    smb -c "put $s/$(n 17).jpg $o/$(n 17).part"
    python3 - "$work/hot/$o/$(n 17)" "$work/held.$o" <<'PY' &
import fcntl, os, signal, sys, time
signal.signal(signal.SIGIO, signal.SIG_IGN)  # the lease-break signal
fd = os.open(sys.argv[1] + ".part", os.O_RDONLY)
try:
    fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
    open(sys.argv[2], "w").close()
except OSError as e:
    print("no lease on the photo (%s): it prints at once" % e)
os.rename(sys.argv[1] + ".part", sys.argv[1] + ".jpg")
time.sleep(3)
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
PY
    holder=$!
    expected+=("$(n 17)")
    # And one put after it: not held up behind the leased one.
    for _ in $(seq 1 50); do
        [ -e "$work/hot/$o/$(n 17).jpg" ] && break
        sleep 0.1
    done
    smb -c "put $s/$(n 18).jpg $o/$(n 18).jpg"
    expected+=("$(n 18)")
    wait "$holder"
    sleep 1
    stop_smbd
    [ $smbd_left_behind = 0 ] || fail "smbd left processes behind 5 s after SIGTERM"
done

# rsync --delay-updates: .~tmp~/NAME.jpg renamed to NAME.jpg at the end.
mkdir -p "$work/src"
for i in $(seq 40 49); do
    cp "$s/0$i.jpg" "$work/src/"
    expected+=("0$i")
done
rsync -r --delay-updates "$work/src/" "$work/hot/rs/" || fail "rsync failed"
# A folder copied in and renamed at once.
mkdir -p "$work/src2"
for i in $(seq 50 59); do
    cp "$s/0$i.jpg" "$work/src2/"
    expected+=("0$i")
done
cp -r "$work/src2" "$work/hot/incoming" && mv "$work/hot/incoming" "$work/hot/photos" ||
    fail "the folder could not be copied in and renamed"

echo "${expected[@]}" >"$work/expected"
python3 - "$work" "$pdf_dir" "$here" <<'PY'
import os, sys, time
work, pdf_dir = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
from sheets import number_at, page_count, sheet_images
expected = [int(x) for x in open(os.path.join(work, "expected")).read().split()]
before = set(open(os.path.join(work, "pdfs-before")).read().split("\n"))

def fail(message):
    print("FAIL: watch_clients:", message)
    sys.exit(1)

def examine(pdf):
    """The photo number on a sheet of ours, "blank" for a sheet of ours
    without one, None for another test's page, False while not readable."""
    path = os.path.join(pdf_dir, pdf)
    images = sheet_images(path, os.path.join(work, "pages"))
    if images is False:
        return False
    if len(images) != 1 or images[0][:2] != (410, 530):
        return None
    if page_count(path) != 1:
        return "blank"
    # The cell: x 50…350, y 50…440; its two halves sampled in the middle.
    number = number_at(images[0], 200, 50 + 97, 50 + 292)
    return "blank" if number is None else number

seen, blank, done = {}, [], set()
progress = time.time()
while time.time() - progress < 60:
    for pdf in sorted(os.listdir(pdf_dir)):
        if pdf.endswith(".pdf") and pdf not in before and pdf not in done:
            found = examine(pdf)
            if found is False:
                continue
            done.add(pdf)
            if found == "blank":
                blank.append(pdf)
            elif found is not None:
                seen[found] = seen.get(found, 0) + 1
            progress = time.time()
    # Once all are in, a few quiet seconds for anything printed that should not be.
    if sum(seen.values()) >= len(expected) and time.time() - progress > 6:
        break
    time.sleep(1)
missing = [i for i in expected if i not in seen]
twice = {i: n for i, n in seen.items() if n != 1}
extra = [i for i in seen if i not in expected]
if blank or missing or twice or extra:
    fail("blank pages %s; missing %s; not once %s; printed though not whole photos %s"
         % (blank, missing, twice, extra))
print("watch_clients: %d photos, each on exactly one page; nothing else printed" % len(expected))
PY
status=$?
stop_watcher
grep "watch: not laid out" "$work/watch.log"
[ $status -eq 0 ] || { tail -n 30 "$work/watch.log"; exit $status; }
[ $watcher_status -eq 0 ] || fail "the watcher ended with status $watcher_status on SIGTERM"
count=$(wc -w <"$work/expected")
grep -q "stopped: $count photos laid out, $count sheets printed, 0 at the printer, 0 kept in 未打印, 0 waiting for the printer, 0 held for the operator, 0 lost, 0 cells on the unprinted sheet, 0 photos not yet laid out" \
    "$work/watch.log" || fail "the watcher's own count differs from $count photos on $count sheets"
# Where the lease was taken in time, the photo put after it came first: the
# held one waited without holding anything else up.
for o in ono:01 oyes:03; do
    d=${o#*:}
    o=${o%:*}
    [ -e "$work/held.$o" ] || continue
    held=$(grep -n "photo [0-9]* $o/${d}7.jpg" "$work/watch.log" | cut -d: -f1)
    after=$(grep -n "photo [0-9]* $o/${d}8.jpg" "$work/watch.log" | cut -d: -f1)
    [ -n "$held" ] && [ -n "$after" ] && [ "$after" -lt "$held" ] ||
        fail "the photo held under a lease in $o held up the one after it: $(grep -E "$o/${d}[78]" "$work/watch.log")"
done
for f in "${cut_files[@]}"; do
    grep -q "not laid out: $f (" "$work/watch.log" || fail "the cut upload $f was not reported"
done
echo "PASS: watch_clients${WATCH_USER:+ (the watcher as $WATCH_USER)}"
