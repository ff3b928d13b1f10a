#!/bin/sh
# Runs the host path tests as a processor of another kind would: passes when
# they pass and the path chosen there is the expected one.
# Usage: host_paths_under_qemu.sh QEMU CPU TEST_BINARY EXPECTED_PATH
out=$("$1" -cpu "$2" "$3" 2>&1)
status=$?
printf '%s\n' "$out"
[ "$status" -eq 0 ] || exit 1
printf '%s\n' "$out" | grep -qx "processor offers .*; path chosen: $4" || {
  echo "expected the path chosen on $2 to be $4" >&2
  exit 1
}
