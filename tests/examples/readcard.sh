#!/usr/bin/env bash
# The README's walk-through: readersim on a pty and on TCP, and the readcard
# example reading it through the library.
set -euo pipefail
readersim=$1 readcard=$2
dir=$(mktemp -d)
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$dir"' EXIT

source "$(dirname "$0")/../support/readersim.sh"
start_readersim "$readersim" "$dir" --pty COM1 --ports-dir "$dir" || exit 1

want_model="model QV-LF125, version 1.5"
want_card="card 0000 0000 0012 3456"
serial=$(QV_PORTS_DIR=$dir "$readcard" COM1)
tcp=$("$readcard" tcp 127.0.0.1 "$port")
echo "$serial"; echo "$tcp"
for got in "$serial" "$tcp"; do
  grep -qx "$want_model" <<<"$got" || { echo "expected: $want_model"; exit 1; }
  grep -qx "$want_card" <<<"$got" || { echo "expected: $want_card"; exit 1; }
done
# QV_TRACE switches the traffic trace on in a program that knows nothing of
# it: a file is appended to, "stderr" writes there.
QV_TRACE=$dir/trace QV_PORTS_DIR=$dir "$readcard" COM1 >/dev/null
QV_TRACE=$dir/trace QV_PORTS_DIR=$dir "$readcard" COM1 >/dev/null
[ "$(grep -c ' COM1 > 00 46 00 43 A0$' "$dir/trace")" = 2 ] || { echo "trace file:"; cat "$dir/trace"; exit 1; }
QV_TRACE=stderr "$readcard" tcp 127.0.0.1 "$port" 2>"$dir/err" >/dev/null
grep -q " 127.0.0.1:$port < 00 00 00 00 00 0B 00 03 08 " "$dir/err" || { echo "trace on stderr:"; cat "$dir/err"; exit 1; }
# A station nobody answers, a refused address and bad arguments: each named.
if QV_PORTS_DIR=$dir "$readcard" COM1 19200 7 >"$dir/none" 2>"$dir/none.err"; then echo "station 7 should fail"; exit 1; fi
grep -qx "readcard: card: no reply (reader off, another station id or bit rate?)" "$dir/none.err" ||
  { echo "no reply:"; cat "$dir/none.err"; exit 1; }
for bad in "COM1 abc" "COM1 19200 256" "COMx" "tcp 127.0.0.1 0" "tcp 127.0.0.1 502 x"; do
  # shellcheck disable=SC2086
  status=0; QV_PORTS_DIR=$dir "$readcard" $bad >/dev/null 2>&1 || status=$?
  [ "$status" = 2 ] || { echo "readcard $bad: status $status, not a usage error"; exit 1; }
done
"$readcard" tcp 127.0.0.1 1 2>"$dir/refused" && { echo "port 1 should be refused"; exit 1; }
grep -qx "readcard: cannot connect to 127.0.0.1 port 1: Connection refused" "$dir/refused" ||
  { echo "refused:"; cat "$dir/refused"; exit 1; }
