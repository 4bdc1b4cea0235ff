# Sourced by the shell tests: readersim in the background, serving TCP on a
# free loopback port (and whatever else ARGS ask for, a pty among them).
# start_readersim READERSIM DIR ARGS...: its output goes to DIR/sim.out and
# DIR/sim.log; sets sim (its pid) and port once it serves, or says why not
# and returns 1. Its ports-directory entry is made before it says so.
start_readersim() {
    local program=$1 dir=$2
    shift 2
    "$program" --tcp 0 "$@" >"$dir/sim.out" 2>"$dir/sim.log" &
    sim=$!
    for _ in $(seq 100); do
        grep -q 'tcp 127.0.0.1:' "$dir/sim.out" 2>/dev/null && break
        sleep 0.05
    done
    port=$(sed -n 's/.*tcp 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$dir/sim.out")
    [ -n "$port" ] && return 0
    echo "readersim did not start" >&2
    cat "$dir/sim.out" "$dir/sim.log" >&2
    return 1
}
