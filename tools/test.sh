#!/usr/bin/env bash
# The one test command: installs what the tests need, then runs four stages,
# the C++ tests plain and under AddressSanitizer + UndefinedBehaviorSanitizer,
# and the Python tests against the installed module and against a sanitizer
# build of it. Every stage runs even when an earlier one failed, so one red
# stage never hides another; a line per stage sums up, and the exit status is
# non-zero if any stage failed.
set -euo pipefail
cd "$(dirname "$0")/.."

# A job per core as far as memory allows: compiling a test file under the
# sanitizers takes up to 1.5 GB, which a machine with many cores (or a
# container's memory limit) may not grant to every core.
jobs=$(nproc 2>/dev/null || echo 2)
available_kb=$(sed -n 's/^MemAvailable: *\([0-9][0-9]*\) kB$/\1/p' /proc/meminfo 2>/dev/null || true)
memory=${available_kb:+$((available_kb * 1024))}
for limit_file in /sys/fs/cgroup/memory.max /sys/fs/cgroup/memory/memory.limit_in_bytes; do
  limit=$(cat "$limit_file" 2>/dev/null || true)
  case $limit in
    '' | *[!0-9]*) ;;
    *) if [ -z "$memory" ] || [ "$limit" -lt "$memory" ]; then memory=$limit; fi ;;
  esac
done
if [ -n "$memory" ] && [ $((memory / 1500000000)) -lt "$jobs" ]; then
  jobs=$((memory / 1500000000))
  [ "$jobs" -ge 1 ] || jobs=1
fi

# GoogleTest, and the locale sources from which the tests compile a
# decimal-comma locale (they would skip those checks without them).
debian_packages=""
[ -f /usr/include/gtest/gtest.h ] || debian_packages="$debian_packages libgtest-dev"
[ -f /usr/share/i18n/locales/de_DE ] || debian_packages="$debian_packages locales"
if [ -n "$debian_packages" ]; then
  echo "== installing Debian packages:$debian_packages"
  if [ "$(id -u)" = 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $debian_packages >/dev/null
fi

# The stable-ABI module needs CMake 3.26 or newer; an older one on PATH is
# passed over for the one from PyPI.
cmake_new_enough() {
  local version
  version=$("$1" --version 2>/dev/null | sed -n '1s/^cmake version //p')
  [ -n "$version" ] && [ "$(printf '%s\n' 3.26 "$version" | sort -V | head -n 1)" = 3.26 ]
}
cmake=$(command -v cmake || true)
if [ -z "$cmake" ] || ! cmake_new_enough "$cmake"; then
  echo "== installing CMake from PyPI"
  python3 -m pip install --quiet "cmake>=3.26"
  cmake=$(python3 -c 'import cmake, os; print(os.path.join(cmake.CMAKE_BIN_DIR, "cmake"))')
fi
ctest="$(dirname "$cmake")/ctest"
if ! command -v ninja >/dev/null; then
  python3 -m pip install --quiet ninja
  PATH="$(python3 -c 'import ninja; print(ninja.BIN_DIR)'):$PATH"
fi

sanitizer_dir="build/sanitize"

cpp_tests() {
  local variant=$1 san=OFF bench=ON module=OFF
  local dir="build/cpp-$variant"
  # The plain build also compiles the C++ benchmark, so it cannot rot unseen.
  # The sanitizer build builds the module too, in the directory the sanitizer
  # Python stage imports it from: the instrumented core compiles once.
  [ "$variant" = sanitize ] && san=ON bench=OFF module=ON dir="$sanitizer_dir"
  "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUARVEL_BUILD_MODULE=$module -DQUARVEL_BUILD_TESTS=ON -DQUARVEL_SANITIZE=$san -DQUARVEL_BUILD_BENCH=$bench >/dev/null
  "$cmake" --build "$dir" -j "$jobs"
  # Any sanitizer report aborts the test process (see QUARVEL_SANITIZE), which fails its test.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$ctest" --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs"
}

python_tests() {
  echo "installing quarvel with its test extras"
  python3 -m pip install --quiet ".[test]"
  # Run from outside the source tree so the installed package is the one imported.
  local root
  root=$(pwd)
  (cd /tmp && python3 -m pytest -q -p no:cacheprovider "$root/tests/python")
}

# The Python suite against a sanitizer build of the module, imported from its
# build tree. The runtimes must be loaded before anything else, hence LD_PRELOAD
# into the interpreter binary itself (a pyenv shim is a shell script, which
# would carry them into the shell instead). PYTHONMALLOC=malloc lets the leak
# checker see every object the module allocates; allocator_may_return_null
# turns malloc's refusal of impossible sizes into the MemoryError the tests
# expect. AddressSanitizer reports go to log files, so a child interpreter's
# count too; any line in them fails the stage, save the warning each refused
# size leaves. UndefinedBehaviorSanitizer takes no log file and halts the
# process, so pytest leaves file descriptor 2 uncaptured for its report.
sanitizer_python_tests() {
  local dir="$sanitizer_dir" root python reports
  root=$(pwd)
  "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUARVEL_BUILD_MODULE=ON -DQUARVEL_BUILD_TESTS=ON -DQUARVEL_SANITIZE=ON -DQUARVEL_BUILD_BENCH=OFF >/dev/null
  "$cmake" --build "$dir" -j "$jobs" --target quarvel_pkg
  python=$(readlink -f "$(python3 -c 'import sys; print(sys.executable)')")
  reports="$root/$dir/reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  local status=0
  (cd /tmp && env PYTHONPATH="$root/$dir/pkg" PYTHONMALLOC=malloc \
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$python" -m pytest -q -p no:cacheprovider --capture=sys "$root/tests/python") || status=$?
  local refused='^==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes$'
  if [ -n "$(ls -A "$reports")" ] && grep -qvE "$refused" "$reports"/*; then
    echo "sanitizer reports:"
    grep -vhE "$refused" "$reports"/*
    status=1
  fi
  return "$status"
}

# Each stage runs in a subshell that stops at its first failing command; the
# caller's errexit is off meanwhile, so the failure ends that stage only.
stage_names=()
stage_failed=()
stage() {
  local name=$1 status
  shift
  echo "== $name"
  set +e
  (set -e; "$@")
  status=$?
  set -e
  stage_names+=("$name")
  stage_failed+=("$((status != 0))")
}

stage "plain C++ tests" cpp_tests plain
stage "sanitizer C++ tests" cpp_tests sanitize
stage "Python tests" python_tests
stage "sanitizer Python tests" sanitizer_python_tests

echo "== summary"
any_failed=0
for i in "${!stage_names[@]}"; do
  if [ "${stage_failed[$i]}" = 1 ]; then
    echo "${stage_names[$i]}: failed"
    any_failed=1
  else
    echo "${stage_names[$i]}: passed"
  fi
done
exit "$any_failed"
