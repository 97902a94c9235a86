#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build (cmake -DORVELGATE_FUZZ=ON) for the given number
# of seconds each, one after the other, starting from the committed seed corpus and the
# kept crashing inputs. New inputs collect in <build>/fuzz-work/<target>/corpus; a crash
# leaves its input in <build>/fuzz-work/<target>/artifacts. Prints a line per target and
# fails when any target found something. Every run is added to <build>/fuzz-work/runs.tsv
# (date, target, seconds, executions, result), the record of the time spent fuzzing.
# FUZZ_TARGETS="a b" runs only those targets.
set -uo pipefail

build=${1:?usage: run-fuzz.sh <fuzz build folder> [seconds per target]}
seconds=${2:-60}
root="$(cd "$(dirname "$0")/.." && pwd)"
list="$build/tests/fuzz/fuzz_targets.txt"
[ -f "$list" ] || { echo "no fuzz targets in $build (configure with -DORVELGATE_FUZZ=ON)" >&2; exit 2; }

mkdir -p "$build/fuzz-work"
ledger="$build/fuzz-work/runs.tsv"
failed=0
printf '%-24s %8s %12s %8s  %s\n' target seconds executions edges result
targets=${FUZZ_TARGETS:-$(cat "$list")}
for target in $targets; do
  grep -qx "$target" "$list" || { echo "no fuzz target $target" >&2; failed=1; continue; }
  work="$build/fuzz-work/$target"
  mkdir -p "$work/corpus" "$work/artifacts"
  inputs=("$work/corpus" "$root/tests/fuzz/corpus/$target")
  [ -d "$root/tests/fuzz/regressions/$target" ] && inputs+=("$root/tests/fuzz/regressions/$target")
  start=$(date +%s)
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "${inputs[@]}" \
    >"$work/last-run.log" 2>&1
  rc=$?
  spent=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/last-run.log" | tail -1)
  edges=$(grep -o 'cov: [0-9]*' "$work/last-run.log" | tail -1 | cut -d' ' -f2)
  if [ $rc -eq 0 ]; then result=ok; else result="FOUND (exit $rc, see $work/last-run.log)"; failed=1; fi
  printf '%-24s %8s %12s %8s  %s\n' "$target" "$spent" "${execs:-?}" "${edges:-?}" "$result"
  printf '%s\t%s\t%s\t%s\t%s\n' "$(date -Is)" "$target" "$spent" "${execs:-0}" "${result%% *}" >>"$ledger"
  [ $rc -eq 0 ] || tail -40 "$work/last-run.log"
done
exit $failed
