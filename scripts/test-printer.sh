#!/bin/bash
# Sets up the test printer: a running CUPS scheduler with a PDF queue named
# PDF as the default destination, writing every job as a PDF file into one
# known folder. Idempotent and quick when everything is already in place.
# Run as root. Prints the PDF output folder on stdout.
#
#   VELLORA_PDF_DIR   output folder (default /var/spool/cups-pdf/vellora)
set -euo pipefail

out_dir="${VELLORA_PDF_DIR:-/var/spool/cups-pdf/vellora}"
conf=/etc/cups/cups-pdf.conf
ppd=lsb/usr/cups-pdf/CUPS-PDF_opt.ppd

if [ "$(id -u)" -ne 0 ]; then
    echo "test-printer.sh: must run as root" >&2
    exit 1
fi

# Several test programs may call this at once.
exec 9>/run/vellora-test-printer.lock
flock -w 30 9

missing=()
for pair in cups:/usr/sbin/cupsd cups-client:/usr/sbin/lpadmin \
            printer-driver-cups-pdf:/usr/lib/cups/backend/cups-pdf poppler-utils:/usr/bin/pdfinfo; do
    [ -e "${pair#*:}" ] || missing+=("${pair%%:*}")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "test-printer.sh: installing ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >&2
fi

scheduler_up() { lpstat -r 2>/dev/null | grep -q "is running"; }

wait_for_scheduler() {
    for _ in $(seq 1 50); do
        scheduler_up && return 0
        sleep 0.1
    done
    echo "test-printer.sh: the CUPS scheduler did not come up" >&2
    return 1
}

start_scheduler() {
    # No init system here: cupsd daemonises itself.
    /usr/sbin/cupsd >&2
    wait_for_scheduler
}

mkdir -p "$out_dir"
chmod 1777 "$out_dir"

if ! grep -qxF "Out $out_dir" "$conf"; then
    sed -i -e '/^Out[[:space:]]/d' "$conf"
    printf 'Out %s\n' "$out_dir" >>"$conf"
fi

# The backend reads its configuration afresh for every job, so a changed Out
# needs no restart of a running scheduler.
if scheduler_up; then
    :
elif pgrep -x cupsd >/dev/null; then
    wait_for_scheduler
else
    start_scheduler
fi

if ! lpstat -p PDF >/dev/null 2>&1; then
    lpadmin -p PDF -E -v cups-pdf:/ -m "$ppd" -o PageSize=A4 -o TitlePref=1 2>/dev/null
else
    # A test may have left it stopped or rejecting.
    cupsenable PDF
    cupsaccept PDF
fi
if ! lpstat -d 2>/dev/null | grep -q ": PDF$"; then
    lpadmin -d PDF
fi
rm -f "${HOME:-/root}/.cups/lpoptions"

echo "$out_dir"
