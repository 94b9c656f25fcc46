#!/usr/bin/env bash
# Installs what Ternwell needs to build (and, with --tests, to run its test suite).
# Debian/Ubuntu through apt, macOS through Homebrew. Safe to run again: installs only what
# is missing. On Debian it also generates the locales de_DE.UTF-8 and en_US.UTF-8.
set -euo pipefail

with_tests=false
[[ "${1:-}" == "--tests" ]] && with_tests=true

as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
    echo "install-dependencies: need root for: $*" >&2; return 1; fi
}

install_debian() {
  local packages=(build-essential cmake pkg-config libssh-dev libssl-dev libboost-dev libicu-dev
                  libcxxopts-dev gettext locales libgtest-dev libgmock-dev)
  $with_tests && packages+=(clang libc++-dev libc++abi-dev libbenchmark-dev openssh-server
                            python3-aiosmtpd iproute2 util-linux openssl rsync fuse3
                            python3-fusepy)
  local missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if ((${#missing[@]})); then
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"
  fi
  generate_locales
}

generate_locales() {
  local wanted=(de_DE.UTF-8 en_US.UTF-8) needed=false
  for name in "${wanted[@]}"; do
    locale -a 2>/dev/null | grep -qix "${name/UTF-8/utf8}" || needed=true
  done
  $needed || return 0
  for name in "${wanted[@]}"; do
    as_root sed -i "s/^# *\(${name} UTF-8\)/\1/" /etc/locale.gen
    grep -q "^${name} UTF-8" /etc/locale.gen || echo "${name} UTF-8" | as_root tee -a /etc/locale.gen >/dev/null
  done
  as_root locale-gen >/dev/null
}

install_macos() {
  local packages=(cmake pkg-config libssh openssl@3 boost gettext icu4c cxxopts googletest)
  $with_tests && packages+=(google-benchmark)
  for package in "${packages[@]}"; do
    brew list --versions "$package" >/dev/null 2>&1 || brew install "$package"
  done
}

case "$(uname -s)" in
  Darwin) install_macos ;;
  Linux)
    if command -v apt-get >/dev/null; then install_debian; else
      echo "install-dependencies: no apt-get here; install the packages listed in README.md" >&2
    fi ;;
esac
