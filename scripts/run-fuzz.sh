#!/usr/bin/env bash
# Runs every fuzz target for SECONDS seconds each, two at a time, from its seeds; new inputs
# go to build/fuzz/corpus/<target>, findings to build/fuzz/findings/. Fails on any finding.
# With SEED, the runs draw from that seed (the short runs of `make test` do, so that a
# test run does not depend on chance); without, from a random one.
#   scripts/run-fuzz.sh SECONDS [SEED]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
seed=${2:-0}
bin=build/fuzz/fuzz
real=../shared/corpus/real
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p build/fuzz/findings build/fuzz/logs

seeds() {
  case "$1" in
    manipulator) echo "fuzz/corpus/manipulator resources/samples $( [ -d "$real" ] && echo "$real" )" ;;
    *) echo "fuzz/corpus/$1" ;;
  esac
}

run() {
  local target=$1
  mkdir -p "build/fuzz/corpus/$target"
  # shellcheck disable=SC2046
  "$bin/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -max_len=262144 -print_final_stats=1 -seed="$seed" -artifact_prefix="build/fuzz/findings/$target-" \
    "build/fuzz/corpus/$target" $(seeds "$target") >"build/fuzz/logs/$target.log" 2>&1
  local status=$?
  local execs cov
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "build/fuzz/logs/$target.log" | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]*' "build/fuzz/logs/$target.log" | tail -1)
  if [ "$status" -ne 0 ]; then
    echo "fuzz $target: FINDING (exit $status), see build/fuzz/logs/$target.log and build/fuzz/findings/"
    tail -30 "build/fuzz/logs/$target.log"
    return 1
  fi
  echo "fuzz $target: ${execs:-?} runs in ${seconds}s, ${cov:-cov: ?}, no finding"
}

failed=0
run manipulator & a=$!
run tag_removal & b=$!
wait $a || failed=1
wait $b || failed=1
run hook & a=$!
run defaults & b=$!
wait $a || failed=1
wait $b || failed=1
exit $failed
