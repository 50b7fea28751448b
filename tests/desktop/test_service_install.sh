#!/usr/bin/env bash
# Unpacks the service package that test_deb built into a scratch root and checks the system
# service in it: the unit and its settings file in place, systemd's own checks of the unit and
# its security rating, what the maintainer scripts ask of systemd, and that the service, started
# with the unit's command line, makes only system calls and opens only sockets the unit allows.
#   test_service_install.sh BUILD_DIR VERSION
# Exits 77 (skipped) when a part cannot run here: it says which, and why.
set -euo pipefail
build=$1
version=$2

fail() { echo "FAIL: $*" >&2; exit 1; }
skipped=()
skip() { echo "SKIP: $*"; skipped+=("$*"); }
for tool in dpkg-deb systemd-analyze man setpriv; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap installs it)"
done

deb=$build/test-packages/velmoth-server_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb: test_deb builds it"
scratch=$(mktemp -d)
strace_pid=
# The service runs as the child of strace, which this script started.
stop_service() { [ -z "$strace_pid" ] || pkill -TERM -P "$strace_pid" || true; }
trap 'stop_service; rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
root=$scratch/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$scratch/control"

echo "== unit and settings file"
unit=$root/lib/systemd/system/velmoth-server.service
settings=/etc/velmoth-server/velmoth-server.conf
[ -f "$unit" ] || fail "no lib/systemd/system/velmoth-server.service"
[ -f "$root$settings" ] || fail "no $settings"
grep -E '^(DynamicUser|User|StateDirectory|EnvironmentFile|ExecStart)=' "$unit"
for line in DynamicUser=yes StateDirectory=velmoth-server "EnvironmentFile=$settings"; do
  grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
grep -qxF "$settings" "$scratch/control/conffiles" || fail "$settings is not a conffile"
grep -E '^VELMOTH_' "$root$settings"
setting() { sed -n "s/^$1=//p" "$root$settings"; }
[ "$(setting VELMOTH_LISTEN)" = 127.0.0.1:8931 ] || fail "by default only this machine is served"
# The service may write nowhere but its state directory.
[[ "$(setting VELMOTH_DB)" == /var/lib/velmoth-server/?* ]] ||
  fail "the default database is outside the state directory, where the service cannot write"

echo "== systemd-analyze verify"
# The unit's dependencies (multi-user.target and the like) come from this machine's systemd, and
# /bin/kill, which its reload runs, from procps, which the package depends on.
cp -rn /lib/systemd/system/. "$root/lib/systemd/system/"
mkdir -p "$root/bin" && cp /bin/kill "$root/bin/kill"
report=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
  /lib/systemd/system/velmoth-server.service 2>&1) || fail "verify: $report"
# verify reports unknown settings and unparsable values yet exits 0.
[ -z "$report" ] || fail "verify: $report"

echo "== systemd-analyze security"
rating=$(systemd-analyze security --offline=true --root="$root" --threshold=20 \
  velmoth-server.service 2>&1) || { echo "$rating"; fail "exposure over 2.0"; }
grep 'Overall exposure level' <<<"$rating"

echo "== maintainer scripts"
# Each script runs with stand-ins for deb-systemd-helper, deb-systemd-invoke and systemctl that
# record their calls, in a mount namespace whose /run says whether systemd is running.
stubs=$scratch/stubs
mkdir "$stubs"
for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
  cat >"$stubs/$tool" <<'EOF'
#!/bin/sh
echo "${0##*/} $*" >>"$CALLS"
[ "$1 $2" != "--quiet was-enabled" ] || [ "$WAS_ENABLED" = yes ]
EOF
  chmod 755 "$stubs/$tool"
done
h="deb-systemd-helper"
u=velmoth-server.service
ask="$h unmask $u;$h --quiet was-enabled $u"  # every configure starts with these
reload="systemctl --system daemon-reload"
# systemd running | was enabled | script and arguments | calls
cases=(
  "yes|yes|postinst configure|$ask;$h enable $u;$reload;deb-systemd-invoke start $u"
  "yes|no|postinst configure 0.0.9|$ask;$h update-state $u;$reload;deb-systemd-invoke restart $u"
  "no|yes|postinst configure|$ask;$h enable $u"
  "yes|yes|prerm remove|deb-systemd-invoke stop $u"
  "yes|yes|prerm upgrade 0.2.0|"
  "yes|yes|postrm remove|$reload;$h mask $u"
  "no|yes|postrm purge|$h purge $u;$h unmask $u"
)
if ! unshare --mount --map-root-user true 2>/dev/null; then
  skip "maintainer scripts: no mount namespace can be made here (unshare --mount)"
else
  for case in "${cases[@]}"; do
    IFS='|' read -r running enabled command expected <<<"$case"
    : >"$scratch/calls"
    # shellcheck disable=SC2016,SC2086
    CALLS=$scratch/calls WAS_ENABLED=$enabled PATH="$stubs:$PATH" \
      unshare --mount --map-root-user sh -c 'mount -t tmpfs run /run &&
        if [ "$1" = yes ]; then mkdir -p /run/systemd/system; fi && shift && sh "$@"' \
      sh "$running" "$scratch/control/${command%% *}" ${command#* } ||
      fail "$command ended with an error"
    calls=$(paste -sd';' "$scratch/calls")
    [ "$calls" = "$expected" ] ||
      fail "$command (systemd running: $running, enabled: $enabled) called '$calls'," \
        "expected '$expected'"
    echo "ok: $command (systemd running: $running)"
  done
