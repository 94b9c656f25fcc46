#!/usr/bin/env bash
# Prepares a demo home folder for trying the daemon without touching your own files.
# Usage: make-demo-home.sh FOLDER
set -euo pipefail
home=$1
mkdir -p "$home/demo/source" "$home/demo/target"
[[ -f "$home/demo/source/hello.txt" ]] || echo "Hello from Ternwell's demo folder." > "$home/demo/source/hello.txt"
