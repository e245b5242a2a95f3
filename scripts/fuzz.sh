#!/usr/bin/env bash
# Fuzzes each target over the upgrade library for SECONDS (default 60) on the
# host, one after the other: builds the fuzz preset (clang, libFuzzer, ASan,
# UBSan), starts from the kept corpus (testing/fuzz/corpus/<target>/) and the
# inputs earlier runs found (build/fuzz/corpus/<target>/), and prints per
# target the executions, executions per second, coverage and any crash with
# its reproducer. The kept corpus is only read; new inputs stay under build/.
# Exit status 1 when a target crashed or broke an oracle.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
#
# VELUNOR_FUZZ_SET_ASIDE=NAME[,NAME...] lets a long run look on past named
# faults whose mend is awaited (device_answers: short-status-answer,
# partial-transfer): they are counted, and the first input of each is kept
# in build/fuzz/artifacts/<target>/set-aside-NAME, instead of ending the run.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(device_answers file_names records recordings)
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac

bash scripts/setup.sh >/dev/null || exit 1
if ! cmake --preset fuzz >/dev/null || ! cmake --build --preset fuzz -j 2 >/dev/null; then
  echo "fuzz: the fuzz preset did not build" >&2
  exit 1
fi

status=0
for target in "${targets[@]}"; do
  program=build/fuzz/test-bin/${target}_fuzzer
  kept=testing/fuzz/corpus/$target
  work=build/fuzz/corpus/$target
  artifacts=build/fuzz/artifacts/$target
  log=build/fuzz/$target.log
  if [ ! -x "$program" ] || [ ! -d "$kept" ]; then
    echo "fuzz: no target $target" >&2
    status=1
    continue
  fi
  mkdir -p "$work" "$artifacts"
  rm -f "$artifacts"/set-aside-*
  # The library's own trace lines would only slow the run: stdout and stderr
  # of the target are closed (the fuzzer's and the sanitizers' reports stay).
  VELUNOR_FUZZ_SET_ASIDE_DIR="$artifacts" \
    "$program" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -close_fd_mask=3 -artifact_prefix="$artifacts/" "$work" "$kept" >"$log" 2>&1
  rc=$?

  edges=$(sed -n 's/^INFO: Loaded [0-9]* modules *(\([0-9]*\) inline 8-bit counters).*/\1/p' "$log" | head -n1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n1)
  cov=$(sed -n 's/.* cov: \([0-9]*\) .*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\) .*/\1/p' <<<"$last")
  corpus=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$last")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
  percent=""
  if [ -n "${cov:-}" ] && [ -n "${edges:-}" ] && [ "$edges" -gt 0 ]; then
    percent=" ($(awk -v c="$cov" -v e="$edges" 'BEGIN { printf "%.1f", 100 * c / e }')% of ${edges} instrumented)"
  fi
  echo "=== $target: ${seconds} s"
  echo "    executions: ${runs:-?}   exec/s: ${speed:-?}   peak RSS: ${rss:-?} MB"
  echo "    coverage: ${cov:-?} edges${percent}, ${ft:-?} features, corpus ${corpus:-?} inputs"
  for counted in "$artifacts"/set-aside-*.count; do
    [ -e "$counted" ] || continue
    fault=$(basename "$counted" .count)
    echo "    set aside: ${fault#set-aside-}, at least $(cat "$counted") runs; first input: $artifacts/$fault"
  done
  crash=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n1)
  if [ "$rc" -ne 0 ] || [ -n "$crash" ]; then
    status=1
    echo "    CRASH (fuzzer exit $rc), log: $log"
    if [ -n "$crash" ]; then
      echo "    input: $crash"
      echo "    reproduce: $program $crash"
      # Once more with the target's own output, for the oracle's message.
      "$program" "$crash" 2>&1 | grep -E -A3 'oracle broken|ERROR: |runtime error' |
        head -n 12 | sed 's/^/    | /'
    else
      tail -n 20 "$log" | sed 's/^/    | /'
    fi
  else
    echo "    no crash"
  fi
done
exit $status
