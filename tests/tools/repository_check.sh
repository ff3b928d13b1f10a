#!/bin/sh
# What a newcomer meets first: every make target installs what it needs
# (scripts/install-deps.sh knows it), and the scripts the README runs directly
# are executable as checked out.
# Argument: the source tree.
set -u
root=$1
status=0
targets=$(sed -n 's/^\.PHONY://p' "$root/Makefile")
[ -n "$targets" ] || { echo "no .PHONY targets in the Makefile"; exit 1; }
for target in $targets; do
  sh "$root/scripts/install-deps.sh" --list "$target" >/dev/null 2>&1 ||
    { echo "scripts/install-deps.sh does not know the make target '$target'"; status=1; }
done
for script in "$root"/boinc/*.py "$root"/scripts/*; do
  [ -f "$script" ] && head -c 2 "$script" | grep -q '#!' || continue
  [ -x "$script" ] || { echo "$script starts with #! but is not executable"; status=1; }
done
[ $status -eq 0 ] && echo "install-deps.sh knows every make target; every script with #! is executable"
exit $status
