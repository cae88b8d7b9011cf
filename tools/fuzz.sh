#!/bin/sh
# Builds the fuzz targets of fuzz/ with clang and libFuzzer (the whole tree
# with the address and undefined-behaviour sanitizers) and runs each on its
# corpus (fuzz/corpus/TARGET) with its dictionary (fuzz/dict/TARGET.dict).
#
#   tools/fuzz.sh [--ci | --time SECONDS] [--build DIR] [TARGET...]
#
# TARGETs: sql dbfile zzm other marcrule tds (default: all, one after another).
#
# --ci: the test command's gate. Each target runs every input of its
#   checked-in corpus, then a fixed exploration: a fixed seed and a fixed
#   number of inputs (the table below), no time limit. The same tree thus
#   gives the same verdict on any machine, fast or slow; only a finding fails
#   it. New inputs go to a scratch folder that starts empty and is removed.
# --time SECONDS: an exploration run (default 600 seconds a target, a random
#   seed), for finding what the gate does not. New inputs are kept in
#   DIR/corpus/TARGET; to add the useful ones to the checked-in corpus,
#   minimise them:
#     DIR/bin/fuzz_sql -merge=1 fuzz/corpus/sql DIR/corpus/sql
# A crash (or leak, timeout, out-of-memory, sanitizer report) stops the run
# with exit status 1 and leaves the input in DIR/crashes/, named after the
# target; reproduce it with DIR/bin/fuzz_TARGET FILE, fix it, and add the
# input to fuzz/corpus/TARGET under a short name, so that the gate replays it
# from then on. Every run's statistics (executions, seconds, coverage) are
# appended to DIR/fuzz.log.
# For a long run on a shared machine: nice -n 19 tools/fuzz.sh --time 1800 sql
set -eu
cd "$(dirname "$0")/.."

ci=0
seconds=""
build=build-fuzz
targets=""
usage="usage: tools/fuzz.sh [--ci | --time SECONDS] [--build DIR] [TARGET...]"
while [ $# -gt 0 ]; do
  case "$1" in
    --ci) ci=1 ;;
    --time) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; seconds="$2"; shift ;;
    --build) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; build="$2"; shift ;;
    -h|--help) sed -n '2,/^set -eu/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "$usage" >&2; exit 2 ;;
    *) targets="$targets $1" ;;
  esac
  shift
done
if [ $ci -eq 1 ] && [ -n "$seconds" ]; then
  echo "fuzz.sh: --ci runs a fixed number of inputs, not for a time" >&2
  exit 2
fi
[ -n "$targets" ] || targets="sql dbfile zzm other marcrule tds"
[ -n "$seconds" ] || seconds=600

# The gate's exploration of each target: seed and number of inputs (the
# checked-in corpus included), each about half a minute on a 2-core machine
# shared with other work. A target's numbers change only with a commit.
ci_seed() { echo 31; }
ci_runs() {
  case "$1" in
    sql) echo 2000 ;;
    dbfile) echo 12000 ;;
    zzm) echo 7000 ;;
    other) echo 5000 ;;
    marcrule) echo 900 ;;
    tds) echo 35000 ;;
    *) echo "fuzz.sh: no target $1" >&2; exit 2 ;;
  esac
}
for t in $targets; do ci_runs "$t" >/dev/null; done

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

# Where a container is keyed or ordered by address, a few code paths depend
# on where the program's memory lies, and with them the coverage that steers
# the exploration: the gate runs each target with address-space
# randomisation off, so that the same inputs take the same paths every time.
norand=""
if [ $ci -eq 1 ]; then
  if setarch "$(uname -m)" -R true 2>/dev/null; then
    norand="setarch $(uname -m) -R"
  else
    echo "fuzz.sh: address-space randomisation cannot be turned off here (setarch -R);" \
      "the exploration may take other paths from run to run" >&2
  fi
fi

mkdir -p "$build/crashes"
status=0
for t in $targets; do
  dict=""
  [ -f "fuzz/dict/$t.dict" ] && dict="-dict=fuzz/dict/$t.dict"
  if [ $ci -eq 1 ]; then
    # Nothing of an earlier run is read: the scratch corpus starts empty,
    # and is not re-read while the run goes (-reload=0; its rereading is
    # timed). The operands of the program's comparisons, which libFuzzer
    # otherwise turns into mutations, include addresses, which differ from
    # machine to machine: -use_cmp=0. The time-out per input is far above
    # what any input takes, so that a slow machine never turns a passing
    # input into a finding.
    corpus="$build/ci-corpus/$t"
    rm -rf "$corpus"
    seed=$(ci_seed "$t")
    runs=$(ci_runs "$t")
    bound="-seed=$seed -runs=$runs -reload=0 -use_cmp=0 -timeout=300"
    what="$(ls "fuzz/corpus/$t" | wc -l) inputs of its corpus, then seed $seed to $runs runs"
    out="$build/fuzz-ci-$t.out"
  else
    corpus="$build/corpus/$t"
    bound="-max_total_time=$seconds -timeout=120"
    what="${seconds}s"
    out="$build/fuzz-$t.out"
  fi
  mkdir -p "$corpus"
  echo "fuzz.sh: $t: $what"
  start=$(date +%s)
  # shellcheck disable=SC2086
  if $norand "$build/bin/fuzz_$t" $bound -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/$t-" $dict \
      "$corpus" "fuzz/corpus/$t" >"$out" 2>&1; then
    :
  else
    status=1
    tail -n 60 "$out" >&2
    echo "fuzz.sh: $t failed; the input is in $build/crashes/ (ls $build/crashes/$t-*)" >&2
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out" | tail -n 1)
  last=$(grep -a -E '^#[0-9]+' "$out" | tail -n 1 | sed -e 's/^#[0-9]* *[A-Z]* *//' \
         -e 's/ *exec\/s.*//')
  echo "fuzz.sh: $t: ${execs:-?} executions in $(($(date +%s) - start))s; $last"
  echo "$(date -u +%FT%TZ) $t $what: ${execs:-?} executions, $(($(date +%s) - start))s," \
    "$last, new corpus $(ls "$corpus" | wc -l), status $status" >>"$build/fuzz.log"
  [ $ci -eq 1 ] && rm -rf "$corpus"
  [ $status -eq 0 ] || break
done
exit $status
