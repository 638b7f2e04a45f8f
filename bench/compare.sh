#!/bin/bash
# Times the tool against what an administrator would otherwise run, side by
# side in one session, and prints medians and ratios (tool / other).
#   bench/compare.sh [BUILD_DIR]        (default: build; needs NORVIK_BENCH=ON)
#   RUNS=N sets the repetitions (default 21; kills and restarts use fewer,
#   at most 7, or RRUNS for restarts and starts).
#   As root, the systemd rows run inside a real systemd booted by the kit in
#   ../shared/real-systemd (NORVIK_BENCH_SYSTEMD=0 skips them).
set -u
cd "$(dirname "$0")/.."
src=$(pwd)
build=$(cd "${1:-build}" && pwd) || exit 2
runs=${RUNS:-21}
pc=$build/bench/proc_compare
base=$build/bin/restartsrv_base
demod=$build/bin/norvik_demod
for f in "$pc" "$base" "$demod"; do
  [ -x "$f" ] || { echo "missing $f (build with -DNORVIK_BENCH=ON)" >&2; exit 2; }
done
for t in pgrep fuser killall; do command -v $t >/dev/null || { echo "missing $t (procps, psmisc)" >&2; exit 2; }; done

tmp=$(mktemp -d /tmp/norvik-compare.XXXXXX)
cleanup() {
  "$pc" kill nkbenchsleeper >/dev/null 2>&1
  "$pc" kill nkbenchvictim >/dev/null 2>&1
  [ -f "$tmp/root/var/run/nkdemo.pid" ] && kill -9 "$(cat "$tmp/root/var/run/nkdemo.pid")" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

# median_us_setup N SETUP cmd...: median wall time of N runs of cmd, in
# microseconds, with SETUP run (untimed) before each one.
median_us_setup() {
  local n=$1 setup=$2; shift 2
  local times=() i a b
  for ((i = 0; i < n; i++)); do
    $setup
    a=${EPOCHREALTIME/./}
    "$@" >/dev/null 2>&1
    b=${EPOCHREALTIME/./}
    times+=($((b - a)))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (n + 1) / 2 ))p"
}
median_us() { local n=$1; shift; median_us_setup "$n" : "$@"; }
rows=()
row() {  # label tool_us other_us other_name
  rows+=("$(awk -v l="$1" -v a="$2" -v b="$3" -v o="$4" 'BEGIN { printf "%-34s %10.2f %10.2f  %-22s %6.3f", l, a/1000, b/1000, o, (b > 0 ? a/b : 0) }')")
}

# Processes to look for: copies of sleep under a private name.
cp /bin/sleep "$tmp/nkbenchsleeper"
: > "$tmp/held"
"$pc" spawn 20 "$tmp/nkbenchsleeper" < "$tmp/held" >/dev/null 2>&1 &
sleep 0.2
row "process scan (20 matches)" "$(median_us "$runs" "$pc" scan nkbenchsleeper)" \
    "$(median_us "$runs" pgrep -x nkbenchsleeper)" "pgrep -x"
row "file holders (21 holders)" "$(median_us "$runs" "$pc" fuser "$tmp/held")" \
    "$(median_us "$runs" fuser "$tmp/held")" "fuser"

cp /bin/sleep "$tmp/nkbenchvictim"
pkill_and_wait() { pkill -x "$1"; timeout 30 pidwait -x "$1"; }
# Five victims under a parent that reaps them at once; timing starts when all run.
victims() {
  "$pc" spawn 5 "$tmp/nkbenchvictim" >/dev/null 2>&1 &
  local k
  for ((k = 0; k < 200; k++)); do
    [ "$("$pc" scan nkbenchvictim 2>/dev/null | wc -l)" -ge 5 ] && return
    sleep 0.01
  done
}
kruns=$(( runs > 9 ? 9 : runs ))
row "kill escalation (5 procs)" "$(median_us_setup "$kruns" victims "$pc" kill nkbenchvictim)" \
    "$(median_us_setup "$kruns" victims timeout 30 killall -w nkbenchvictim)" "killall -w"
row "kill escalation (5 procs)" "$(median_us_setup "$kruns" victims "$pc" kill nkbenchvictim)" \
    "$(median_us_setup "$kruns" victims pkill_and_wait nkbenchvictim)" "pkill -x; pidwait -x"

# The demo service in a private root (as tests/reliability sets it up).
root=$tmp/root
mkdir -p "$root"/{usr/local/norvik/logs,var/run,var/log,etc/init.d,etc/servmon.d,var/norvik/custom/services,var/norvik/restartsrv/locks} "$tmp/bin"
sed -e "s|@DAEMON@|$demod|" -e "s|@PIDFILE@|$root/var/run/nkdemo.pid|" \
    -e "s|@ARGS@|--events $root/var/log/nkdemo.events --port 28419|" "$src/demo/nkdemo.init.in" > "$root/etc/init.d/nkdemo"
chmod 755 "$root/etc/init.d/nkdemo"
: > "$root/etc/servmon.d/nkdemo"
# A real server has a local-time link; without one each start asks the time-zone tool.
ln -s /usr/share/zoneinfo/Etc/UTC "$root/etc/localtime"
cat > "$root/var/norvik/custom/services/Nkdemo.json" <<JSON
{"base": "Base", "attributes": {"pidfile": "\${NORVIK_ROOT}/var/run/nkdemo.pid",
 "service_binary": "$demod", "pid_exe": "norvik_demod"}}
