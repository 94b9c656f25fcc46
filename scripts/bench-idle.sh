#!/usr/bin/env bash
# Measures what the idle daemon costs: runs the real ternwell for BENCH_SECONDS (default 60)
# with 50 configured items, once with folders whose cycles have not elapsed and once with 50
# unreachable items, and prints its share of one CPU core and its peak resident memory.
# Prints figures only; it asserts nothing. Linux (reads /proc).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/cmake-prefix.sh

seconds="${BENCH_SECONDS:-60}"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERNWELL_BUILD_TESTS=OFF \
  "${CMAKE_PREFIX_ARGS[@]}" >/dev/null
cmake --build build-bench -j "$jobs" --target ternwell >/dev/null

ticks_per_second=$(getconf CLK_TCK)

# write_config <home> <reachable: yes|no>
write_config() {
  local home="$1" reachable="$2" items="" i source
  for i in $(seq 1 50); do
    source="$home/data/source-$i"
    mkdir -p "$home/data/target-$i"
    [[ "$reachable" == yes ]] && mkdir -p "$source" || source="$home/data/missing-$i"
    items+="${items:+,}{\"name\": \"item $i\", \"type\": \"Verzeichnis\", \"source\": \"$source\",
      \"target\": \"$home/data/target-$i\", \"wildcard\": \"*\", \"SyncCycle\": 3600}"
  done
  mkdir -p "$home/Library/Application Support/ternwell"
  cat > "$home/Library/Application Support/ternwell/ternwell.json" <<JSON
{"Logging": {"LogLevel": "Info", "LogFilePathName": "$home/ternwell.log", "RetentionDays": 7,
 "EditorPathName": "/usr/bin/vi"},
 "Syncitems": [$items]}
JSON
}

# measure <label> <reachable>
measure() {
  local label="$1" reachable="$2" home pid stat utime stime peak
  home=$(mktemp -d)
  write_config "$home" "$reachable"
  HOME="$home" LANG=C.UTF-8 build-bench/bin/ternwell &
  pid=$!
  sleep "$seconds"
  stat=$(cut -d' ' -f14,15 "/proc/$pid/stat")
  peak=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
  kill -TERM "$pid"
  wait "$pid" || true
  read -r utime stime <<<"$stat"
  awk -v label="$label" -v ticks="$(( utime + stime ))" -v hz="$ticks_per_second" \
      -v secs="$seconds" -v peak="$peak" 'BEGIN {
    printf "%-32s CPU %.3f %% of one core (%.2f s in %d s), peak RSS %.1f MiB\n",
           label, 100 * ticks / hz / secs, ticks / hz, secs, peak / 1024 }'
  rm -rf "$home"
}

measure "50 items, cycles not elapsed" yes
measure "50 unreachable items" no
