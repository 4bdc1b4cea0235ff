#!/usr/bin/env bash
# mbpoll, a client nobody here wrote, reads and writes the readersim program
# over its pty and over Modbus TCP; also checks the program's ready lines,
# its verbose dump, the in-band control, a bus of readers, and its COM entry
# (removed at exit, a taken name refused, a killed simulator's replaced).
# Usage: peer_mbpoll.sh path/to/readersim
set -uo pipefail
sim=$1
dir=$(mktemp -d /tmp/readersim-mbpoll.XXXXXX)
pid=
spid=

cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    if [ -n "$spid" ] && kill -0 "$spid" 2>/dev/null; then
        kill -TERM "$spid" 2>/dev/null
        wait "$spid" 2>/dev/null
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

source "$(dirname "$0")/../support/check.sh"

# Values only, one per line, from mbpoll's "[N]: \t0xVVVV" lines.
values() { sed -n 's/^\[[0-9]*\]:[[:space:]]*//p' | tr -d '\r'; }

"$sim" --pty COM2 --ports-dir "$dir/ports" --tcp 0 --station 7 --control --verbose >"$dir/out" 2>"$dir/err" &
pid=$!
for _ in $(seq 100); do
    grep -q '^readersim: tcp 127.0.0.1:' "$dir/out" 2>/dev/null && break
    sleep 0.05
done
port=$(sed -n 's/^readersim: tcp 127.0.0.1:\([0-9]*\)$/\1/p' "$dir/out")
slave=$(sed -n 's/^readersim: serving COM2 (\(.*\)) in .*$/\1/p' "$dir/out")
check "ready lines" "yes" "$([ -n "$port" ] && [ -n "$slave" ] && echo yes)"
check "COM2 entry" "$slave" "$(readlink "$dir/ports/COM2")"

rtu=(mbpoll -q -m rtu -a 7 -b 19200 -P none -0 -1 -o 1 "$dir/ports/COM2")
tcp=(mbpoll -q -m tcp -a 7 -p "$port" -0 -1 -o 1 127.0.0.1)

check "rtu card number" $'0x0000\n0x0000\n0x0012\n0x3456' \
    "$(timeout 10 "${rtu[@]}" -t 4:hex -r 4 -c 4 | values)"
check "tcp card number" $'0x0000\n0x0000\n0x0012\n0x3456' \
    "$(timeout 10 "${tcp[@]}" -t 4:hex -r 4 -c 4 | values)"
check "tcp 40001 and 40002" $'0x0307\n0x0005' "$(timeout 10 "${tcp[@]}" -t 4:hex -r 1 -c 2 | values)"

timeout 10 "${rtu[@]}" -t 4:hex -r 3 0x0611 >/dev/null
check "rtu write status" 0 $?
check "rtu read back 40003" "0x0611" "$(timeout 10 "${rtu[@]}" -t 4:hex -r 3 -c 1 | values)"
timeout 10 "${tcp[@]}" -t 4 -r 106 7 >/dev/null
check "tcp write status" 0 $?
check "tcp read back 40106" "0x0007" "$(timeout 10 "${tcp[@]}" -t 4:hex -r 106 -c 1 | values)"

timeout 10 mbpoll -q -m rtu -a 9 -b 19200 -P none -0 -1 -o 0.3 -t 4:hex -r 1 "$dir/ports/COM2" >/dev/null 2>&1
check "another station gets no reply" 1 $?
timeout 10 "${rtu[@]}" -t 4:hex -r 11 -c 1 >/dev/null 2>&1
check "exception for 40011" 1 $?

# In-band control: no reply to the next request (fault 3, count 1).
timeout 10 "${rtu[@]}" -t 4:hex -r 65520 0x0301 >/dev/null
check "control write" 0 $?
timeout 10 mbpoll -q -m rtu -a 7 -b 19200 -P none -0 -1 -o 0.3 -t 4:hex -r 1 "$dir/ports/COM2" >/dev/null 2>&1
check "silent after control" 1 $?
check "answers again" "0x0307" "$(timeout 10 "${rtu[@]}" -t 4:hex -r 1 -c 1 | values)"

