#!/usr/bin/env bash
# Sets everything up and starts Vellora with its shipped templates and settings.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Sheets go to the default printer; make sure the printing system is running.
if command -v cupsd >/dev/null && ! pgrep -x cupsd >/dev/null; then
    /usr/sbin/cupsd || true
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting Vellora on a virtual X display (Xvfb)." >&2
    exec xvfb-run -a -s "-screen 0 1280x800x24" build/bin/vellora
fi
exec build/bin/vellora
