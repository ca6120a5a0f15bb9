#!/bin/sh
# Runs every libFuzzer program of a linux-fuzz build over its seed corpus for SECONDS each
# (default 300), one after another, without writing into the corpora; stops at the first that
# fails (its input is kept in the current folder as crash-*).
#   tests/fuzz/run_all.sh [SECONDS] [BUILD]   (BUILD: build/linux-fuzz)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-300}
build=${2:-$here/../../build/linux-fuzz}
for seeds in "$here"/corpus/*/; do
  name=$(basename "$seeds")
  echo "== $name, $seconds s" >&2
  "$here/run.sh" "$build/bin/$name" "$seeds" -max_total_time="$seconds" -print_final_stats=1
done