grep -q '^COM2 <07><03><00><04><00><04>' "$dir/err"
check "verbose request line" 0 $?
grep -q '^COM2 \[07\]\[03\]\[08\]\[00\]\[00\]\[00\]\[00\]\[00\]\[12\]\[34\]\[56\]' "$dir/err"
check "verbose reply line" 0 $?
grep -q '40003 = 0x0611: buzzer, on 100 ms, off 100 ms, 1 cycle' "$dir/err"
check "LED and buzzer words" 0 $?

kill -TERM "$pid"
wait "$pid"
check "exit status on SIGTERM" 0 $?
pid=
check "COM2 entry removed" "gone" "$([ -e "$dir/ports/COM2" ] || [ -L "$dir/ports/COM2" ] || echo gone)"

# --device: the program on one end of a socat pty pair, mbpoll on the other,
# at a rate the standard speed table lacks.
socat pty,raw,echo=0,link="$dir/devA" pty,raw,echo=0,link="$dir/devB" 2>/dev/null &
spid=$!
for _ in $(seq 100); do [ -e "$dir/devA" ] && [ -e "$dir/devB" ] && break; sleep 0.05; done
"$sim" --device "$dir/devA" --baud 14400 --station 3 >"$dir/out2" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q '^readersim: serving' "$dir/out2" 2>/dev/null && break; sleep 0.05; done
check "device ready line" "readersim: serving $dir/devA at 14400 bit/s" "$(head -1 "$dir/out2")"
check "device read" $'0x0303\n0x0005' \
    "$(timeout 10 mbpoll -q -m rtu -a 3 -b 19200 -P none -0 -1 -o 1 -t 4:hex -r 1 -c 2 "$dir/devB" | values)"
kill -TERM "$pid" "$spid" 2>/dev/null
wait "$pid" "$spid" 2>/dev/null
pid=
spid=

# --strict-baud: mbpoll at another rate than the reader's goes unanswered
# (mbpoll's time-out, exit 1); at the reader's rate it reads 40001.
"$sim" --pty COM3 --ports-dir "$dir/ports" --baud 38400 --strict-baud --verbose >"$dir/out3" 2>"$dir/err3" &
pid=$!
for _ in $(seq 100); do [ -e "$dir/ports/COM3" ] && break; sleep 0.05; done
check "strict ready line" "at 38400 bit/s, strict" "$(grep -o 'at 38400 bit/s, strict' "$dir/out3")"
timeout 10 mbpoll -q -m rtu -a 1 -b 19200 -P none -0 -1 -o 0.5 -t 4:hex -r 1 -c 1 "$dir/ports/COM3" >/dev/null 2>&1
check "strict: wrong rate unanswered" 1 $?
check "strict: one verbose line for it" 1 "$(grep -c 'sent at 19200 bit/s' "$dir/err3")"
check "strict: reader's rate answered" "0x0501" \
    "$(timeout 10 mbpoll -q -m rtu -a 1 -b 38400 -P none -0 -1 -o 1 -t 4:hex -r 1 -c 1 "$dir/ports/COM3" | values)"
kill -TERM "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
pid=
"$sim" --pty COM3 --ports-dir "$dir/ports" --baud 12345 >/dev/null 2>&1
check "pty rate not the reader's" 2 $?
"$sim" --tcp 0 --strict-baud >/dev/null 2>&1
check "strict-baud without a pty" 2 $?

# A bus: three readers on one pty, each with its own card and registers.
"$sim" --pty COM4 --ports-dir "$dir/ports" --stations 3,17,200 --card 123456,none,0A00654321 --verbose \
    >"$dir/out4" 2>"$dir/err4" &
