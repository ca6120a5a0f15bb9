#!/bin/sh
# Runs a libFuzzer program over its seed corpus without writing into it:
#   tests/fuzz/run.sh FUZZER SEEDS [OPTION]...
# OPTIONs go to libFuzzer: the tests give a fixed count (-runs=N -seed=1); for a longer run give
# a time, for instance -max_total_time=600. New inputs go to a temporary folder, removed
# afterwards; an input that fails is kept in the current folder (crash-*, as libFuzzer names it).
set -eu
if [ $# -lt 2 ]; then
  echo "usage: tests/fuzz/run.sh FUZZER SEEDS [LIBFUZZER-OPTION]..." >&2
  exit 2
fi
fuzzer=$1
seeds=$2
shift 2
found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT
"$fuzzer" "$@" "$found" "$seeds"
