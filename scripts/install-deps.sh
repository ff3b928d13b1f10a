#!/bin/sh
# Installs what the build needs and a fresh machine may lack: the compiler
# tool chain, CMake, GoogleTest, Google Benchmark and GMP (the host check of
# every hit, the self-test and the tests' reference), clang for the fuzz
# targets; for the BOINC build and the project-side scripts, BOINC's
# application library, its client (the end-to-end test runs a task under it),
# pytest, and ip to bring up loopback in the test's private network namespace.
set -e
missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
[ -f /usr/include/gmp.h ] || [ -f /usr/include/x86_64-linux-gnu/gmp.h ] || missing="$missing libgmp-dev"
[ -d /usr/include/gtest ] || missing="$missing libgtest-dev"
[ -d /usr/include/benchmark ] || missing="$missing libbenchmark-dev"
# clang with its libFuzzer runtime builds the fuzz targets of the work-file readers.
command -v clang++ >/dev/null 2>&1 || missing="$missing clang"
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing="$missing libclang-rt-dev"
[ -f /usr/include/boinc/boinc_api.h ] || missing="$missing libboinc-app-dev"
command -v boinc >/dev/null 2>&1 || [ -x /usr/bin/boinc ] || missing="$missing boinc-client"
/usr/bin/python3 -c 'import pytest' >/dev/null 2>&1 || missing="$missing python3-pytest"
command -v ip >/dev/null 2>&1 || [ -x /usr/sbin/ip ] || [ -x /sbin/ip ] || missing="$missing iproute2"
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages:$missing. Install them as root (apt-get install$missing) and run make again." >&2
  exit 1
fi
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
