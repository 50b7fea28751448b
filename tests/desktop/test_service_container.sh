#!/usr/bin/env bash
# Installs the service package into a booted Debian 12 container with a real systemd and checks
# the unit's life there: start after readiness, health check, reload, restart after a crash,
# the watchdog, stop, the journal's lines, and HTTPS from files handed over as credentials.
#   test_service_container.sh BUILD_DIR VERSION
# The container is systemd-nspawn on a debootstrap root cached in VELMOTH_CONTAINER_CACHE
# (default /var/cache/velmoth-test), made on first use from the mirror apt uses (or
# VELMOTH_DEBIAN_MIRROR); each run boots an overlay of it, so runs leave nothing behind.
# This host runs no systemd and so no machined: commands run in the container through nsenter
# into all namespaces of the container's init.
# Exits 77 (skipped) where it cannot run: not root, tools missing, no network for the first
# debootstrap, or a unit without a watchdog; it says why.
set -euo pipefail
build=$(realpath "$1")
version=$2

fail() { echo "FAIL: $*" >&2; exit 1; }
skip_all() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip_all "needs root (debootstrap, overlay mounts, systemd-nspawn)"
for tool in debootstrap systemd-nspawn nsenter dpkg-deb curl certtool "${CPACK:-cpack}"; do
  command -v "$tool" >/dev/null || skip_all "$tool is missing (scripts/bootstrap installs it)"
done

echo "== package"
packages=$build/container-packages
rm -rf "$packages"
mkdir -p "$packages"
(cd "$build" && "${CPACK:-cpack}" -G DEB -B "$packages" -D CPACK_COMPONENTS_ALL=server \
  >"$packages/cpack.log" 2>&1) || { cat "$packages/cpack.log"; fail "cpack"; }
deb=$packages/velmoth-server_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "cpack made no $(basename "$deb")"

# The root holds what the checks use and every package the service depends on (the first
# alternative of each), so installing needs no network once the root is cached.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:.*//; s/ //g')
# shellcheck disable=SC2086
include=$(printf '%s\n' systemd systemd-sysv dbus curl $depends | sort -u | paste -sd,)

