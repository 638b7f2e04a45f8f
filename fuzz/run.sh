#!/bin/sh
# Replays the stored fault inputs (fuzz/regressions/<h>/) and then runs each
# built harness for a bounded time (FUZZ_SECONDS, default 30), one after the
# other, printing executions and new faults per harness. Corpora live in
# fuzz/corpus/<h>/ (seeds in fuzz/seeds/<h>/ are copied in); fault inputs
# (crash, leak, timeout, oom) land in fuzz/crashes/<h>-*. Token lists for
# the mutator: fuzz/dicts/<h>.dict.
#   fuzz/run.sh [harness...]
set -u
cd "$(dirname "$0")"
secs=${FUZZ_SECONDS:-30}
[ $# -eq 0 ] && set -- $(ls out/ | grep '^fuzz_' | grep -v '\.' )
mkdir -p crashes logs
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
printf '%-22s %12s %8s %12s\n' harness executions faults regressions > logs/summary
for h in "$@"; do
  [ -x "out/$h" ] || { echo "$h: not built (fuzz/build.sh)"; status=1; continue; }
  # Inputs that once failed must pass now.
  reg="-"
  if [ -d "regressions/$h" ] && [ -n "$(ls "regressions/$h")" ]; then
    if timeout 300 "out/$h" -runs=1 -timeout=10 -rss_limit_mb=2048 regressions/"$h"/* > "logs/$h.regressions.log" 2>&1; then
      reg="$(ls "regressions/$h" | wc -l) ok"
    else
      reg="FAIL"; status=1
    fi
  fi
  mkdir -p "corpus/$h"
  [ -d "seeds/$h" ] && cp -n seeds/"$h"/* "corpus/$h/" 2>/dev/null
  dict=""
  [ -f "dicts/$h.dict" ] && dict="-dict=dicts/$h.dict"
  before=$(ls crashes/ 2>/dev/null | grep -c "^$h-")
  timeout $((secs + 60)) "out/$h" -max_total_time="$secs" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="crashes/$h-" -print_final_stats=1 $dict "corpus/$h" > "logs/$h.log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "logs/$h.log" | tail -1)
  faults=$(( $(ls crashes/ 2>/dev/null | grep -c "^$h-") - before ))
  [ $rc -ne 0 ] && status=1
  printf '%-22s %12s %8s %12s%s\n' "$h" "${execs:-?}" "$faults" "$reg" \
    "$([ $rc -ne 0 ] && echo "  (rc $rc, see fuzz/logs/$h.log)")" | tee -a logs/summary
done
exit $status
