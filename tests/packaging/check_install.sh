#!/usr/bin/env bash
# Installs the build into temporary DESTDIR folders, under /usr and under
# /usr/local, and checks the installed tree: every file in its place and no
# other, the menu entry valid, the icons at their sizes, the service unit valid
# against the installed program, the manual pages readable, the programs
# runnable from where they were installed.
set -euo pipefail
build=$1 version=$2
source "$(dirname "$0")/check_support.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# install PREFIX FOLDER
install_into() {
  DESTDIR=$2 cmake --install "$build" --prefix "$1" >"$work/install.log" || {
    cat "$work/install.log" >&2
    fail "cmake --install --prefix $1"
  }
}

# The width and height a PNG file says it has.
png_size() {
  local bytes
  bytes=$(od -An -tu1 -j16 -N8 "$1" | tr -s ' ')
  set -- $bytes
  echo "$(( ($1 << 24) + ($2 << 16) + ($3 << 8) + $4 ))x$(( ($5 << 24) + ($6 << 16) + ($7 << 8) + $8 ))"
}

tree=$work/usr
install_into /usr "$tree"
expected="lib/systemd/system/orvane@.service
usr/bin/orvane
usr/bin/tessik
usr/share/applications/tessik.desktop
usr/share/doc/orvane/LICENSE
usr/share/doc/orvane/README.md
usr/share/doc/orvane/changelog.gz
usr/share/doc/orvane/copyright
usr/share/doc/orvane/docs/performance.md
usr/share/doc/orvane/docs/protocol.md
usr/share/doc/orvane/docs/voice.md
usr/share/doc/orvane/docs/windows.md
usr/share/doc/tessik/README.md
usr/share/doc/tessik/changelog.gz
usr/share/doc/tessik/copyright
usr/share/doc/tessik/docs/performance.md
usr/share/doc/tessik/docs/protocol.md
usr/share/doc/tessik/docs/voice.md
usr/share/doc/tessik/docs/windows.md
usr/share/icons/hicolor/128x128/apps/tessik.png
usr/share/icons/hicolor/16x16/apps/tessik.png
usr/share/icons/hicolor/256x256/apps/tessik.png
usr/share/icons/hicolor/32x32/apps/tessik.png
usr/share/icons/hicolor/48x48/apps/tessik.png
usr/share/icons/hicolor/64x64/apps/tessik.png
usr/share/man/man1/orvane.1.gz
usr/share/man/man1/tessik.1.gz"
actual=$(cd "$tree" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
diff <(echo "$expected") <(echo "$actual") || fail "the installed files differ from the expected list (< expected, > installed)"

# Programs and documents.
[ "$("$tree/usr/bin/orvane" --version)" = "Orvane $version" ] || fail "installed orvane --version"
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$tree/usr/bin/tessik" --version)" = "Tessik $version" ] ||
  fail "installed tessik --version"
cmp -s "$tree/usr/share/doc/orvane/LICENSE" "$(dirname "$0")/../../LICENSE" || fail "LICENSE differs"
grep -q '^License: Expat$' "$tree/usr/share/doc/orvane/copyright" || fail "copyright names no licence"
grep -q 'Permission is hereby granted' "$tree/usr/share/doc/tessik/copyright" || fail "copyright lacks the licence text"
zcat "$tree/usr/share/doc/orvane/changelog.gz" | head -1 | grep -q "^orvane ($version) " ||
  fail "the changelog's first entry is not version $version"
# Every relative link of the installed README and its pages leads to a page
# installed beside it (a page added to docs/ but not to the install rules, or
# a link to a page that was renamed, fails here).
for package in orvane tessik; do
  doc=$tree/usr/share/doc/$package
  links=0
  for page in "$doc"/README.md "$doc"/docs/*.md; do
    while IFS= read -r target; do
      target=${target%%#*}
      [ -n "$target" ] || continue
      links=$((links + 1))
      [ -f "$(dirname "$page")/$target" ] || fail "$package: ${page#"$doc"/} links to $target, which is not installed"
    done < <(grep -oE '\]\([^):]+\)' "$page" | sed -E 's/^\]\(//; s/\)$//')
  done
  [ "$links" -ge 4 ] || fail "$package: the README links to no pages: the check is blind"
done
for page in orvane tessik; do
  file=$tree/usr/share/man/man1/$page.1.gz
  gzip -t "$file" || fail "$page.1.gz is not gzip"
  zcat "$file" | grep -q "^\\.TH ${page^^} 1 .*$version" || fail "$page(1) names no version $version"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

# The menu entry and its icon.
desktop=$tree/usr/share/applications/tessik.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
grep -qx 'Exec=tessik' "$desktop" && grep -qx 'Icon=tessik' "$desktop" || fail "the entry does not start tessik with its icon"
for size in 16 32 48 64 128 256; do
  got=$(png_size "$tree/usr/share/icons/hicolor/${size}x${size}/apps/tessik.png")
  [ "$got" = "${size}x${size}" ] || fail "icon for ${size}x${size} is $got"
done

# The service unit names the program it was installed with.
unit=$tree/lib/systemd/system/orvane@.service
grep -qx 'ExecStart=/usr/bin/orvane %i' "$unit" || fail "ExecStart: $(grep ExecStart "$unit")"
grep -qx 'DynamicUser=yes' "$unit" && grep -qx 'StandardInput=null' "$unit" && grep -qx 'KillSignal=SIGTERM' "$unit" &&
  grep -qx 'Restart=on-failure' "$unit" || fail "the unit lacks one of its service settings"
verify_unit "$tree" orvane@1024.service

# Elsewhere than /usr, everything stays under the prefix, the unit included.
local_tree=$work/local
install_into /usr/local "$local_tree"
local_unit=$local_tree/usr/local/lib/systemd/system/orvane@.service
[ -f "$local_unit" ] || fail "no unit under /usr/local"
grep -qx 'ExecStart=/usr/local/bin/orvane %i' "$local_unit" || fail "ExecStart under /usr/local: $(grep ExecStart "$local_unit")"
outside=$(cd "$local_tree" && find . -type f | grep -v '^\./usr/local/' || true)
[ -z "$outside" ] || fail "installed outside the prefix: $outside"
verify_unit "$local_tree" orvane@5000.service

echo "installed tree: ok"
