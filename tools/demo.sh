#!/usr/bin/env bash
# Runs the demonstration against an installed tree: tools/demo.sh PREFIX
set -euo pipefail
prefix=$(cd "${1:?usage: demo.sh PREFIX}" && pwd)
work="$prefix/demo"
rm -rf "$work"
mkdir -p "$work"
echo "== zelcomm demonstration (installed under $prefix)"
status=0
ZEL_INSTANCE="demo$$" ZEL_TRACE="$work/trace.log" "$prefix/bin/zeldemo" "$work" || status=$?
echo "== communication manager log ($work/cpmgr.log)"
cat "$work/cpmgr.log" 2>/dev/null || echo "(none)"
echo "== zelhost log ($work/zelhost.log)"
cat "$work/zelhost.log" 2>/dev/null || echo "(none)"
echo "== trace: $(wc -l < "$work/trace.log" 2>/dev/null || echo 0) records in $work/trace.log"
exit $status
