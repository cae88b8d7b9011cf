#!/bin/sh
# The core's suites (text, engine, db, refdata, steps) built with
# AddressSanitizer and UndefinedBehaviorSanitizer in a build folder of their
# own, and run. Any report fails the run: undefined behaviour stops the
# program (-fno-sanitize-recover), as a heap error or a leak does. Only those
# suites' targets and the two programs they start are built, without the
# window, to keep the added time small.
#
#   tools/sanitize-tests.sh [BUILD_DIR]      (default build-asan)
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build-asan}
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLIBUPGRADE_WERROR=ON \
  -DLIBUPGRADE_BUILD_APP=OFF \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g $flags" -DCMAKE_C_FLAGS_DEBUG="-O1 -g $flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
suites="text_tests engine_tests db_tests refdata_tests steps_tests"
ninja -C "$dir" -j2 $suites libsql libupgrade-cli

export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$(pwd)/tools/lsan-suppressions.txt:print_suppressions=0"
failed=""
for s in $suites; do
  echo "== $s (AddressSanitizer, UndefinedBehaviorSanitizer)"
  "$dir/bin/$s" --gtest_brief=1 || failed="$failed $s"
done
if [ -n "$failed" ]; then
  echo "sanitizer run failed:$failed" >&2
  exit 1
fi
