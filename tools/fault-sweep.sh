#!/bin/sh
# Stops the upgrade of the pre-2005 database at every statement it sends, once
# with LIBUPGRADE_FAULT=kill:N and once with fail:N, runs it again without a
# fault each time, and checks that the database ends as after one
# uninterrupted run. The test suite does the same at a spread of statements;
# this takes all of them (about twenty minutes on two cores). Needs a build
# in build/ (or the folder given as the first argument).
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"
ninja -C "$build" -j2 upgrade_tests libupgrade-cli >/dev/null
tests="$build/bin/upgrade_tests"
status=0
LIBUPGRADE_SWEEP=all "$tests" --gtest_filter='Stops/FaultSweep.*/kill' >/tmp/fault-sweep-kill.txt 2>&1 &
kill_pid=$!
LIBUPGRADE_SWEEP=all "$tests" --gtest_filter='Stops/FaultSweep.*/fail' >/tmp/fault-sweep-fail.txt 2>&1 || status=1
wait "$kill_pid" || status=1
for kind in kill fail; do
  grep -h '^\[ sweep' "/tmp/fault-sweep-$kind.txt" || true
  if ! grep -q '^\[  PASSED  \]' "/tmp/fault-sweep-$kind.txt"; then
    echo "failures: see /tmp/fault-sweep-$kind.txt"
  fi
done
exit $status
