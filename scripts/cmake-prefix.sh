# Sourced by the build scripts: on macOS, points CMake at Homebrew's keg-only libraries.
if [[ "$(uname -s)" == Darwin ]] && command -v brew >/dev/null; then
  CMAKE_PREFIX_ARGS=("-DCMAKE_PREFIX_PATH=$(brew --prefix openssl@3);$(brew --prefix gettext);$(brew --prefix icu4c);$(brew --prefix)")
else
  CMAKE_PREFIX_ARGS=()
fi
jobs=$( (nproc || sysctl -n hw.ncpu) 2>/dev/null || echo 2)
