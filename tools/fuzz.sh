#!/bin/sh
# Builds the fuzz targets of fuzz/ with clang and libFuzzer (the whole tree
# with the address and undefined-behaviour sanitizers) and runs each on its
# corpus (fuzz/corpus/TARGET) with its dictionary (fuzz/dict/TARGET.dict).
#
#   tools/fuzz.sh [--ci] [--time SECONDS] [--build DIR] [TARGET...]
#
# TARGETs: sql dbfile zzm other marcrule tds (default: all, one after another).
# --time: how long each target runs (default 600; with --ci, 40).
# --ci: the test command's bounded run: the checked-in corpus is only read,
#   new inputs go to a scratch folder that is removed.
# Without --ci, new inputs are kept in DIR/corpus/TARGET; to add the useful
# ones to the checked-in corpus, minimise them:
#   DIR/bin/fuzz_sql -merge=1 fuzz/corpus/sql DIR/corpus/sql
# A crash (or leak, timeout, out-of-memory, sanitizer report) stops the run
# with exit status 1 and leaves the input in DIR/crashes/, named after the
# target; reproduce it with DIR/bin/fuzz_TARGET FILE. Every run's statistics
# (executions, seconds) are appended to DIR/fuzz.log.
# For a long run on a shared machine: nice -n 19 tools/fuzz.sh --time 1800 sql
set -eu
cd "$(dirname "$0")/.."

ci=0
seconds=""
build=build-fuzz
targets=""
while [ $# -gt 0 ]; do
  case "$1" in
    --ci) ci=1 ;;
    --time) seconds="$2"; shift ;;
    --build) build="$2"; shift ;;
    -h|--help) sed -n '2,/^set -eu/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "usage: tools/fuzz.sh [--ci] [--time SECONDS] [--build DIR] [TARGET...]" >&2; exit 2 ;;
    *) targets="$targets $1" ;;
  esac
  shift
done
[ -n "$targets" ] || targets="sql dbfile zzm other marcrule tds"
[ -n "$seconds" ] || { [ $ci -eq 1 ] && seconds=40 || seconds=600; }

CLANG_CXX=${CLANG_CXX:-clang++-14}
CLANG_C=${CLANG_C:-clang-14}
if ! command -v "$CLANG_CXX" >/dev/null; then
  echo "fuzz.sh: $CLANG_CXX not found (tools/install-deps.sh installs clang-14)" >&2
  exit 1
fi
# -O1 with line tables: quick to build, still fast to run, readable reports.
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER="$CLANG_C" -DCMAKE_CXX_COMPILER="$CLANG_CXX" \
  -DCMAKE_BUILD_TYPE=Fuzz -DCMAKE_CXX_FLAGS_FUZZ="-O1 -gline-tables-only" \
  -DCMAKE_C_FLAGS_FUZZ="-O1 -gline-tables-only" \
  -DLIBUPGRADE_FUZZ=ON -DLIBUPGRADE_BUILD_APP=OFF -DLIBUPGRADE_BUILD_TESTS=OFF >/dev/null
names=""
for t in $targets; do names="$names fuzz_$t"; done
# shellcheck disable=SC2086
ninja -C "$build" -j2 $names

mkdir -p "$build/crashes"
status=0
for t in $targets; do
  corpus="$build/corpus/$t"
  [ $ci -eq 1 ] && corpus="$build/ci-corpus/$t" && rm -rf "$corpus"
  mkdir -p "$corpus"
  dict=""
  [ -f "fuzz/dict/$t.dict" ] && dict="-dict=fuzz/dict/$t.dict"
  echo "fuzz.sh: $t for ${seconds}s"
  # shellcheck disable=SC2086
  if "$build/bin/fuzz_$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" $dict \
      "$corpus" "fuzz/corpus/$t" >"$build/fuzz-$t.out" 2>&1; then
    :
  else
    status=1
    tail -n 60 "$build/fuzz-$t.out" >&2
    echo "fuzz.sh: $t failed; the input is in $build/crashes/ (ls $build/crashes/$t-*)" >&2
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz-$t.out" | tail -n 1)
  echo "$(date -u +%FT%TZ) $t ${seconds}s ${execs:-?} executions status $status" >>"$build/fuzz.log"
  [ $ci -eq 1 ] && rm -rf "$corpus"
  [ $status -eq 0 ] || break
done
exit $status
