#!/usr/bin/env bash
# Installs what Vellora needs from Debian's packages and builds it.
#   scripts/setup.sh              → build/        (release with debug info)
#   scripts/setup.sh --sanitize   → build-asan/   (AddressSanitizer + UBSan)
# The program folder is <build>/bin: executables, sj.edb, 配置.ini and the sample photo.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
bench=ON
build=build
for arg in "$@"; do
    case "$arg" in
        # Benchmarks under the sanitizers measure nothing: not built there.
        --sanitize) sanitize=ON; bench=OFF; build=build-asan ;;
        *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
    esac
done

packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6printsupport6 libgl-dev
    libjpeg-dev libsqlite3-dev libcups2-dev libbenchmark-dev
    fonts-noto-cjk
    cups cups-client printer-driver-cups-pdf poppler-utils
    xvfb xauth xdotool x11-apps clang-format
    # Chinese for Qt's own dialogs; the printer settings tool the main window opens
    qt6-translations-l10n system-config-printer
    # what the tests and benchmarks drive: real clients of the hot folder, the
    # JPEG reference tools, the package checks and the dependency picture
    samba smbclient rsync util-linux procps python3 libjpeg-turbo-progs imagemagick
    dpkg-dev fakeroot lintian desktop-file-utils graphviz
    # the desktop notification tests' private message bus and its monitor
    dbus-daemon dbus-bin
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLORA_SANITIZE="$sanitize" \
    -DVELLORA_BUILD_BENCH="$bench"
cmake --build "$build" -j "$(nproc)"
echo "Built into $build/bin"
