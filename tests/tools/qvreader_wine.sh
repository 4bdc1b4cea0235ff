#!/usr/bin/env bash
# qvreader.exe under Wine, against the simulated reader that
# scripts/test-windows serves on COM$QV_WIN_SIM_COM and on TCP port
# $QV_WIN_SIM_TCP; COM$QV_WIN_GONE_COM names a pty that has gone.
# Usage: qvreader_wine.sh path/to/qvreader.exe
set -uo pipefail
exe=$1
passed=0 failed=0
out=$(mktemp)
trap 'rm -f "$out"' EXIT

check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
    fi
}

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

echo "qvreader under Wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
