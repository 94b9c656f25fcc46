#!/usr/bin/env bash
# Installs Ternwell as a service of the current user, started at login and after a crash:
# a launchd agent on macOS, a systemd user unit on Linux.
# Usage: service.sh install [BINARY] | uninstall | status | show-unit [BINARY] | show-plist [BINARY]
#   show-unit and show-plist print the filled-in file without installing anything.
#   BINARY defaults to the installed bin/ternwell (when this script runs from share/ternwell),
#   else to build/bin/ternwell of the source tree.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
label=org.ternwell.daemon

find_file() {  # the packaging file, installed beside this script or in the source tree
  for candidate in "$here/$1" "$here/../packaging/$1"; do
    [[ -f "$candidate" ]] && { echo "$candidate"; return; }
  done
  echo "service.sh: $1 not found" >&2; exit 1
}

default_binary() {
  for candidate in "$here/../../bin/ternwell" "$here/../build/bin/ternwell"; do
    [[ -x "$candidate" ]] && { (cd "$(dirname "$candidate")" && echo "$PWD/ternwell"); return; }
  done
  echo "service.sh: no ternwell binary found; give its path" >&2; exit 1
}

log_dir() { echo "${XDG_CACHE_HOME:-$HOME/.cache}/ternwell"; }

fill() {  # template, binary -> text
  sed -e "s|@TERNWELL_BINARY@|$2|g" -e "s|@TERNWELL_LOG_DIR@|$(log_dir)|g" \
      -e "s|@TERNWELL_DOC@|$(dirname "$2")|g" "$1"
}

install_macos() {
  local plist="$HOME/Library/LaunchAgents/$label.plist"
  mkdir -p "$(dirname "$plist")" "$(log_dir)"
  launchctl bootout "gui/$(id -u)/$label" 2>/dev/null || true
  fill "$(find_file "$label.plist")" "$1" > "$plist"
  plutil -lint "$plist" >/dev/null
  launchctl bootstrap "gui/$(id -u)" "$plist"
  echo "Installed and started: $plist"
}

uninstall_macos() {
  launchctl bootout "gui/$(id -u)/$label" 2>/dev/null || true
  rm -f "$HOME/Library/LaunchAgents/$label.plist"
  echo "Stopped and removed the launchd agent $label"
}

install_linux() {
  local unit="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user/ternwell.service"
  mkdir -p "$(dirname "$unit")" "$(log_dir)"
  fill "$(find_file ternwell.service)" "$1" > "$unit"
  systemctl --user daemon-reload
  systemctl --user enable --now ternwell.service
  echo "Installed and started: $unit"
}

uninstall_linux() {
  local unit="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user/ternwell.service"
  systemctl --user disable --now ternwell.service 2>/dev/null || true
  rm -f "$unit"
  systemctl --user daemon-reload 2>/dev/null || true
  echo "Stopped and removed the systemd user unit"
}

action=${1:-}
case "$action" in
  show-unit) fill "$(find_file ternwell.service)" "${2:-$(default_binary)}"; exit ;;
  show-plist) fill "$(find_file "$label.plist")" "${2:-$(default_binary)}"; exit ;;
esac
case "$(uname -s)-$action" in
  Darwin-install) install_macos "${2:-$(default_binary)}" ;;
  Darwin-uninstall) uninstall_macos ;;
  Darwin-status) launchctl print "gui/$(id -u)/$label" ;;
  Linux-install) install_linux "${2:-$(default_binary)}" ;;
  Linux-uninstall) uninstall_linux ;;
  Linux-status) systemctl --user status ternwell.service ;;
  *) echo "usage: $0 install [BINARY] | uninstall | status | show-unit | show-plist" >&2; exit 2 ;;
esac