echo "== root"
cache=${VELMOTH_CONTAINER_CACHE:-/var/cache/velmoth-test}
# One root per package list: a sanitizer build's package depends on more libraries.
base=$cache/debian12-root-$(md5sum <<<"$include" | cut -c1-8)
mkdir -p "$cache"
# Runs share a made root; making one takes it for itself.
exec 9>"$base.lock"
flock 9
started=$(date +%s)
# The stamp, written last, names what the root was made with; a root without it is incomplete.
if [ "$(cat "$base.done" 2>/dev/null)" != "$include" ]; then
  # shellcheck disable=SC2016
  mirror=${VELMOTH_DEBIAN_MIRROR:-$(apt-get indextargets --format '$(REPO_URI)' \
    'Codename: bookworm' 'Identifier: Packages' 2>/dev/null | head -n1)}
  mirror=${mirror:-http://deb.debian.org/debian/}
  curl -fsS --max-time 20 -o /dev/null "${mirror%/}/dists/bookworm/Release" ||
    skip_all "the Debian mirror $mirror cannot be reached to make the container's root"
  rm -rf "$base" "$base.new" "$base.done"
  echo "debootstrap from $mirror with $include"
  nice -n 10 debootstrap --variant=minbase --include="$include" bookworm "$base.new" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || { tail -n 30 "$cache/debootstrap.log"; fail "debootstrap"; }
  mv "$base.new" "$base"
  echo "$include" >"$base.done"
  echo "root made in $(($(date +%s) - started)) s"
fi
flock -s 9

scratch=$(mktemp -d)
root=$scratch/root
machine=velmoth-test-$$
nspawn=
cleanup() {
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    kill -TERM "$nspawn"  # systemd-nspawn shuts the container down in order
    for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$nspawn" 2>/dev/null || true
    wait "$nspawn" 2>/dev/null || true
  fi
  if mountpoint -q "$root"; then umount "$root" || umount -l "$root"; fi
  rm -rf "$scratch"
  # systemd-nspawn leaves this behind where /run is no tmpfs.
  rm -rf "/run/systemd/nspawn/propagate/$machine"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP
mkdir "$root" "$scratch/upper" "$scratch/work"
mount -t overlay overlay \
  -o "lowerdir=$base,upperdir=$scratch/upper,workdir=$scratch/work" "$root"

echo "== boot"
systemd-nspawn --register=no --keep-unit --quiet --private-network --machine="$machine" \
  --console=read-only -b -D "$root" >"$scratch/console.log" 2>&1 &
nspawn=$!
leader=
for _ in $(seq 100); do
  leader=$(pgrep -P "$nspawn" -x systemd || true)
  [ -z "$leader" ] || break
  sleep 0.2
done
[ -n "$leader" ] || { cat "$scratch/console.log"; fail "the container's systemd did not start"; }
inside() { nsenter --target "$leader" --all -- "$@"; }
# From here a failure shows the service's recent journal too.
fail() {
  echo "FAIL: $*" >&2
  inside journalctl -q -b -u velmoth-server -n 30 -o short-monotonic >&2 || true
  exit 1
}
state=
deadline=$(($(date +%s) + 90))
while [ "$(date +%s)" -le "$deadline" ]; do
  state=$(inside timeout 30 systemctl is-system-running --wait 2>/dev/null || true)
  case $state in running | degraded) break ;; esac
  sleep 0.5
done
[ "$state" = running ] ||
  fail "the container booted to '$state': $(inside systemctl --failed --no-legend 2>&1)"
echo "booted in $(($(date +%s) - started)) s"

unit=velmoth-server
show() { inside systemctl show -p "$1" --value "$unit"; }
readyz() { inside curl -s -m 5 -o /dev/null -w '%{http_code}' "http://$listen/readyz" || true; }
# Waits up to $2 seconds (30) until the unit is active with a main process other than $1;
# prints its MainPID.
await_new_main() {
  local deadline=$(($(date +%s) + ${2:-30}))
  local state
  while [ "$(date +%s)" -le "$deadline" ]; do
    # Both in one call: a main process that ends between two calls would read as a new one.
    state=$(inside systemctl show -p ActiveState -p MainPID "$unit" | sort | paste -sd' ')
    if [[ $state =~ ^ActiveState=active\ MainPID=([1-9][0-9]*)$ ]] &&
      [ "${BASH_REMATCH[1]}" != "$1" ]; then
      echo "${BASH_REMATCH[1]}"
      return 0
    fi
    sleep 0.1
  done
  return 1
}
# The service's own lines, expected once per event: start, reload, the drain's start and end, stop.
declare -A expected=([velmoth-server: listening on]=0 [velmoth-server: SIGHUP:]=0
  ['stopping: no new connections']=0 ['stopping: every request answered']=0
  [velmoth-server: stopped]=0)

echo "== 1. install: the unit is active only after the service says it is ready"
# systemd's debug log tells when the readiness message came and when the unit became active.
inside systemctl log-level debug
cp "$deb" "$root/root/"
if [[ ,$include, == *,libasan* ]]; then
  # A sanitizer build's leak check stops the process's threads with ptrace, which the unit's
  # system call filter refuses; it would fail every stop. The unit's behaviour is what is checked.
  mkdir -p "$root/etc/systemd/system/$unit.service.d"
  printf '[Service]\nEnvironment=ASAN_OPTIONS=detect_leaks=0\n' \
    >"$root/etc/systemd/system/$unit.service.d/sanitizer.conf"
fi
inside dpkg -i "/root/$(basename "$deb")" >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log"; fail "dpkg -i"; }
inside systemctl log-level info
listen=$(sed -n 's/^VELMOTH_LISTEN=//p' "$root/etc/velmoth-server/velmoth-server.conf")
expected[velmoth-server: listening on]=1
[ "$(inside systemctl is-enabled "$unit")" = enabled ] || fail "installing did not enable the unit"
[ "$(show ActiveState)" = active ] || fail "installing did not start the unit: $(show ActiveState)"
main=$(show MainPID)
order=$(inside journalctl -q -b _PID=1 UNIT="$unit.service" -o cat |
  grep -E "Got notification message from PID $main \(READY=1|Changed [a-z-]* -> running" || true)
[[ $(head -n1 <<<"$order") == *READY=1* && $(tail -n1 <<<"$order") == *'-> running' ]] ||
  fail "the unit did not become active after the service's READY=1; systemd logged: $order"
[ "$(show ActiveEnterTimestampMonotonic)" -gt "$(show ExecMainStartTimestampMonotonic)" ] ||
  fail "the unit was active before its main process started"

echo "== 2. /readyz answers 200"
[ "$(readyz)" = 200 ] || fail "/readyz on $listen answered '$(readyz)' in the container"

echo "== 3. reload keeps serving"
inside systemctl reload "$unit" || fail "systemctl reload failed"
expected[velmoth-server: SIGHUP:]=1
[ "$(show MainPID)" = "$main" ] || fail "reload replaced the main process $main by $(show MainPID)"
[ "$(readyz)" = 200 ] || fail "/readyz after reload answered '$(readyz)'"

echo "== 4. kill -9 of the main process is followed by a restart"
inside kill -KILL "$main"
main=$(await_new_main "$main") || fail "no new main process 30 s after kill -9: $(show SubState)"
expected[velmoth-server: listening on]=2
[ "$(readyz)" = 200 ] || fail "/readyz after the restart answered '$(readyz)'"

echo "== 7. watchdog: a main process that stops answering is killed and restarted"
watchdog=$(show WatchdogUSec)
skipped=
if [ "$watchdog" = 0 ] || [ "$watchdog" = infinity ]; then
  skipped="the watchdog: the unit sets no WatchdogSec="
  echo "SKIP: $skipped"
else
  inside systemctl show -p WatchdogUSec -p RestartUSec -p TimeoutAbortUSec "$unit"
  seconds() { inside systemd-analyze timespan "$1" | sed -n 's/ *μs: //p' | awk '{print $1 / 1e6}'; }
  interval=$(seconds "$watchdog")
  limit=$(awk -v w="$interval" -v r="$(seconds "$(show RestartUSec)")" 'BEGIN {print int(w + r + 10)}')
  # A service that answers keeps feeding the watchdog: it outlives the interval.
  sleep "$(awk -v w="$interval" 'BEGIN {print w + 2}')"
  [ "$(show MainPID)" = "$main" ] ||
    fail "the watchdog ended a service that answers: main process $main is now $(show MainPID)"
  begun=$(date +%s)
  inside kill -STOP "$main"
  main=$(await_new_main "$main" "$limit" || true)
  took=$(($(date +%s) - begun))
  [ -n "$main" ] ||
    fail "no restart within ${limit} s (WatchdogSec + RestartSec + 10 s) of kill -STOP; took ${took} s"
  inside journalctl -q -b -u "$unit" -o cat | grep -q 'Watchdog timeout' ||
    fail "the journal shows no watchdog timeout"
  echo "restarted after ${took} s (limit ${limit} s)"
  expected[velmoth-server: listening on]=3
  [ "$(readyz)" = 200 ] || fail "/readyz after the watchdog's restart answered '$(readyz)'"
fi

echo "== 5. stop drains"
inside systemctl stop "$unit"
expected[velmoth-server: stopped]=1
expected['stopping: no new connections']=1
expected['stopping: every request answered']=1
for property in ActiveState=inactive Result=success ExecMainCode=1 ExecMainStatus=0; do
  [ "$(show "${property%=*}")" = "${property#*=}" ] ||
    fail "after stop $property was expected, the unit has ${property%=*}=$(show "${property%=*}")"
done
# The service's lines reach the journal through a stream, maybe after systemctl has returned.
for _ in $(seq 50); do
  journal=$(inside journalctl -q -b -u "$unit" -o cat)
  grep -q 'velmoth-server: stopped' <<<"$journal" && break
  sleep 0.1
done
grep -q '^Stopping ' <<<"$journal" || fail "the journal shows no line of systemd's stopping"
grep -q 'stopping: no new connections' <<<"$journal" ||
  fail "the journal shows no line of the service's drain: $journal"

echo "== 6. the journal holds one line per event"
for event in "${!expected[@]}"; do
  count=$(grep -cF -- "$event" <<<"$journal" || true)
  [ "$count" = "${expected[$event]}" ] ||
    fail "the journal holds $count '$event' lines, expected ${expected[$event]}: $journal"
done

echo "== 8. HTTPS with the certificate and a root-only key handed over as credentials"
tls=$root/etc/velmoth-server/tls
certtool --generate-privkey --key-type=ecdsa --outfile "$scratch/key.pem" 2>/dev/null
printf 'cn = "localhost"\nexpiration_days = 2\ntls_www_server\n' >"$scratch/template"
certtool --generate-self-signed --load-privkey "$scratch/key.pem" --template "$scratch/template" \
  --outfile "$scratch/fullchain.pem" 2>/dev/null
install -m 0600 "$scratch/key.pem" "$tls/key.pem"
install -m 0644 "$scratch/fullchain.pem" "$tls/fullchain.pem"
credentials=/run/credentials/$unit.service
sed -i "s|^VELMOTH_TLS_CERT=.*|VELMOTH_TLS_CERT=$credentials/tls_fullchain.pem|
  s|^VELMOTH_TLS_KEY=.*|VELMOTH_TLS_KEY=$credentials/tls_key.pem|" \
  "$root/etc/velmoth-server/velmoth-server.conf"
inside systemctl start "$unit" || fail "the unit did not start with the credentials"
answer=$(inside curl -sk -m 5 -o /dev/null -w '%{http_code}' "https://$listen/readyz" || true)
[ "$answer" = 200 ] ||
  fail "/readyz over HTTPS answered '$answer': $(inside journalctl -q -b -u "$unit" -o cat | tail -n 5)"
[ "$(stat -c '%a %U' "$tls/key.pem")" = "600 root" ] || fail "the key file is not root's alone"
inside systemctl stop "$unit"

echo "all checks in $(($(date +%s) - started)) s"
[ -z "$skipped" ] || { echo "SKIPPED: $skipped"; exit 77; }
echo "PASS"
