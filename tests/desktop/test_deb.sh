#!/usr/bin/env bash
# Builds the Debian packages with CPack into BUILD_DIR/test-packages, checks what they hold and
# depend on, and runs lintian on them: any error or warning fails. test_service_install reads
# the packages this test leaves behind.
#   test_deb.sh BUILD_DIR VERSION WITH_SERVER(0|1)
set -euo pipefail
build=$1
version=$2
with_server=$3

fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in "${CPACK:-cpack}" dpkg-deb dpkg-shlibdeps file lintian; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap installs it)"
done

out=$build/test-packages
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && "${CPACK:-cpack}" -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; fail "cpack"; }

arch=$(dpkg --print-architecture)
client=$out/velmoth_${version}_${arch}.deb
[ -f "$client" ] || { ls "$out"; fail "no $(basename "$client")"; }

# Debian's documents and manual page, each compressed as gzip -9n: the header's flags and time
# stamp (bytes 3-7) are zero, so it holds no name or time, and its byte 8 says "best".
check_documents() {
  local deb=$1 package=$2 page=$3 scratch
  scratch=$(mktemp -d)
  dpkg-deb -x "$deb" "$scratch"
  for file in "usr/share/doc/$package/changelog.gz" "usr/share/man/$page.gz"; do
    [ -f "$scratch/$file" ] || fail "$package lacks $file"
    [ "$(od -An -tx1 -j3 -N6 "$scratch/$file" | tr -d ' ')" = 000000000002 ] ||
      fail "$file is not compressed with gzip -9n"
  done
  head -n1 "$scratch/usr/share/doc/$package/copyright" |
    grep -qxF 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "$package's copyright is not in the machine-readable format"
  rm -rf "$scratch"
}

echo "== velmoth"
dpkg-deb -I "$client"
depends=$(dpkg-deb -f "$client" Depends)
for library in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libgumbo1 libseccomp2 libc6; do
  [[ ", $depends" == *", $library "* ]] || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$client" Recommends)" = \
  "fonts-wqy-microhei | fonts-noto-cjk, qt6-translations-l10n" ] || fail "Recommends"
[ "$(dpkg-deb -f "$client" Version)" = "$version" ] || fail "Version"

contents=$(dpkg-deb -c "$client" | awk '{print $6}')
for file in ./usr/bin/velmoth ./usr/lib/velmoth/velmoth-page ./usr/share/applications/velmoth.desktop \
            ./usr/share/icons/hicolor/{16x16,32x32,48x48,128x128,256x256}/apps/velmoth.png \
            ./usr/share/icons/hicolor/scalable/apps/velmoth.svg; do
  grep -qxF "$file" <<<"$contents" || fail "velmoth lacks $file"
done
grep -qx '\./usr/share/metainfo/.*\.metainfo\.xml' <<<"$contents" || fail "velmoth lacks the metainfo"
! grep -q velmoth-server <<<"$contents" || fail "velmoth holds the service"
check_documents "$client" velmoth man1/velmoth.1

# The client runs nothing on installation: no maintainer scripts, no service units.
members=$(dpkg-deb --ctrl-tarfile "$client" | tar -t)
for script in preinst postinst prerm postrm; do
  ! grep -qx "\./$script" <<<"$members" || fail "velmoth has a $script script"
done
! grep -qE 'systemd|init\.d' <<<"$contents" || fail "velmoth installs a service"
packages=("$client")

if [ "$with_server" = 1 ]; then
  echo "== velmoth-server"
  server=$out/velmoth-server_${version}_${arch}.deb
  [ -f "$server" ] || { ls "$out"; fail "no $(basename "$server")"; }
  dpkg-deb -I "$server"
  depends=$(dpkg-deb -f "$server" Depends)
  for library in libsodium23 libsqlite3-0; do
    [[ ", $depends" == *", $library "* ]] || fail "velmoth-server Depends lacks $library: $depends"
  done
  [ "$(dpkg-deb -c "$server" | awk '$1 ~ /^-/ {print $6}' | sort | tr '\n' ' ')" = \
    "./etc/velmoth-server/velmoth-server.conf ./lib/systemd/system/velmoth-server.service \
./usr/bin/velmoth-server ./usr/share/doc/velmoth-server/changelog.gz \
./usr/share/doc/velmoth-server/copyright ./usr/share/man/man8/velmoth-server.8.gz " ] ||
    fail "velmoth-server holds other files: $(dpkg-deb -c "$server")"
  check_documents "$server" velmoth-server man8/velmoth-server.8
  packages+=("$server")
fi

echo "== lintian"
# lintian warns that it runs as root; that is no finding about the packages.
lintian --display-info --fail-on error,warning "${packages[@]}" 2> >(grep -v 'root privileges' >&2) ||
  fail "lintian reports errors or warnings"
echo "PASS"
