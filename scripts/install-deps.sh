#!/bin/sh
# Installs with apt-get what one make target needs and a fresh Debian machine
# may lack, and nothing else:
#   run    (also build, selftest, cuda) the compiler, CMake and GMP (the host
#          check of every hit and the self-test's reference)
#   boinc  (also boinc-app) run + GoogleTest, BOINC's application library,
#          Python 3 (assembles the app versions) and gmpy2 (the project-side
#          validator refuses to run without it)
#   fuzz   run + GoogleTest and clang with its libFuzzer runtime
#   bench  run + Google Benchmark
#   model  bench + Python 3 (the model of the search on current GPUs)
#   sass-profile  Python 3 with venv (it installs cuobjdump into its own
#          environment); nvcc, the CUDA toolkit, it cannot install
#   include-graph  run + Python 3
#   all, deps, reconfigure  as run; clean  nothing
#   test   run + GoogleTest, Google Benchmark (the benchmarks are built, so
#          they keep compiling), Python 3 (the include-graph check), clang with
#          libFuzzer (the fuzz cases), and for the BOINC build's tests BOINC's
#          application library, its client (the end-to-end test runs a task
#          under it), pytest, gmpy2 (the proof checker and the validator), and
#          ip (loopback in the test's private network
#          namespace), and qemu-user (the host path tests rerun as
#          processors without AVX-512 and without AVX2)
# Usage: install-deps.sh [--dry-run | --list] TARGET...
#   --dry-run  names what would be installed here, installs nothing
#   --list     names everything the targets need, present or not (what a
#              fresh machine gets)
set -e
mode=install
case "$1" in
  --dry-run | --list) mode=${1#--}; shift ;;
esac
[ $# -gt 0 ] || set -- run

packages=""
for target in "$@"; do
  case "$target" in
    run | build | selftest | cuda) packages="$packages g++ make cmake libgmp-dev" ;;
    boinc | boinc-app) packages="$packages g++ make cmake libgmp-dev libgtest-dev libboinc-app-dev python3 python3-gmpy2" ;;
    fuzz) packages="$packages g++ make cmake libgmp-dev libgtest-dev clang libclang-rt-dev" ;;
    bench) packages="$packages g++ make cmake libgmp-dev libbenchmark-dev" ;;
    model) packages="$packages g++ make cmake libgmp-dev libbenchmark-dev python3" ;;
    sass-profile) packages="$packages python3 python3-venv"
                  command -v nvcc >/dev/null 2>&1 ||
                    echo "install-deps.sh: sass-profile needs nvcc from NVIDIA's CUDA toolkit, which is not on PATH" >&2 ;;
    include-graph) packages="$packages g++ make cmake libgmp-dev python3" ;;
    all | deps | reconfigure) packages="$packages g++ make cmake libgmp-dev" ;;
    clean) ;;
    test) packages="$packages g++ make cmake libgmp-dev libgtest-dev libbenchmark-dev python3 clang libclang-rt-dev
                    libboinc-app-dev boinc-client python3-pytest python3-gmpy2 iproute2 qemu-user" ;;
    *) echo "install-deps.sh: unknown target '$target' (run, build, selftest, cuda, boinc, boinc-app, fuzz, bench, model, sass-profile, include-graph, test, all, deps, reconfigure, clean)" >&2
       exit 2 ;;
  esac
done

# Whether a package's part that the build or the tests use is already here.
present() {
  case "$1" in
    g++ | make | cmake) command -v "$1" >/dev/null 2>&1 ;;
    clang) command -v clang++ >/dev/null 2>&1 ;;
    libgmp-dev) [ -f /usr/include/gmp.h ] || [ -f /usr/include/x86_64-linux-gnu/gmp.h ] ;;
    libgtest-dev) [ -d /usr/include/gtest ] ;;
    libbenchmark-dev) [ -d /usr/include/benchmark ] ;;
    python3) [ -x /usr/bin/python3 ] ;;
    python3-venv) command -v python3 >/dev/null 2>&1 && python3 -c 'import venv, ensurepip' >/dev/null 2>&1 ;;
    libclang-rt-dev) ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ;;
    libboinc-app-dev) [ -f /usr/include/boinc/boinc_api.h ] ;;
    boinc-client) command -v boinc >/dev/null 2>&1 || [ -x /usr/bin/boinc ] ;;
    python3-pytest) /usr/bin/python3 -c 'import pytest' >/dev/null 2>&1 ;;
    python3-gmpy2) /usr/bin/python3 -c 'import gmpy2' >/dev/null 2>&1 ;;
    qemu-user) command -v qemu-x86_64 >/dev/null 2>&1 ;;
    iproute2) command -v ip >/dev/null 2>&1 || [ -x /usr/sbin/ip ] || [ -x /sbin/ip ] ;;
    *) return 1 ;;
  esac
}

missing=""
for package in $packages; do
  case " $missing " in *" $package "*) continue ;; esac
  if [ "$mode" = list ] || ! present "$package"; then missing="$missing $package"; fi
done

case "$mode" in
  list) echo "$*:$missing"; exit 0 ;;
  dry-run) echo "Would install for $*:${missing:- nothing}"; exit 0 ;;
esac
[ -z "$missing" ] && exit 0
echo "Installing for $*:$missing"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages:$missing. Install them as root (apt-get install$missing) and run make again." >&2
  exit 1
fi
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
