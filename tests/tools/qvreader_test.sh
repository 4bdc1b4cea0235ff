#!/usr/bin/env bash
# qvreader against the simulated reader, as a technician or a script runs it:
# every command over a pty entered as COM1 (and a device path), the main
# ones over Modbus TCP, find against a reader that minds its bit rate,
# settings changed and confirmed, exit statuses, usage errors, and --json
# output parsed by Python's json module.
# Usage: qvreader_test.sh path/to/qvreader path/to/readersim
set -uo pipefail
q=$1 sim=$2
dir=$(mktemp -d "${TMPDIR:-/tmp}/qvreader-test.XXXXXX")
mkdir -p "$dir/ports" "$dir/strict" "$dir/tmp"
export QV_PORTS_DIR=$dir/ports TMPDIR=$dir/tmp
unset QV_TRACE
pids=()

cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    rm -rf "$dir"
}
trap cleanup EXIT

source "$(dirname "$0")/../support/check.sh"

# run ARGS...: qvreader's stdout in $out, stderr in $err, status in $rc.
run() {
    "$q" "$@" >"$dir/stdout" 2>"$dir/stderr"
    rc=$?
    out=$(cat "$dir/stdout")
    err=$(cat "$dir/stderr")
}

# lines TEXT: how many lines TEXT holds (0 when empty).
lines() {
    printf %s "$1" | grep -c ''
}

# py EXPR: EXPR evaluated over the JSON lines of $out (d = list of objects);
# any line that is not one strict JSON object prints "not json".
py() {
    /usr/bin/python3 -c '
import json, sys
def strict(x): raise ValueError(x)
try:
    d = [json.loads(l, parse_constant=strict) for l in sys.stdin.read().splitlines()]
    assert all(isinstance(o, dict) for o in d)
except Exception:
    print("not json"); sys.exit()
print(eval(sys.argv[1]))' "$1" <<<"$out"
}

# start NAME ARGS...: readersim in the background; waits for its ready lines.
start() {
    local name=$1
    shift
    "$sim" "$@" >"$dir/$name.out" 2>"$dir/$name.err" &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q '^readersim: serving' "$dir/$name.out" 2>/dev/null && break
        grep -q '^readersim: tcp' "$dir/$name.out" 2>/dev/null && break
        sleep 0.05
    done
    sleep 0.1
}

start sim --pty COM1 --ports-dir "$dir/ports" --tcp 0 --station 5 --rearm-ms 600 --verbose
tcp=127.0.0.1:$(sed -n 's/^readersim: tcp 127.0.0.1:\([0-9]*\)$/\1/p' "$dir/sim.out")
slave=$(sed -n 's/^readersim: serving COM1 (\(.*\)) in .*/\1/p' "$dir/sim.out")
[ -e "$dir/ports/COM1" ] && [ "$tcp" != "127.0.0.1:" ] || { echo "readersim did not start"; cat "$dir/sim.out" "$dir/sim.err"; exit 1; }

# --- info, card, clear
run --port COM1 info
check "info status" 0 "$rc"
check "info names model and version" yes "$(grep -q QV-LF125 <<<"$out" && grep -q '1\.5' <<<"$out" && echo yes)"
run --json -p 1 info
check "info json" "QV-LF125 1.5 0" "$(py '" ".join(str(d[0][k]) for k in ("model", "version", "base-address"))')"
run --json --port COM1 card
check "card json" "0000000000123456" "$(py 'd[0]["card"]')"
run --json --port COM1 clear
check "clear status" 0 "$rc"
run --json --port COM1 card
check "card after clear" "0000000000000000" "$(py 'd[0]["card"]')"
sleep 0.7
run --json --port COM1 card
check "card read again after the re-arm time" "0000000000123456" "$(py 'd[0]["card"]')"

# --- led: composed as the demo's dialog does, at the field bounds
led() {  # led ARGS...: the word 40003 holds after 'qvreader led ARGS'
    run --port COM1 led "$@"
    local s=$rc
    run --json --port COM1 read 40003
    echo "$s $(py 'd[0]["hex"]')"
}
check "led defaults" "0 0611" "$(led)"
check "led at the top of every field" "0 FFFF" "$(led --output both --cycles 63 --on 1500 --off 1500)"
check "led at the bottom" "0 0100" "$(led --output led --cycles 0 --on 0 --off 0)"
check "led word" "0 0D22" "$(led --word 0x0d22)"
for bad in "--cycles 64" "--on 1600" "--off 50" "--output lamp" "--word 10000" "--word 0611 --cycles 2" "--bogus"; do
    # shellcheck disable=SC2086
    check "led $bad is a usage error, nothing written" "2 0D22" "$(led $bad)"
done

