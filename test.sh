#!/usr/bin/env bash
# Builds everything and runs every test: in the normal build, again with
# the collector's torture switch, and built with AddressSanitizer and
# UndefinedBehaviorSanitizer, with and without torture. Ends with the line
# "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")"
. tools/ensure-packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" || exit 1

jobs=$(nproc)
passed=0
failed=0
failures=""
# Tests of a display server, of pictures and of speed run in the plain pass
# only: the labels PLAIN_PASS_LABELS names in tests/CMakeLists.txt.
plain_only='^(xvfb|screenshot|speed)$'

run_suite() {   # build directory, cmake options...; $skip_labels: a label regex left out
    local dir=$1; shift
    local started=$SECONDS
    local what="$dir${VUM_GC_TORTURE:+ under torture}"
    local leave_out=()
    if [ -n "${skip_labels:-}" ]; then
        leave_out=(-LE "$skip_labels")
    fi
    if ! { cmake -S . -B "$dir" -G Ninja -DVUM_WERROR=ON "$@" >/dev/null && cmake --build "$dir"; }; then
        echo "build in $dir failed"
        failed=$((failed + 1))
        return
    fi
    local log="$dir/ctest.log"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure "${leave_out[@]}" 2>&1 | tee "$log"
    local line
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        return
    fi
    # The names of failed tests, repeated at the end where a log's tail shows them.
    failures+=$(awk -v what="$what" '/^The following tests FAILED:/ { on = 1; next }
        on && /^[ \t]+[0-9]+ - / { sub(/^[ \t]+/, ""); print "  " what ": " $0; next }
        { on = 0 }' "$log")
    failures+=$'\n'
    local bad total
    bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    echo "pass $what: $((total - bad)) passed, $bad failed, $((SECONDS - started)) s"
}

run_suite build
# Every allocation collects and moves every live buffer.
VUM_GC_TORTURE=1 skip_labels=$plain_only run_suite build
skip_labels=$plain_only run_suite build-sanitize -DVUM_SANITIZE=ON
VUM_GC_TORTURE=1 skip_labels=$plain_only run_suite build-sanitize -DVUM_SANITIZE=ON

if [ -n "${failures//$'\n'/}" ]; then
    echo "failed tests:"
    printf '%s' "$failures" | grep -v '^$'
fi
total=$SECONDS
echo "all passes: $total s ($((total / 60)) min $((total % 60)) s) on $jobs cores"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
