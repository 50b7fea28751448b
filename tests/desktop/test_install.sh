#!/usr/bin/env bash
# Installs the client as a package would (prefix /usr, into a scratch root), checks the desktop
# files with the freedesktop and AppStream validators, then runs the installed program as a user
# who cannot write its folder: after a login click it must remember the account in the per-user
# configuration folder, not beside the executable.
#   test_install.sh BUILD_DIR CLICKER_PLUGIN
set -euo pipefail
build=$1
clicker=$2

fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in desktop-file-validate appstreamcli setpriv timeout; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap installs it)"
done

scratch=$(mktemp -d)
trap 'chmod -R u+w "$scratch"; rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
root=$scratch/root

DESTDIR=$root "${CMAKE:-cmake}" --install "$build" --prefix /usr --component client >/dev/null

echo "== installed files"
for file in bin/velmoth lib/velmoth/velmoth-page share/applications/velmoth.desktop \
            share/icons/hicolor/{16x16,32x32,48x48,128x128,256x256}/apps/velmoth.png \
            share/icons/hicolor/scalable/apps/velmoth.svg; do
  [ -f "$root/usr/$file" ] || fail "usr/$file is not installed"
done
metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
[ -f "${metainfo[0]}" ] || fail "no AppStream metainfo in usr/share/metainfo"

echo "== validators"
desktop-file-validate "$root/usr/share/applications/velmoth.desktop"
appstreamcli validate --no-net --pedantic "${metainfo[@]}"
appstreamcli validate-tree --no-net "$root"

echo "== installed program, folder not writable"
home=$scratch/home
mkdir -p "$home/run" "$scratch/plugins/generic"
chmod 700 "$home/run"
cp "$clicker" "$scratch/plugins/generic/"
chmod -R a+rX "$scratch/plugins"
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  # root may write anywhere: run as an ordinary user, as an installed program is.
  chown -R nobody "$home"
  run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
else
  chmod a-w "$root/usr/bin"
fi
if "${run_as[@]}" test -w "$root/usr/bin"; then
  fail "the installed bin folder is writable for the test user"
fi

status=0
"${run_as[@]}" env HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run" \
  QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$scratch/plugins" \
  QT_QPA_GENERIC_PLUGINS=velmoth-login-clicker \
  timeout 30 "$root/usr/bin/velmoth" >"$scratch/run.log" 2>&1 || status=$?
cat "$scratch/run.log"
grep -q "login-clicker: loaded" "$scratch/run.log" || fail "the login clicker was not loaded"
[ "$status" -eq 0 ] || fail "the installed client ended with status $status"

remembered=$home/.config/velmoth/config.inf
[ ! -e "$root/usr/bin/config.inf" ] || fail "config.inf was written beside the executable"
[ -f "$remembered" ] || fail "no config.inf in the per-user configuration folder"
[ "$(cat "$remembered")" = $'[s]1[u]installed-user[p]secret\r' ] ||
  fail "config.inf holds '$(cat -A "$remembered")'"
[ "$(stat -c %a "$remembered")" = 600 ] || fail "config.inf is readable by others"
echo "PASS"
