#!/usr/bin/env bash
# Builds what is needed and runs every benchmark of bench/ (each bench/NAME.cpp is the program
# bench_NAME), then prints all their figures in one markdown table, with the machine's load
# average when each ran. Every benchmark runs even when an earlier one fails; the exit status
# is non-zero when any failed.
#
#   bench/run-all.sh [--quick | --full]
#     --quick (default) short runs, a few minutes in all
#     --full  the benchmarks' own defaults: 30 s idle window, 1000 shots, 200 tagged images ...
#   VORN_BENCH_BUILD=DIR  build directory (default build-bench)
#
# The soak (bench/soak.sh) is not part of this run.
set -uo pipefail
cd "$(dirname "$0")/.."

mode=quick
case ${1:-} in
  ""|--quick) ;;
  --full) mode=full ;;
  *) echo "usage: bench/run-all.sh [--quick|--full]" >&2; exit 1 ;;
esac
build=${VORN_BENCH_BUILD:-build-bench}

names=()
for src in bench/*.cpp; do names+=("$(basename "$src" .cpp)"); done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" -j 2 --target vorn-camera vorn-fcsim "${names[@]/#/bench_}" >/dev/null || exit 1

# Arguments of one run of a benchmark (several runs: one line each).
runs_of() {
  case $mode:$1 in
    quick:mavlink_parse) echo "0.5" ;;
    quick:log_blocks) echo "5000" ;;
    quick:serial_bridge) printf '%s\n' "10" "10 --page-load 50" ;;
    full:serial_bridge) printf '%s\n' "30" "30 --page-load 50" ;;
    quick:tagging) echo "20 1" ;;
    quick:footprint) printf '%s\n' "idle 10" "shots 200" ;;
    full:footprint) printf '%s\n' "idle 30" "shots 1000" ;;
    *) echo "" ;;
  esac
}

# One table row per figure a benchmark printed: "figure | value".
figures_of() {
  case $1 in
    footprint) awk -F'|' '/^RESULT\|/ { v = $3; if ($4 != "") v = v " " $4; print $2 "|" v }' ;;
    mavlink_parse)
      sed -nE 's/^(.*[^ ]) +([0-9.]+ MB\/s) +([0-9]+x line rate) +(.*)$/parse, \1|\2 (\3, \4)/p' ;;
    serial_bridge)
      sed -nE -e 's/^(fc -> modem|modem -> fc) .*\| (lost [0-9]+ bytes) \| (corrupt [0-9]+) \| (out of order [0-9]+) \| latency (.*)$/bridge \1|\2, \3, \4; latency \5/p' \
              -e 's/^(daemon CPU): (.*) \(machine load.*$/bridge, \1|\2/p' -e 's/^(daemon peak memory): (.*)$/bridge, \1|\2/p' \
              -e 's/^page (\/[^ ]*) +(.*)$/field page \1|\2/p' -e 's/^(page requests failed): (.*)$/field \1|\2/p' ;;
    *) awk 'index($0, ":") { f = substr($0, 1, index($0, ":") - 1); v = substr($0, index($0, ":") + 1);
                             gsub(/^ +| +$/, "", v); print f "|" v }' ;;
  esac
}

rows=()
failed=0
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for name in "${names[@]}"; do
  while IFS= read -r args; do
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    echo "== bench_$name $args (load $load)"
    # shellcheck disable=SC2086  # the arguments are our own fixed words
    "$build/bench_$name" $args >"$out" 2>&1
    rc=$?
    grep -v '^RESULT|' "$out"
    while IFS='|' read -r figure value; do
      rows+=("| bench_$name $args | $figure | $value | $load |")
    done < <(figures_of "$name" <"$out")
    if ((rc != 0)); then
      failed=1
      rows+=("| bench_$name $args | **exit status** | **$rc (failed)** | $load |")
    fi
  done < <(runs_of "$name")
done

echo
echo "## Benchmarks ($mode), $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "| benchmark | figure | value | load average (1/5/15 min) at start |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
exit $failed