fi

echo "== system calls of the service against the unit's filter"
# The filter's groups, expanded: allowed are those the unit lists, less those it lists after ~.
group_calls() {
  systemd-analyze syscall-filter "$1" | tail -n +2 | while read -r entry _; do
    case $entry in
      '' | '#'*) ;;
      @*) group_calls "$entry" ;;
      *) echo "$entry" ;;
    esac
  done
}
filter_calls() {
  sed -n "s/^SystemCallFilter=$1/\\1/p" "$unit" | tr ' ' '\n' | grep . | while read -r entry; do
    if [[ $entry == @* ]]; then group_calls "$entry"; else echo "$entry"; fi
  done | sort -u
}
comm -23 <(filter_calls '\([^~]\)') <(filter_calls '~\(.\)') >"$scratch/allowed"
[ -s "$scratch/allowed" ] || fail "the unit's filter allows no system call, or could not be read"

if ! command -v strace >/dev/null; then
  skip "system calls: strace is missing (scripts/bootstrap installs it)"
elif ! strace -qq -o /dev/null true 2>/dev/null; then
  skip "system calls: strace cannot trace here (ptrace is not permitted)"
else
  state=$scratch/state
  mkdir "$state"
  run_as=()
  if [ "$(id -u)" -eq 0 ]; then
    # The unit's dynamic user is no superuser, and some libraries take other paths for root.
    chown nobody "$state"
    run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  fi
  program=$root/usr/bin/velmoth-server
  card=$("${run_as[@]}" "$program" add-cards --db "$state/velmoth.db" 1)
  # The unit's own command line, with a scratch database and a free port.
  command=$(sed -n '/^ExecStart=/,/[^\\]$/p' "$unit" | sed 's/^ExecStart=//; s/\\$//' | paste -sd' ')
  command=${command//\$\{VELMOTH_DB\}/$state/velmoth.db}
  command=${command//\$\{VELMOTH_LISTEN\}/127.0.0.1:0}
  for empty in VELMOTH_TLS_CERT VELMOTH_TLS_KEY VELMOTH_PLAIN_BEHIND_TLS_PROXY \
    VELMOTH_METRICS_LISTEN; do
    [ -z "$(setting "$empty")" ] || fail "$empty is set by default"
    command=${command//\$\{$empty\}/}
  done
  command=${command/\/usr\/bin\/velmoth-server/$program}
  # shellcheck disable=SC2086
  # A sanitizer build's leak check cannot run under ptrace; the system calls are what is checked.
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
    "${run_as[@]}" strace -f -qq -o "$state/trace" $command 2>"$scratch/server.log" &
  strace_pid=$!
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's|.*127\.0\.0\.1:\([0-9][0-9]*\).*|\1|p' "$scratch/server.log")
    [ -z "$port" ] || break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$scratch/server.log"; fail "the service did not report its port"; }

  get() {
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET %s HTTP/1.0\r\n%s\r\n' "$1" "${2:-}" >&3
    timeout 10 cat <&3
    exec 3<&-
  }
  read -r number password <<<"$card"
  signup=$(get "/reg.asp?u=syscalls&p=password1&q=10000&cn=$number&cc=$password&t=0")
  [[ $signup == *$'\r\n\r\n3' ]] || fail "sign-up with a fresh card did not succeed: $signup"
  cookie=$(get "/login.asp?u=syscalls&p=password1&t=0" | sed -n 's/^Set-Cookie: \([^;]*\).*/\1/p')
  [ -n "$cookie" ] || fail "login did not succeed"
  get /account.asp "Cookie: $cookie"$'\r\n' | grep -q syscalls || fail "no account page"
  stop_service
  wait "$strace_pid" || fail "the service ended with an error: $(cat "$scratch/server.log")"
  strace_pid=

  used=$(sed -n 's/^[0-9]\+ \+\([a-z0-9_]\+\)(.*/\1/p' "$state/trace" | sort -u)
  forbidden=$(comm -23 <(echo "$used") "$scratch/allowed")
  [ -z "$forbidden" ] ||
    fail "the unit's filter refuses system calls the service makes: $(paste -sd' ' <<<"$forbidden")"
  echo "$(wc -l <<<"$used") different system calls made, all allowed:"
  paste -sd' ' <<<"$used"
  families=$(grep -o 'socket(AF_[A-Z0-9]*' "$state/trace" | cut -c8- | sort -u)
  for family in $families; do
    grep -qE "^RestrictAddressFamilies=(.* )?$family( |$)" "$unit" ||
      fail "the unit's RestrictAddressFamilies= refuses $family sockets, which the service opens"
  done
  echo "socket families opened, all allowed: $(paste -sd' ' <<<"$families")"
fi

[ ${#skipped[@]} -eq 0 ] || { printf 'SKIPPED: %s\n' "${skipped[@]}"; exit 77; }
echo "PASS"
