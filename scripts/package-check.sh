#!/usr/bin/env bash
# Builds the Debian package from the build/ tree and proves it on this machine:
# lintian finds no errors, the menu entry is valid, it installs with apt-get,
# an operator (a throwaway user in the group vellora) lists and saves templates
# with the programs on the PATH, a reinstallation keeps what the operator saved
# and an administrator's modes, links and files the operator plants in
# /var/lib/vellora are neither followed nor changed by the configuration, and
# purging takes everything away again. As root; the machine is left as it
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
    # A check that failed between a refused configuration and its repair
    # leaves the package half-configured, which apt may not purge.
    if installed; then
        dpkg --purge --force-remove-reinstreq vellora >/dev/null 2>&1 ||
            echo "package-check: could not purge vellora" >&2
    fi
    # It was not there when the check began.
    rm -rf "$data"
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
# The program finds the studio's files beside it, through these.
for name in sj.edb 配置.ini 未打印 打印记录.db; do
    [ "$(readlink "$work/tree/usr/lib/vellora/$name")" = "$data/$name" ] ||
        fail "/usr/lib/vellora/$name is not a link to $data/$name"
done

apt_get_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "$@" "$deb"
}
apt_install() {
    apt_get_install "$@" >"$work/apt.log" 2>&1 ||
        { cat "$work/apt.log" >&2; fail "apt-get install $* failed"; }
}

owner_mode() { stat -c '%U:%G %a' "$1"; }
# Nothing but the studio's files: no temporary left by the configuration.
# The program's print record and the databases' journals come and go.
only_studio_files() {
    local found
    found=$(cd "$data" && ls -A | { grep -vE '^打印记录\.db|-(journal|wal|shm)$' || true; } | sort | tr '\n' ' ')
    [ "$found" = "$(printf '%s\n' sj.edb 未打印 配置.ini "$@" | sort | tr '\n' ' ')" ] ||
        fail "$data holds $found"
}

echo "== installing with apt-get"
apt_install
for entry in "$data:2775" "$data/未打印:2770" "$data/sj.edb:664" "$data/配置.ini:664"; do
    [ "$(owner_mode "${entry%:*}")" = "root:$group ${entry##*:}" ] ||
        fail "${entry%:*} is $(owner_mode "${entry%:*}"), not root:$group ${entry##*:}"
done
only_studio_files
# Kept sheets are the customers' photos.
if runuser -u nobody -- ls "$data/未打印" >/dev/null 2>&1; then
    fail "someone outside the group can list $data/未打印"
fi

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

echo "== links and files an operator plants: configuring follows and changes none"
# Root's folder outside /var/lib/vellora that the plants aim at; nothing in it
# or about it may change.
victim=$work/victim
install -d -m 700 "$victim"
printf 'root only\n' >"$victim/keep"
chmod 600 "$victim/keep"
fingerprint() {
    find "$victim" -printf '%p %u:%g %m %s\n' | sort
    sha256sum "$victim/keep"
}
victim_was=$(fingerprint)
victim_unchanged() {
    [ "$(fingerprint)" = "$victim_was" ] || fail "$1 changed $victim: $(fingerprint)"
}
reconfigure() { DEBIAN_FRONTEND=noninteractive dpkg-reconfigure vellora; }
# $1 what is planted, $2 what the refusal must say; the rest configures.
refused() {
    local plant=$1 says=$2
    shift 2
    if "$@" >"$work/configure.log" 2>&1; then
        fail "$* went through with $plant"
    fi
    grep -qF "$says" "$work/configure.log" ||
        { cat "$work/configure.log" >&2; fail "$* failed with $plant but does not say: $says"; }
    victim_unchanged "$* with $plant"
}
reconfigured() {
    reconfigure >"$work/configure.log" 2>&1 ||
        { cat "$work/configure.log" >&2; fail "dpkg-reconfigure fails after $1"; }
}

as_operator mv "$data/未打印" "$data/未打印.kept"
for target in "$victim" "$victim/made"; do
    as_operator ln -s "$target" "$data/未打印"
    refused "未打印 -> $target" "$data/未打印 is a symbolic link" reconfigure
    as_operator rm "$data/未打印"
done
as_operator sh -c 'printf x >"$1"' sh "$data/未打印"
refused "a plain file at 未打印" "$data/未打印 is not a folder" reconfigure
as_operator rm "$data/未打印"
as_operator mv "$data/未打印.kept" "$data/未打印"
reconfigured "the folder 未打印 is back"
only_studio_files

