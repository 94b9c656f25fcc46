#!/usr/bin/env bash
# Installs what Ternwell needs, builds it and runs the daemon in the foreground while showing
# its log as it grows. Ctrl-C stops the daemon.
#
# Without a configuration of your own ($HOME/Library/Application Support/ternwell/ternwell.json)
# the daemon runs with a demo home folder inside the build folder (build/demo-home), so it never
# touches your own files.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/cmake-prefix.sh

scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERNWELL_BUILD_TESTS=OFF \
  "${CMAKE_PREFIX_ARGS[@]}" >/dev/null
cmake --build build -j "$jobs" --target ternwell

user_config="$HOME/Library/Application Support/ternwell/ternwell.json"
if [[ -f "$user_config" ]]; then
  home="$HOME"
  echo "Using your configuration: $user_config"
else
  home="$PWD/build/demo-home"
  scripts/make-demo-home.sh "$home"
  echo "No configuration at: $user_config"
  echo "Running with the demo home $home (its configuration syncs a demo folder there)."
  echo "Put your own configuration at the path above to make Ternwell sync your files."
fi

if [[ "$home" == "$HOME" ]]; then
  log="${XDG_CACHE_HOME:-$HOME/.cache}/ternwell/ternwell.log"
  run=(./build/bin/ternwell)
else
  log="$home/.cache/ternwell/ternwell.log"
  run=(env -u XDG_CACHE_HOME HOME="$home" ./build/bin/ternwell)
fi
mkdir -p "$(dirname "$log")" && touch "$log"
echo "Log file: $log   (Ctrl-C stops the daemon)"
[[ "$home" == "$HOME" ]] || echo "Watch $home/demo/target and $home/demo/notes-copy fill up."

"${run[@]}" &
daemon=$!
# The daemon cuts the log at start and so replaces the file: tail follows the new one, and its
# note about the replacement is no news to anyone.
tail -n 0 -F "$log" 2>/dev/null &
tail=$!
trap 'kill -TERM "$daemon" 2>/dev/null' INT TERM
wait "$daemon" || true
sleep 0.3
kill "$tail" 2>/dev/null || true