# --- config and set
run --json --port COM1 config
check "config json" "19200 5 em4100 off off big off off hex 2000" \
    "$(py '" ".join(str(d[0][k]) for k in ("baud", "station", "card-type", "beep", "led", "byte-order", "auto-clear", "maker-byte", "format", "same-card-delay"))')"
check "config numbers are numbers" "True" "$(py 'all(type(d[0][k]) is int for k in ("baud", "station", "same-card-delay"))')"
before=$out
run --port COM1 config
check "config status" 0 "$rc"
# Bits that no setting names survive a set: 40002 high byte 0x0F.
run --port COM1 write 40002 0x0F05
run --json --port COM1 set beep=on format=dec10 maker-byte=on same-card-delay=1500ms
check "set status" 0 "$rc"
check "set reports what it confirmed" "on dec10 on 1500" "$(py '" ".join(str(o[k]) for o in d for k in o)')"
run --json --port COM1 read 2
check "set touches the named fields only" "0F15" "$(py 'd[0]["hex"]')"
run --json --port COM1 read 100
check "set 40100" "0310" "$(py 'd[0]["hex"]')"
run --json --port COM1 card
check "card in dec10 with the maker byte" "00000A0001193046" "$(py 'd[0]["card"]')"
run --json --port COM1 set format=hex maker-byte=off same-card-delay=2s beep=off
run --port COM1 write 40002 5
for bad in "baud=1234" "station=0" "station=256" "same-card-delay=150" "format=hex4" "beep=maybe" "card-type=16" \
    "nokey=1" "beep" "=on" "beep=on beep=off"; do
    # shellcheck disable=SC2086
    run --port COM1 set $bad
    check "set $bad is a usage error" "2" "$rc"
done
run --json --port COM1 config
check "nothing changed by the refused sets" "$before" "$out"

# --- raw registers
run --json --port COM1 write 40004 1 2 0x3 0xFFFF
check "write several" "0" "$rc"
run --json --port COM1 read 4 4
check "read several" "[1, 2, 3, 65535]" "$(py '[o["value"] for o in d]')"
check "read addresses" "[4, 5, 6, 7]" "$(py '[o["address"] for o in d]')"
run --port COM1 clear
for bad in "read" "read 65536" "read 0xFFFF 2" "read 4 0" "read 4 126" "read 4 4 4" "write 3" "write 3 65536" \
    "write 3 -1" "write x 1"; do
    # shellcheck disable=SC2086
    run --port COM1 $bad
    check "$bad is a usage error" "2 " "$rc $out"
done

# --- a device path instead of a COM name, in a temporary ports directory
run --json --port "$slave" info
check "device path" "0 QV-LF125" "$rc $(py 'd[0]["model"]')"
check "temporary ports directory removed" "" "$(ls -A "$dir/tmp")"

# --- ports
run --json ports
check "ports lists COM1 and its device" "$(realpath "$slave")" "$(py '[o["device"] for o in d if o["port"] == "COM1"][0]')"

# --- watching cards
run --json --port COM1 card --watch --rearm --interval 100 --count 2
check "watch --rearm reports the same card again" "0 0000000000123456 0000000000123456" "$rc $(py '" ".join(o["card"] for o in d)')"
check "watch lines carry the time" "True" "$(py 'all(o["time"].endswith("Z") for o in d)')"
"$q" --json --port COM1 card --watch --interval 100 >"$dir/watch" 2>"$dir/watch.err" &
wpid=$!
sleep 1.5
kill -INT "$wpid"
wait "$wpid"
check "Ctrl-C ends a watch with status 0" 0 $?
out=$(cat "$dir/watch")
check "without --rearm one card is reported once" "1 0000000000123456" "$(lines "$out") $(py 'd[0]["card"]')"
run --port COM1 info
check "the port is free after the watch" 0 "$rc"

# --- Modbus TCP
run --json --tcp "$tcp" info
check "tcp info" "0 QV-LF125" "$rc $(py 'd[0]["model"]')"
run --json --tcp "$tcp" card
check "tcp card" "0000000000123456" "$(py 'd[0]["card"]')"
run --json -t "$tcp" set led=on
check "tcp set" "0 on" "$rc $(py 'd[0]["led"]')"
run --json -t "$tcp" config
check "tcp config" "on" "$(py 'd[0]["led"]')"
run --tcp "$tcp" read 200
check "an exception reply fails the command" "1" "$rc"
check "one line says what failed" "1" "$(lines "$err")"
run --tcp "$tcp" find
check "find wants a serial port" 2 "$rc"

# --- failures and usage errors, each named as the library names it
run --port COM1 --station 99 card
check "silent station: status 1" 1 "$rc"
check "silent station: one line, with the trace hint" "1 yes" "$(lines "$err") $(grep -q -- --trace <<<"$err" && echo yes)"
check "silent station: no reply, and find suggested" "yes" \
    "$(grep -q 'no reply within 2 s' <<<"$err" && grep -q "'find'" <<<"$err" && echo yes)"