pid=$!
for _ in $(seq 100); do grep -q '^readersim: serving' "$dir/out4" 2>/dev/null && break; sleep 0.05; done
slave4=$(sed -n 's/^readersim: serving COM4 (\(.*\)) in .*$/\1/p' "$dir/out4")
check "bus ready line" "readersim: serving COM4 ($slave4) in $dir/ports; stations 3, 17, 200" "$(head -1 "$dir/out4")"
bus=(mbpoll -q -m rtu -b 19200 -P none -0 -1 -o 0.5 -t 4:hex)
for want in "3 0x0012 0x3456" "17 0x0000 0x0000" "200 0x0065 0x4321"; do
    read -r st card <<<"$want"
    check "bus: card of station $st" "$card" \
        "$(timeout 10 "${bus[@]}" -a "$st" -r 6 -c 2 "$dir/ports/COM4" | values | paste -sd' ')"
done
timeout 10 "${bus[@]}" -a 17 -r 3 "$dir/ports/COM4" 0x0611 >/dev/null
check "bus: write at 17" 0 $?
check "bus: 40003 of 3, 17, 200" "0x0000 0x0611 0x0000" \
    "$(for a in 3 17 200; do timeout 10 "${bus[@]}" -a $a -r 3 -c 1 "$dir/ports/COM4" | values; done | paste -sd' ')"
timeout 10 "${bus[@]}" -a 5 -r 1 "$dir/ports/COM4" >/dev/null 2>&1
check "bus: station 5 is not on it" 1 $?
check "bus: verbose names the station" 1 "$(grep -c '^COM4 station 17 \[11\]\[06\]' "$dir/err4")"
check "bus: register words name the station" 1 "$(grep -c '^readersim: station 17: 40003 = 0x0611' "$dir/err4")"

# The ports directory: a second simulator may not take COM4; once the first
# is killed (its entry left behind, pointing nowhere) a new one replaces it.
"$sim" --pty COM4 --ports-dir "$dir/ports" >/dev/null 2>"$dir/err5"
check "taken name: status" 2 $?
check "taken name: says by what" "readersim: COM4 in $dir/ports is taken: it points to $slave4" "$(cat "$dir/err5")"
check "taken name: entry untouched" "$slave4" "$(readlink "$dir/ports/COM4")"
kill -KILL "$pid"
wait "$pid" 2>/dev/null
"$sim" --pty COM4 --ports-dir "$dir/ports" >"$dir/out6" 2>"$dir/err6" &
pid=$!
for _ in $(seq 100); do grep -q '^readersim: serving' "$dir/out6" 2>/dev/null && break; sleep 0.05; done
check "stale entry: replaced, with a word" "readersim: COM4 in $dir/ports was stale (it pointed to $slave4" \
    "$(grep -o "^.*(it pointed to $slave4" "$dir/err6")"
check "stale entry: now ours" "$(sed -n 's/^readersim: serving COM4 (\(.*\)) in .*$/\1/p' "$dir/out6")" \
    "$(readlink "$dir/ports/COM4")"
ln -sfn /dev/null "$dir/ports/COM4"
kill -TERM "$pid"
wait "$pid"
pid=
check "exit leaves an entry that is no longer ours" /dev/null "$(readlink "$dir/ports/COM4")"

for bad in "--station 1 --stations 2,3" "--stations 2,3 --tcp 0" "--stations 2,3 --card 1,2,3" "--stations 2,,3" \
    "--stations 3,256" "--card 12,zz"; do
    # shellcheck disable=SC2086
    "$sim" --pty COM9 --ports-dir "$dir/ports" $bad >/dev/null 2>&1
    check "refused: $bad" 2 $?
done

"$sim" --bogus >/dev/null 2>&1
check "unknown option" 2 $?
"$sim" --pty COM0 >/dev/null 2>&1
check "bad port number" 2 $?
help=$("$sim" --help)
check "help exit status" 0 $?
case $help in *"--strict-baud"*"--stations"*"--fault KIND"*"--control"*"Wiegand-26"*) r=documented ;; *) r=missing ;; esac
check "help text" documented "$r"

checks_done "mbpoll peer"