# An upgrade or a reinstallation configures too; refused, it leaves the
# package half-configured until the plant is gone.
as_operator mv "$data/sj.edb" "$data/sj.edb.kept"
as_operator ln -s "$victim/keep" "$data/sj.edb"
refused "sj.edb -> $victim/keep" "$data/sj.edb is a symbolic link" \
    apt_get_install --reinstall
[ "$(dpkg-query -W -f='${Status}' vellora)" = "install ok half-configured" ] ||
    fail "a refused reinstallation left vellora $(dpkg-query -W -f='${Status}' vellora)"
as_operator rm "$data/sj.edb"
as_operator mv "$data/sj.edb.kept" "$data/sj.edb"
dpkg --configure vellora >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "dpkg --configure fails after sj.edb is back"; }
as_operator vellora-cli templates list | grep -qx "$saved_template" ||
    fail "the saved template did not survive the refused reinstallation"

# The files are made again when missing, never through a name planted where
# they would be copied first.
plants=()
for name in sj.edb 配置.ini; do
    as_operator mv "$data/$name" "$data/$name.kept"
    for plant in "$name.dpkg-new:$victim/$name" "$name.dpkg-tmp:$victim/keep" "$name.tmp:$victim"; do
        as_operator ln -s "${plant#*:}" "$data/${plant%%:*}"
        plants+=("${plant%%:*}")
    done
done
reconfigured "planting ${plants[*]}"
victim_unchanged "configuring with ${plants[*]} planted"
for name in sj.edb 配置.ini; do
    [ -f "$data/$name" ] && [ ! -L "$data/$name" ] &&
        [ "$(owner_mode "$data/$name")" = "root:$group 664" ] &&
        cmp -s "$data/$name" "/usr/share/vellora/defaults/$name" ||
        fail "$data/$name was not made again from the defaults"
done
for plant in "${plants[@]}"; do
    [ -L "$data/$plant" ] || fail "$data/$plant, planted, was replaced"
done
only_studio_files "${plants[@]}" sj.edb.kept 配置.ini.kept
for plant in "${plants[@]}"; do as_operator rm "$data/$plant"; done
for name in sj.edb 配置.ini; do as_operator mv -T "$data/$name.kept" "$data/$name"; done
[ "$(sha256sum <"$data/配置.ini")" = "$config_sum" ] || fail "配置.ini is not the studio's again"

echo "== links an operator plants: root's own commands write through none"
# Root runs the programs too (calibrating, importing): a link an operator put
# at a file of the studio's is refused with its name, nothing is written.
as_operator mv "$data/配置.ini" "$data/配置.ini.kept"
as_operator ln -s "$victim/keep" "$data/配置.ini"
refused "配置.ini -> $victim/keep" "$data/配置.ini" \
    vellora-cli calibrate --printer VelloraPlanted --measured-x 100 --measured-y 100
as_operator rm "$data/配置.ini"
as_operator mv -T "$data/配置.ini.kept" "$data/配置.ini"
as_operator mv "$data/sj.edb" "$data/sj.edb.kept"
as_operator ln -s "$victim/made.edb" "$data/sj.edb"
refused "sj.edb -> $victim/made.edb (dangling)" "$data/sj.edb" \
    vellora-cli templates import "$home/t.json"
as_operator rm "$data/sj.edb"
as_operator mv -T "$data/sj.edb.kept" "$data/sj.edb"
as_operator vellora-cli templates list | grep -qx "$saved_template" ||
    fail "the studio's templates are gone after the planted links"
[ "$(sha256sum <"$data/配置.ini")" = "$config_sum" ] || fail "配置.ini changed through a planted link"

echo "== an administrator's tighter modes survive a reinstallation"
chmod 2750 "$data" "$data/未打印"
chmod 640 "$data/配置.ini"
apt_install --reinstall
for entry in "$data:2750" "$data/未打印:2750" "$data/配置.ini:640" "$data/sj.edb:664"; do
    [ "$(owner_mode "${entry%:*}")" = "root:$group ${entry##*:}" ] ||
        fail "the reinstallation made ${entry%:*} $(owner_mode "${entry%:*}")"
done
victim_unchanged "the tests above"

echo "== purging"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=600 vellora \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get purge failed"; }
for gone in /usr/bin/vellora /usr/bin/vellora-cli /usr/lib/vellora "$data"; do
    [ ! -e "$gone" ] && [ ! -L "$gone" ] || fail "$gone is still there after purging"
done
echo "package-check: OK ($(basename "$deb"))"
