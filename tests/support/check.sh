# Sourced by the shell tests: check counts what matches and prints what does
# not; checks_done prints the tally and fails on any mismatch.
passed=0 failed=0

check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
    fi
}

checks_done() {  # checks_done NAME
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
