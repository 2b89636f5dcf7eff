#!/usr/bin/env bash
# Builds the two Debian packages from the build with CPack and checks them with
# dpkg-deb and lintian: names, version, dependencies read from the binaries
# (the server's without Qt or SDL), contents, the unit inside, no lintian
# errors.
set -euo pipefail
build=$1 version=$2
source "$(dirname "$0")/check_support.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log" >&2
  fail "cpack"
}
server=$work/orvane_${version}_amd64.deb
client=$work/tessik_${version}_amd64.deb
[ -f "$server" ] && [ -f "$client" ] || fail "expected orvane and tessik packages, got: $(ls "$work")"

field() { dpkg-deb -f "$1" "$2"; }
for deb in "$server" "$client"; do
  [ "$(field "$deb" Version)" = "$version" ] || fail "$deb: version $(field "$deb" Version)"
  [ "$(field "$deb" Source)" = orvane ] || fail "$deb: source $(field "$deb" Source)"
  field "$deb" Maintainer | grep -q '<.*@.*>' || fail "$deb: no maintainer address"
  field "$deb" Description | grep -q 'Licence: MIT' || fail "$deb: the description names no licence"
done
[ "$(field "$server" Package)" = orvane ] && [ "$(field "$client" Package)" = tessik ] || fail "package names"

# Dependencies as dpkg-shlibdeps found them in the binaries.
server_deps=$(field "$server" Depends)
client_deps=$(field "$client" Depends)
for lib in libc6 libstdc++6; do
  grep -q "\\b$lib (>= " <<<"$server_deps" || fail "orvane does not depend on $lib: $server_deps"
done
! grep -qE 'qt|sdl' <<<"$server_deps" || fail "the server depends on client libraries: $server_deps"
for lib in libc6 libqt6widgets6 libqt6gui6 libqt6core6 libsdl2-2.0-0; do
  grep -q "\\b$lib (>= " <<<"$client_deps" || fail "tessik does not depend on $lib: $client_deps"
done

contents() { dpkg-deb -c "$1" | awk '{ print $6 }'; }
for path in ./usr/bin/orvane ./lib/systemd/system/orvane@.service ./usr/share/man/man1/orvane.1.gz \
            ./usr/share/doc/orvane/copyright ./usr/share/doc/orvane/changelog.gz ./usr/share/doc/orvane/README.md; do
  contents "$server" | grep -qx -- "$path" || fail "orvane lacks $path"
done
for path in ./usr/bin/tessik ./usr/share/applications/tessik.desktop ./usr/share/man/man1/tessik.1.gz \
            ./usr/share/icons/hicolor/48x48/apps/tessik.png ./usr/share/icons/hicolor/256x256/apps/tessik.png \
            ./usr/share/doc/tessik/copyright ./usr/share/doc/tessik/changelog.gz; do
  contents "$client" | grep -qx -- "$path" || fail "tessik lacks $path"
done
! contents "$server" | grep -q tessik || fail "the server package carries client files"
! contents "$client" | grep -qE 'bin/orvane|systemd' || fail "the client package carries server files"

# The unit inside the package starts the program the package installs.
dpkg-deb -x "$server" "$work/server-tree"
grep -qx 'ExecStart=/usr/bin/orvane %i' "$work/server-tree/lib/systemd/system/orvane@.service" ||
  fail "the packaged unit's ExecStart"
[ "$("$work/server-tree/usr/bin/orvane" --version)" = "Orvane $version" ] || fail "the packaged orvane does not run"
verify_unit "$work/server-tree" orvane@1024.service

lintian --fail-on error "$server" "$client" 2>&1 | tee "$work/lintian" ||
  fail "lintian reports errors"
! grep -q '^E: ' "$work/lintian" || fail "lintian reports errors"

echo "packages: ok"
