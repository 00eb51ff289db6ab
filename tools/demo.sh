#!/usr/bin/env bash
# Runs the demonstration against an installed tree: tools/demo.sh PREFIX
set -euo pipefail
prefix=$(cd "${1:?usage: demo.sh PREFIX}" && pwd)
trace="$prefix/demo-trace.log"
rm -f "$trace"
echo "== zelcomm demonstration (installed under $prefix)"
ZEL_TRACE="$trace" "$prefix/bin/zeldemo"
echo "== trace file $trace"
cat "$trace"