JSON
ln -s "$base" "$tmp/bin/restartsrv_nkdemo"
export NORVIK_ROOT=$root
"$tmp/bin/restartsrv_nkdemo" >/dev/null 2>&1 || echo "warning: the demo service did not start" >&2
rruns=${RRUNS:-$(( runs > 7 ? 7 : runs ))}
row "restartsrv_nkdemo --status" "$(median_us "$runs" "$tmp/bin/restartsrv_nkdemo" --status)" \
    "$(median_us "$runs" "$root/etc/init.d/nkdemo" status)" "init script status"
row "full restart" "$(median_us "$rruns" "$tmp/bin/restartsrv_nkdemo" hard)" \
    "$(median_us "$rruns" "$root/etc/init.d/nkdemo" restart)" "init script restart"
"$tmp/bin/restartsrv_nkdemo" --stop >/dev/null 2>&1

unset NORVIK_ROOT

# The systemd back end, inside a real systemd booted in private namespaces
# (the kit beside the source tree), against the distribution's own units.
kit=$src/../shared/real-systemd
rs_name=nkbench$$
if [ "${NORVIK_BENCH_SYSTEMD:-1}" = 0 ]; then
  echo "note: systemd rows skipped (NORVIK_BENCH_SYSTEMD=0)" >&2
elif [ "$(id -u)" != 0 ] || [ ! -x "$kit/start.sh" ]; then
  echo "note: systemd rows skipped (needs root and $kit)" >&2
elif ! RS_NAME=$rs_name RS_BINDS="$src" RS_SELFTEST=0 "$kit/start.sh" >"$tmp/rs.log" 2>&1; then
  echo "note: systemd rows skipped (the real-systemd kit could not boot: $(tail -1 "$tmp/rs.log"))" >&2
  RS_NAME=$rs_name "$kit/stop.sh" >/dev/null 2>&1
else
  rs_stop() { RS_NAME=$rs_name "$kit/stop.sh" >/dev/null 2>&1; }
  trap 'rs_stop; cleanup' EXIT
  . "/tmp/realsystemd/$rs_name/env"
  # The program and a panel tree live in the instance's own layer.
  mkdir -p "$RS_ROOT/opt/nkbench/bin"
  cp "$base" "$RS_ROOT/opt/nkbench/bin/restartsrv_base"
  units="apache2 mariadb named"
  sroot=$RS_ROOT/opt/nkbench/root
  mkdir -p "$sroot/usr/local/norvik/logs" "$sroot/var/norvik/restartsrv/locks" "$sroot/etc/servmon.d" "$sroot/usr/bin"
  ln -s /usr/share/zoneinfo/Etc/UTC "$sroot/etc/localtime"
  ln -s /usr/bin/systemctl "$sroot/usr/bin/systemctl"
  # The panel's tree: its definitions, the OS facts, and the daemons' own
  # run directory where the definitions look for their PID files.
  mkdir -p "$sroot/usr/local/norvik/etc/services"
  cp "$src"/data/services/*.json "$sroot/usr/local/norvik/etc/services/"
  cp /etc/os-release "$sroot/etc/os-release"
  ln -s /run "$sroot/run"
  for u in $units; do
    : > "$sroot/etc/servmon.d/$u"
    ln -s restartsrv_base "$RS_ROOT/opt/nkbench/bin/restartsrv_$u"
    # systemd's start limit would fail a unit restarted in a loop.
    mkdir -p "$RS_ROOT/etc/systemd/system/$u.service.d"
    printf '[Unit]\nStartLimitIntervalSec=0\n' > "$RS_ROOT/etc/systemd/system/$u.service.d/nkbench.conf"
  done
  # Runs inside the instance with the same timing function: prints
  # "label|tool_us|systemctl_us|other" rows.
  {
    echo '#!/bin/bash'
    declare -f median_us_setup
    cat <<'INNER'
runs=$1 rruns=$2; shift 2
export NORVIK_ROOT=/opt/nkbench/root
for u in "$@"; do
  tool=/opt/nkbench/bin/restartsrv_$u
  stop_unit() { systemctl stop "$u"; }
  systemctl start "$u" || { echo "# $u does not start here" >&2; continue; }
  "$tool" --status >/dev/null 2>&1 || { echo "# the tool does not see $u running; rows skipped" >&2; continue; }
  echo "restart of $u|$(median_us_setup "$rruns" : "$tool")|$(median_us_setup "$rruns" : systemctl restart "$u")|systemctl restart"
  echo "full restart of $u|$(median_us_setup "$rruns" : "$tool" hard)|$(median_us_setup "$rruns" : systemctl restart "$u")|systemctl restart"
  echo "--status of $u|$(median_us_setup "$runs" : "$tool" --status)|$(median_us_setup "$runs" : systemctl status --no-pager "$u")|systemctl status"
  echo "start of stopped $u|$(median_us_setup "$rruns" stop_unit "$tool" --start)|$(median_us_setup "$rruns" stop_unit systemctl start "$u")|systemctl start"
  systemctl stop "$u"
done
INNER
  } > "$RS_ROOT/opt/nkbench/run.sh"
  chmod 755 "$RS_ROOT/opt/nkbench/run.sh"
  "$RS_EXEC" systemctl daemon-reload
  while IFS='|' read -r label a b other; do
    [ -n "$b" ] && row "$label" "$a" "$b" "$other"
  done < <("$RS_EXEC" /opt/nkbench/run.sh "$runs" "$rruns" $units)
fi

printf '%-34s %10s %10s  %-22s %6s\n' "operation (median of runs)" "tool ms" "other ms" "other" "ratio"
printf '%s\n' "${rows[@]}"
