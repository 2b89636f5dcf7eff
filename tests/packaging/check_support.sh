# Shared by the packaging checks: failing with a reason, and checking a
# systemd unit against a tree that holds the program it starts.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# verify_unit TREE UNIT-INSTANCE: systemd-analyze verify with TREE as the root,
# so the unit's program is looked for in TREE. The system's targets and slices
# are copied in beside it, since the unit refers to them.
verify_unit() {
  local tree=$1 unit=$2 units
  units=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || echo /lib/systemd/system)
  mkdir -p "$tree/usr/lib/systemd/system"
  cp "$units"/*.target "$units"/*.slice "$tree/usr/lib/systemd/system/"
  systemd-analyze verify --man=no --root="$tree" "$unit" || fail "systemd-analyze verify $unit"
}