run --port COM1 read 200
check "a refusal is named, at once, without suggesting find" "1 1 yes no" "$rc $(lines "$err") \
$(grep -q 'the reader refused the request: exception 02, illegal data address' <<<"$err" && echo yes) \
$(grep -q "'find'" <<<"$err" && echo yes || echo no)"
QV_TRACE=$dir/trace.txt run --port COM1 --station 99 card
check "no trace hint when tracing" "1 no" "$rc $(grep -q -- '--trace' <<<"$err" && echo yes || echo no)"
run --port COM1 --trace info
check "--trace shows the request" "0 yes" "$rc $(grep -qE ' COM1 > ([0-9A-F]{2} )+[0-9A-F]{2}$' <<<"$err" && echo yes)"
run --port COM9 info
check "missing port: status 2" "2" "$rc"
run --port "$dir/nothing" info
check "missing device path: status 2" "2" "$rc"
run --tcp 127.0.0.1:1 info
check "refused connection: status 2" "2" "$rc"
for bad in "" "bogus" "--bogus info" "-p COM1 -t $tcp info" "-b 1234 -p COM1 info" "-s 256 -p COM1 info" \
    "-p COM0 info" "-p xyz info" "--tcp :5 info" "--tcp h:0 info" "--port" "info" "card --rearm" \
    "card --watch --interval 5" "card --watch --count 0" "info extra"; do
    # shellcheck disable=SC2086
    run $bad
    check "'$bad' is a usage error with one line" "2 1 " "$rc $(lines "$err") $out"
done

# --- help
run --help
check "help" 0 "$rc"
help=$out
for c in info card clear led config set read write find ports; do
    grep -q "^  $c " <<<"$help" || check "help lists $c" listed missing
    run "$c" --help
    check "$c --help" "0 yes" "$rc $(grep -q "qvreader.*$c" <<<"$out" && echo yes)"
done
run help set
check "help COMMAND" 0 "$rc"

# --- a model name no JSON text may carry as it is
start odd --tcp 0 --model $'Q"\\\x01\xe9'
odd=127.0.0.1:$(sed -n 's/^readersim: tcp 127.0.0.1:\([0-9]*\)$/\1/p' "$dir/odd.out")
run --json --tcp "$odd" info
check "json escapes quote, backslash, control and non-UTF-8 bytes" "True" \
    "$(py 'd[0]["model"] == "Q\"\\\x01\xe9"')"
run --tcp "$odd" info
check "human output shows odd bytes in hex" "yes" "$(grep -qF 'Q"\\x01\xE9' <<<"$out" && echo yes)"

# --- find, and a new rate and station, on a reader that minds its bit rate
start strict --pty COM2 --ports-dir "$dir/ports" --baud 38400 --strict-baud
run --json --port COM2 find
check "find at 38400" "0 38400 1" "$rc $(py 'd[0]["baud"]') $(py 'd[0]["station"]')"
check "find: one progress line per rate tried" 5 "$(lines "$err")"
run --json --port COM2 --baud 38400 --station 1 set baud=9600 station=3
check "set baud and station, confirmed at the new ones" "0 9600 3" "$rc $(py 'd[0]["baud"]') $(py 'd[0]["station"]')"
run --port COM2 --baud 38400 card
check "the old rate is no longer answered" 1 "$rc"
run --json --port COM2 --baud 9600 --station 3 card
check "the new rate and station are" "0 0000000000123456" "$rc $(py 'd[0]["card"]')"
run --json --port COM2 --baud 9600 --station 3 find
check "find tries --baud first" "0 9600 3 1" "$rc $(py 'd[0]["baud"]') $(py 'd[0]["station"]') $(lines "$err")"

# --- a reader that refuses everything still answers at its rate; one that goes away mid-watch
start refusing --pty COM4 --ports-dir "$dir/ports" --fault exception
run --json --port COM4 find
check "find counts a refusal as an answer" "0 19200 4 1" "$rc $(py 'd[0]["baud"]') $(py 'd[0]["exception"]') $(lines "$err")"
start going --pty COM5 --ports-dir "$dir/ports"
"$q" --port COM5 card --watch --interval 100 >"$dir/lost" 2>"$dir/lost.err" &
wpid=$!
sleep 0.6
kill -TERM "${pids[-1]}"
sleep 0.6
kill -INT "$wpid"
wait "$wpid"
check "an unplugged line is named once, and the watch goes on" "1 yes" \
    "$(grep -c 'still watching' "$dir/lost.err") $(grep -q 'the line went away: adapter unplugged?' "$dir/lost.err" && echo yes)"

checks_done "qvreader"
