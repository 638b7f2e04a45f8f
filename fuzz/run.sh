#!/bin/sh
# Runs every built harness for a bounded time (FUZZ_SECONDS, default 30) and
# prints executions and faults per harness. Corpora live in fuzz/corpus/<h>/
# (seeds in fuzz/seeds/<h>/ are copied in); crash inputs land in fuzz/crashes/.
#   fuzz/run.sh [harness...]
set -u
cd "$(dirname "$0")"
secs=${FUZZ_SECONDS:-30}
[ $# -eq 0 ] && set -- $(ls out/ | grep '^fuzz_' | grep -v '\.' )
mkdir -p crashes logs
printf '%-22s %12s %8s\n' harness executions faults > logs/summary
for h in "$@"; do
  [ -x "out/$h" ] || { echo "$h: not built (fuzz/build.sh)"; continue; }
  mkdir -p "corpus/$h"
  [ -d "seeds/$h" ] && cp -n seeds/"$h"/* "corpus/$h/" 2>/dev/null
  ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    timeout $((secs + 60)) "out/$h" -max_total_time="$secs" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="crashes/$h-" -print_final_stats=1 "corpus/$h" > "logs/$h.log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "logs/$h.log" | tail -1)
  faults=$(ls crashes/ 2>/dev/null | grep -c "^$h-")
  printf '%-22s %12s %8s%s\n' "$h" "${execs:-?}" "$faults" "$([ $rc -ne 0 ] && echo "  (rc $rc, see fuzz/logs/$h.log)")" | tee -a logs/summary
done
