#!/usr/bin/env bash
# qvreader.exe under Wine, against the simulated reader that
# scripts/test-windows serves on COM$QV_WIN_SIM_COM and on TCP port
# $QV_WIN_SIM_TCP; COM$QV_WIN_GONE_COM names a pty that has gone.
# Usage: qvreader_wine.sh path/to/qvreader.exe
set -uo pipefail
exe=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT

source "$(dirname "$0")/../support/check.sh"

run() {  # run ARGS...: stdout (without CRs) in $text, status in $rc
    wine "$exe" "$@" 2>/dev/null | tr -d '\r' >"$out"
    rc=${PIPESTATUS[0]}
    text=$(cat "$out")
}

run --port "COM$QV_WIN_SIM_COM" info
check "info over COM$QV_WIN_SIM_COM" "0 yes" "$rc $(grep -q 'QV-LF125' <<<"$text" && echo yes)"
run --json --tcp "127.0.0.1:$QV_WIN_SIM_TCP" card
check "card over TCP, JSON" "0 True" "$rc $(/usr/bin/python3 -c '
import json, re, sys
print(bool(re.fullmatch("[0-9A-F]{16}", json.loads(sys.stdin.read())["card"])))' <<<"$text" 2>&1)"
run --port "COM$QV_WIN_GONE_COM" info
check "a port whose device has gone" 2 "$rc"
run --port /dev/ttyUSB0 info
check "device paths are for Linux" 2 "$rc"

# The library's trace works the same in the DLL: --trace writes to standard
# error, QV_TRACE=<file> appends to a file (a Windows path, here on Z:).
wine "$exe" --trace --tcp "127.0.0.1:$QV_WIN_SIM_TCP" card 2>&1 >/dev/null | tr -d '\r' >"$out"
check "trace on stderr: the request" yes "$(grep -qE '^[0-9-]{10} [0-9:.]{12} 127\.0\.0\.1:[0-9]+ > 00 00 00 00 00 06 00 03 00 04 00 04$' "$out" && echo yes)"
trace=$(mktemp)
QV_TRACE="Z:${trace//\//\\}" wine "$exe" --port "COM$QV_WIN_GONE_COM" info >/dev/null 2>&1
check "trace file: why the port did not open" yes \
  "$(grep -q "COM$QV_WIN_GONE_COM ! QV_ComInitial($QV_WIN_GONE_COM, 19200) gives 0: " "$trace" && echo yes)"
rm -f "$trace"

checks_done "qvreader under Wine"
