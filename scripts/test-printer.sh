#!/bin/bash
# The tests' own printer: a cups-pdf queue that belongs to this checkout, with
# its own cups-pdf configuration (/etc/cups/cups-pdf-<queue>.conf, read by the
# backend for a cups-pdf:/<queue> device), writing every job as a PDF into a
# folder of its own. Tests pick it through PRINTER/LPDEST in their own
# environment: the system's default printer, the global cups-pdf.conf and the
# users' lpoptions are never touched, so running the suite on a studio PC
# leaves its real printer as it was.
#
#   test-printer.sh            set the queue up (idempotent); prints the PDF folder
#   test-printer.sh --name     prints the queue's name
#   test-printer.sh --remove   removes the queue, its configuration and its PDFs
#
#   VELLORA_TEST_QUEUE  the queue's name (default: VelloraTest_ + a hash of the checkout)
# Run as root (CUPS administration and the cups-pdf backend need it).
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
queue="${VELLORA_TEST_QUEUE:-VelloraTest_$(printf '%s' "$source_dir" | md5sum | cut -c1-8)}"
out_dir="/var/spool/cups-pdf/$queue"
conf="/etc/cups/cups-pdf-$queue.conf"
ppd=lsb/usr/cups-pdf/CUPS-PDF_opt.ppd

case "${1:-}" in
    --name) echo "$queue"; exit 0 ;;
    --remove | "") ;;
    *) echo "test-printer.sh: unknown option $1" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
    echo "test-printer.sh: must run as root (CUPS administration)" >&2
    exit 1
fi
for tool in /usr/sbin/cupsd /usr/sbin/lpadmin /usr/lib/cups/backend/cups-pdf /usr/bin/pdfinfo; do
    if [ ! -e "$tool" ]; then
        echo "test-printer.sh: $tool is missing; run scripts/setup.sh first" >&2
        exit 1
    fi
done

# Several test programs may call this at once.
exec 9>"/run/vellora-test-printer-$queue.lock"
flock -w 30 9

scheduler_up() { lpstat -r 2>/dev/null | grep -q "is running"; }

if [ "${1:-}" = "--remove" ]; then
    if scheduler_up && lpstat -p "$queue" >/dev/null 2>&1; then
        cancel -a "$queue" 2>/dev/null || true
        lpadmin -x "$queue"
    fi
    rm -f "$conf"
    rm -rf "$out_dir"
    exit 0
fi

wait_for_scheduler() {
    for _ in $(seq 1 50); do
        scheduler_up && return 0
        sleep 0.1
    done
    echo "test-printer.sh: the CUPS scheduler did not come up" >&2
    return 1
}

if ! scheduler_up; then
    if pgrep -x cupsd >/dev/null; then
        wait_for_scheduler
    else
        # No init system here: cupsd daemonises itself.
        /usr/sbin/cupsd >&2
        wait_for_scheduler
    fi
fi

mkdir -p "$out_dir"
chmod 1777 "$out_dir"
# The backend reads its configuration afresh for every job.
# Titles with CJK text arrive hex-encoded; decode them for the file names.
want="$(printf 'Out %s\nDecodeHexStrings 1' "$out_dir")"
if [ ! -f "$conf" ] || [ "$(cat "$conf")" != "$want" ]; then
    printf '%s\n' "$want" >"$conf.tmp"
    mv "$conf.tmp" "$conf"
fi

if ! lpstat -p "$queue" >/dev/null 2>&1; then
    lpadmin -p "$queue" -E -v "cups-pdf:/$queue" -m "$ppd" -o PageSize=A4 -o TitlePref=1
else
    # A test may have left it stopped or rejecting.
    cupsenable "$queue"
    cupsaccept "$queue"
fi

echo "$out_dir"
