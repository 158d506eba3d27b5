#!/usr/bin/env bash
# Builds the Debian package from the build/ tree and proves it on this machine:
# lintian finds no errors, the menu entry is valid, it installs with apt-get,
# an operator (a throwaway user in the group vellora) lists and saves templates
# with the programs on the PATH, a reinstallation keeps what the operator saved,
# and purging takes everything away again. As root; the machine is left as it
# was found (the package, the user, the group and /var/lib/vellora).
set -euo pipefail
cd "$(dirname "$0")/.."

group=vellora
data=/var/lib/vellora
default_template=一寸-6寸相纸横向
saved_template=打包检查模板

fail() { echo "package-check: $*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || fail "run as root (it installs and purges the package)"
exec 9>/run/lock/vellora-package-check.lock
flock -w 600 9 || fail "another package check is running"

installed() { dpkg-query -W -f='${Status}' vellora 2>/dev/null | grep -qv "not-installed"; }
# What is found here belongs to someone: never purge it.
installed && fail "a vellora package is already on this machine; remove it first"
[ -e "$data" ] && fail "$data exists; it is not ours to delete"
group_existed=0
getent group "$group" >/dev/null && group_existed=1

[ -f build/build.ninja ] || scripts/setup.sh
echo "== building the package"
rm -f build/package/vellora_*.deb
log=$(mktemp)
cmake --build build --target package >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; fail "the build failed"; }
rm -f "$log"
shopt -s nullglob
debs=(build/package/vellora_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one package in build/package, found ${#debs[@]}"

user=vlcheck$$
work=$(mktemp -d /tmp/vellora-package-check.XXXXXX)
cleanup() {
    set +e
    if installed; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=600 vellora \
            >/dev/null 2>&1
    fi
    getent passwd "$user" >/dev/null && userdel "$user"
    [ "$group_existed" = 0 ] && getent group "$group" >/dev/null && groupdel "$group"
    rm -rf "$work"
}
trap cleanup EXIT
# apt reads the package as its own unprivileged user.
chmod 755 "$work"
deb=$work/$(basename "${debs[0]}")
cp "${debs[0]}" "$deb"
chmod 644 "$deb"

echo "== lintian"
set +e
lintian --fail-on error --display-info "$deb" >"$work/lintian.log" 2>&1
status=$?
set -e
grep -v '^running with root privileges' "$work/lintian.log" || true
[ "$status" = 0 ] || fail "lintian reports errors"

echo "== desktop entry"
desktop-file-validate packaging/vellora.desktop || fail "desktop-file-validate"

echo "== declared dependencies"
depends=$(dpkg-deb -f "$deb" Depends)
for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6printsupport6 qt6-qpa-plugins \
    qt6-translations-l10n libjpeg62-turbo libsqlite3-0 libcups2 fonts-noto-cjk cups; do
    grep -qE "(^|, )$p( |,|$)" <<<"$depends" || fail "Depends lacks $p: $depends"
done
# Nothing of the build tree: no run path into it, nothing outside the layout.
dpkg-deb -x "$deb" "$work/tree"
for exe in "$work"/tree/usr/lib/vellora/vellora "$work"/tree/usr/lib/vellora/vellora-cli; do
    if readelf -d "$exe" | grep -qE 'RPATH|RUNPATH'; then fail "$exe has a run path"; fi
done
stray=$(cd "$work/tree" && find . ! -type d | grep -vE '^\./usr/(bin/vellora(-cli)?|lib/vellora/[^/]+|share/(vellora|applications|icons|man|doc|lintian)/.*)$' || true)
[ -z "$stray" ] || fail "unexpected files in the package: $stray"

apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "$@" "$deb" >"$work/apt.log" 2>&1 ||
        { cat "$work/apt.log" >&2; fail "apt-get install $* failed"; }
}

echo "== installing with apt-get"
apt_install
[ "$(stat -c '%G %a' "$data")" = "$group 2775" ] || fail "$data is $(stat -c '%G %a' "$data")"

# The operator: a user whose only right here is the group.
useradd --no-create-home --shell /usr/sbin/nologin --groups "$group" "$user"
home=$work/home
install -d -o "$user" -m 700 "$home"
as_operator() {
    runuser -u "$user" -- env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$home" \
        XDG_RUNTIME_DIR="$home" LANG=C.UTF-8 "$@"
}

echo "== as an operator: the programs on the PATH"
[ "$(as_operator sh -c 'command -v vellora-cli')" = /usr/bin/vellora-cli ] ||
    fail "vellora-cli is not on the PATH"
as_operator vellora-cli templates list >"$home/list" || fail "templates list failed"
# The eight shipped templates, found beside the real executable, not beside the link.
[ "$(wc -l <"$home/list")" = 8 ] || fail "expected 8 templates, got: $(cat "$home/list")"
grep -qx "$default_template" "$home/list" || fail "the default template is missing"

echo "== as an operator: saving a template"
as_operator vellora-cli templates show "$default_template" >"$home/t.json"
sed -i "s/\"$default_template\"/\"$saved_template\"/" "$home/t.json"
as_operator vellora-cli templates import "$home/t.json" 2>/dev/null || fail "templates import failed"
as_operator vellora-cli templates list | grep -qx "$saved_template" || fail "the template was not saved"
# The operators' folder takes new files too: 配置.ini is replaced through a
# temporary file beside it, unprinted sheets go into 未打印.
for folder in "$data" /usr/lib/vellora/未打印; do
    as_operator touch "$folder/.check" && rm "$folder/.check" ||
        fail "an operator cannot make files in $folder"
done
as_operator sh -c "printf '; studio edit\n' >>/usr/lib/vellora/配置.ini" ||
    fail "an operator cannot change 配置.ini"
config_sum=$(sha256sum <"$data/配置.ini")

echo "== the window program starts"
set +e
as_operator env QT_QPA_PLATFORM=offscreen timeout -s TERM 5 vellora >"$home/gui.log" 2>&1
status=$?
set -e
[ "$status" = 124 ] || { cat "$home/gui.log" >&2; fail "vellora ended by itself (status $status)"; }

echo "== reinstalling keeps the studio's files"
apt_install --reinstall
as_operator vellora-cli templates list | grep -qx "$saved_template" ||
    fail "the saved template did not survive the reinstallation"
[ "$(sha256sum <"$data/配置.ini")" = "$config_sum" ] || fail "配置.ini was replaced"

echo "== manual"
[ -f /usr/share/man/man1/vellora-cli.1.gz ] || fail "the manual of vellora-cli is not installed"
if command -v man >/dev/null; then
    as_operator man -w vellora-cli >/dev/null || fail "man vellora-cli finds no page"
fi

echo "== purging"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=600 vellora \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get purge failed"; }
for gone in /usr/bin/vellora /usr/bin/vellora-cli /usr/lib/vellora "$data"; do
    [ ! -e "$gone" ] && [ ! -L "$gone" ] || fail "$gone is still there after purging"
done
echo "package-check: OK ($(basename "$deb"))"
