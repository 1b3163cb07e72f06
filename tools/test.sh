#!/usr/bin/env bash
# The one test command: installs what the tests need, builds, runs the C++ tests
# (plain and under AddressSanitizer + UndefinedBehaviorSanitizer) and the Python
# tests. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest (libgtest-dev)"
  if [ "$(id -u)" = 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev >/dev/null
fi

command -v cmake >/dev/null || python3 -m pip install --quiet cmake
command -v ninja >/dev/null || python3 -m pip install --quiet ninja

echo "== installing quarvel with its test extras"
python3 -m pip install --quiet --upgrade pip >/dev/null 2>&1 || true
python3 -m pip install --quiet ".[test]"

for variant in plain sanitize; do
  dir="build/cpp-$variant"
  san=OFF
  [ "$variant" = sanitize ] && san=ON
  echo "== C++ tests ($variant)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUARVEL_BUILD_MODULE=OFF -DQUARVEL_BUILD_TESTS=ON -DQUARVEL_SANITIZE=$san >/dev/null
  cmake --build "$dir" -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done

echo "== Python tests"
# Run from outside the source tree so the installed package is the one imported.
root=$(pwd)
(cd /tmp && python3 -m pytest -q -p no:cacheprovider "$root/tests/python")
