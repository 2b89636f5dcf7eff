#!/usr/bin/env bash
# The options every Linux program answers: --help and -h print a usage text,
# --version the version; each exits 0 at once. The server opens no socket for
# them (seen with strace), and the client needs no display.
set -euo pipefail
orvane=$1 tessik=$2 version=$3
source "$(dirname "$0")/check_support.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# sockets_opened PROGRAM ARGS...: runs it under strace with standard input
# closed and prints the socket calls it made.
sockets_opened() {
  strace -f -qq -e trace=socket,socketpair -o "$work/trace" "$@" </dev/null >"$work/out" 2>"$work/err" ||
    fail "$* exited with $?: $(cat "$work/err")"
  cat "$work/trace"
}

for option in --help -h; do
  [ -z "$(sockets_opened "$orvane" "$option")" ] || fail "orvane $option opened a socket: $(cat "$work/trace")"
  head -1 "$work/out" | grep -qx 'Usage: orvane \[PORT\]' || fail "orvane $option: $(cat "$work/out")"
  grep -q -- '--version' "$work/out" || fail "orvane $option does not mention --version"
  ! grep -q 'has started' "$work/out" || fail "orvane $option started a server"
done
[ -z "$(sockets_opened "$orvane" --version)" ] || fail "orvane --version opened a socket"
[ "$(cat "$work/out")" = "Orvane $version" ] || fail "orvane --version: $(cat "$work/out")"

# The check above can see a socket: a server told to stop at once opens one.
port=$((20000 + RANDOM % 20000))
echo | strace -f -qq -e trace=socket -o "$work/trace" "$orvane" "$port" >/dev/null 2>&1 || true
grep -q 'socket(' "$work/trace" || fail "strace saw no socket of a running server: the check is blind"

# No display, no Qt platform: the client answers before it needs either.
for option in --help -h; do
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$tessik" "$option" >"$work/out" 2>"$work/err" ||
    fail "tessik $option exited with $?: $(cat "$work/err")"
  head -1 "$work/out" | grep -q '^Usage: tessik' || fail "tessik $option: $(cat "$work/out")"
done
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$tessik" --version) || fail "tessik --version exited with $?"
[ "$out" = "Tessik $version" ] || fail "tessik --version: $out"

echo "command line: ok"
