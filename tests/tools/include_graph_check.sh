#!/bin/sh
# The include-graph check refuses what it is there for (a file reaching up a
# layer, two files that include each other, the circle of their folders, a
# file placed in no layer, two files that call each other with no include
# between them) and passes the same tree once they are gone.
# Arguments: the Python interpreter, scripts/include-graph and a C++ compiler.
set -u
python=$1
script=$2
compiler=$3
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/driver" "$tree/sieve" "$tree/gpu"
printf '#include "sieve/a.h"\n' >"$tree/driver/d.cpp"
printf '#pragma once\n' >"$tree/driver/d.h"
printf '#include "gpu/g.h"\n' >"$tree/sieve/a.h"
printf '#include "sieve/a.h"\n' >"$tree/sieve/a.cpp"
printf '#pragma once\n' >"$tree/gpu/g.h"

fail() {
  echo "$1"
  exit 1
}
out=$("$python" "$script" --check --source "$tree") || fail "a tree that only looks down was refused: $out"
[ "$out" = "5 files, 3 folders, 2 dependencies between folders: every dependency looks down, no circle" ] ||
  fail "unexpected report of a clean tree: $out"

printf '#include "driver/d.h"\n#include "sieve/a.h"\n' >"$tree/sieve/a.cpp"
printf '#include "sieve/a.h"\n' >"$tree/driver/d.h"
mkdir -p "$tree/extra"
printf '\n' >"$tree/extra/x.cpp"
expected="not in a layer: extra/x.cpp (place it in LAYERS of scripts/include-graph)
up a layer: sieve/a.cpp -> driver/d.h (include, driver above work)
circle between files (includes): driver/d <-> sieve/a
circle between folders: driver <-> sieve
6 files, 4 folders, 3 dependencies between folders: 4 problem(s)"
out=$("$python" "$script" --check --source "$tree") && fail "a tree reaching up a layer passed: $out"
[ "$out" = "$expected" ] || fail "unexpected report:
$out
expected:
$expected"
# Calls seen only in the objects: each file declares the other's function.
rm -r "$tree/extra"
printf '#pragma once\n' >"$tree/driver/d.h"
printf '#include "gpu/g.h"\n' >"$tree/sieve/a.cpp"
printf 'int q(int);\nint p(int x) { return x ? q(x - 1) : 0; }\n' >"$tree/sieve/p.cpp"
printf 'int p(int);\nint q(int x) { return x ? p(x - 1) : 1; }\n' >"$tree/sieve/q.cpp"
mkdir -p "$tree/objects/source/sieve"
for f in p q; do
  "$compiler" -c "$tree/sieve/$f.cpp" -o "$tree/objects/source/sieve/$f.cpp.o" || fail "cannot compile $f.cpp"
done
out=$("$python" "$script" --check --source "$tree") || fail "includes alone were refused: $out"
expected="circle between files (calls): sieve/p <-> sieve/q
7 files, 3 folders, 2 dependencies between folders: 1 problem(s)"
out=$("$python" "$script" --check --source "$tree" --objects "$tree/objects") && fail "a call circle passed: $out"
[ "$out" = "$expected" ] || fail "unexpected report of the calls:
$out
expected:
$expected"
echo "include-graph finds a layer reached up, circles of includes and of calls, unplaced files, and passes a clean tree"
