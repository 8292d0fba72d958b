#!/usr/bin/env bash
# Breaks the product on purpose and checks that the tests notice.
#
#   scripts/mutate.sh            every mutation in tests/mutations/
#   scripts/mutate.sh --quick    only those marked "quick" (CI runs these)
#   scripts/mutate.sh NAME...    the named ones (file names without .diff)
#   scripts/mutate.sh --check    builds and runs nothing: every row applies exactly
#                                to the checkout, has its header and is in the table
#
# Each tests/mutations/NAME.diff is a small patch to the product (or to our
# JUCE tree under third_party/juce), headed by:
#   # test: <CTest name, a regular expression>   the test run after the change
#   # run: <shell command>                       instead of a CTest test: a command run
#                                                in the scratch tree (the package checks)
#   # fails: <GoogleTest name>                   (optional) the case that must fail; for
#                                                "run:", a text its output must hold
#   # target: <build targets>                    what to rebuild for that test ("none": nothing)
#   # quick: yes                                 (optional) cheap enough for CI
#   # why: <one line>                            the behaviour the test stands for
# The patch is applied to a scratch copy of the tree (build-mutate/tree, with
# its own build folder at the same relative place, so ccache serves what did
# not change), built incrementally, tested, and reverted. A mutation is
# "caught" when its test fails (and, with "fails:", that case is among the
# failures); a survivor means the test cannot see the fault it names.
# Exits non-zero if any mutation survived.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

quick=0 check=0
names=()
for arg in "$@"; do
    case "$arg" in
        --quick) quick=1 ;;
        --check) check=1 ;;
        *) names+=("$arg") ;;
    esac
done

field() { sed -n "s/^# $1: //p" "$2" | head -n 1; }

mutations=()
for diff in "$repo"/tests/mutations/*.diff; do
    name=$(basename "$diff" .diff)
    if [ ${#names[@]} -gt 0 ]; then
        [[ " ${names[*]} " == *" $name "* ]] || continue
    elif [ "$quick" = 1 ]; then
        [ "$(field quick "$diff")" = yes ] || continue
    fi
    mutations+=("$diff")
done
[ ${#mutations[@]} -gt 0 ] || fail "no mutation matches"

# A row whose change no longer applies exactly would fail a full run, or with
# fuzz land somewhere else and test nothing; found here as the code changes.
if [ "$check" = 1 ]; then
    stale=0
    for diff in "${mutations[@]}"; do
        name=$(basename "$diff" .diff)
        problem=""
        if ! patch -d "$repo" -p1 --dry-run --fuzz=0 --quiet < "$diff" > /dev/null 2>&1; then
            problem="does not apply exactly to the checkout"
        elif [ -z "$(field test "$diff")$(field run "$diff")" ] || [ -z "$(field target "$diff")" ] || [ -z "$(field why "$diff")" ]; then
            problem="its header lacks test/run, target or why"
        elif ! grep -qF "| \`$name\` |" "$repo/tests/mutations.md"; then
            problem="has no row in tests/mutations.md"
        fi
        if [ -n "$problem" ]; then
            log "$name: $problem"
            stale=$((stale + 1))
        fi
    done
    log "${#mutations[@]} rows checked, $stale stale"
    [ "$stale" -eq 0 ]
    exit
fi

bash "$repo/scripts/setup.sh"

scratch="$repo/build-mutate"
tree="$scratch/tree"
mkdir -p "$tree"
log "copying the tree to $tree"
rsync -a --delete --exclude '/build*' --exclude '/.git' "$repo/" "$tree/"

# Paths are hashed relative to the scratch tree, laid out like the checkout.
export CCACHE_BASEDIR="$tree"
if [ ! -f "$tree/build/CMakeCache.txt" ]; then
    cmake -S "$tree" -B "$tree/build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
fi

caught=0 survived=0
results=()
for diff in "${mutations[@]}"; do
    name=$(basename "$diff" .diff)
    test=$(field test "$diff"); command=$(field run "$diff"); must_fail=$(field fails "$diff"); targets=$(field target "$diff")
    [ -n "$test$command" ] && [ -n "$targets" ] || fail "$name: no test or target in its header"

    patch -d "$tree" -p1 --fuzz=0 --quiet < "$diff" || fail "$name does not apply"
    log "$name: building ${targets}"
    outcome=survived
    # shellcheck disable=SC2086
    if [ "$targets" != none ] && ! cmake --build "$tree/build" --target $targets > "$scratch/$name.build.log" 2>&1; then
        outcome="did not build"
    elif [ -n "$command" ]; then
        if ! (cd "$tree" && bash -c "$command") > "$scratch/$name.log" 2>&1; then
            if [ -z "$must_fail" ] || grep -qF -- "$must_fail" "$scratch/$name.log"; then
                outcome=caught
            else
                outcome="failed elsewhere"
            fi
        fi
    elif ! ctest --test-dir "$tree/build" -R "$test" --output-on-failure --timeout 600 > "$scratch/$name.log" 2>&1; then
        if grep -q "Total Tests: 0\|No tests were found" "$scratch/$name.log"; then
            outcome="no such test"
        elif [ -z "$must_fail" ] || grep -qE "(FAILED|Failure).*${must_fail}|${must_fail}.*FAILED|not ok .*${must_fail}" "$scratch/$name.log"; then
            outcome=caught
        else
            outcome="failed elsewhere"
        fi
    fi
    patch -d "$tree" -p1 -R --fuzz=0 --quiet < "$diff" || fail "$name does not revert"

    [ "$outcome" = caught ] && caught=$((caught + 1)) || survived=$((survived + 1))
    results+=("$(printf '%-40s %-16s %s' "$name" "$outcome" "${must_fail:-$test$command}")")
    log "$name: $outcome"
done

# Leave the scratch build as the unchanged tree, for the next run.
echo
printf '%s\n' "${results[@]}"
printf '\n%d caught, %d not\n' "$caught" "$survived"
[ "$survived" -eq 0 ]
