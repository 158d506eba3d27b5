#!/bin/bash
# Runs a test program as an ordinary user (WATCH_USER, nobody by default): no
# CAP_LEASE and none of root's ways past permissions, as studios run the GUI.
# It runs from a copy in a temporary folder open to that user, so that no
# folder of the checkout or the build tree has to be opened to it.
#
#   bash tests/e2e/as_user.bash PROGRAM [ARGUMENT...]
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
source "$source_dir/tests/e2e/common.bash"
user=${WATCH_USER:-nobody}
program=${1:?usage: as_user.bash PROGRAM [ARGUMENT...]}
shift
[ "$(id -u)" -eq 0 ] || skip "only root can run a program as $user"
command -v setpriv >/dev/null || skip "setpriv (util-linux) is missing"
id "$user" >/dev/null 2>&1 || skip "there is no user $user"

copy=$(mktemp -d /tmp/as_user.XXXXXX)
trap 'rm -rf "$copy"' EXIT
cp "$program" "$copy/"
chmod 755 "$copy" "$copy/$(basename "$program")"
# Qt's runtime folder too, or it would make one in /tmp and leave it.
install -d -m 700 -o "$user" -g "$(id -gn "$user")" "$copy/runtime"
cd "$copy" || exit 1
HOME=$copy XDG_RUNTIME_DIR=$copy/runtime \
    setpriv --reuid="$user" --regid="$(id -gn "$user")" --clear-groups \
    "$copy/$(basename "$program")" "$@"
