# SPDX-License-Identifier: BSD-2-Clause
# What the shell tests share, sourced by them: counting passed and failed checks, and the
# closing line "N passed, N failed" with a status that says whether all passed.
PASSED=0
FAILED=0
pass() { PASSED=$((PASSED + 1)); }
fail() { FAILED=$((FAILED + 1)); echo "FAIL $*"; }
# check WHAT EXPECTED ACTUAL
check() {
    if [ "$2" = "$3" ]; then
        pass
    else
        FAILED=$((FAILED + 1))
        printf 'FAIL %s\n--- expected\n%s\n--- actual\n%s\n' "$1" "$2" "$3"
    fi
}
finish() {
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
}
