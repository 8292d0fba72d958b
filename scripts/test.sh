#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, thread, page-script, host and
# end-to-end tests in the main build; the Debian packages, installed and
# loaded (tests/package, as root or with sudo); the quick rows of the mutation table
# (tests/mutations.md: faults the tests must catch); then the unit and thread tests again
# under ThreadSanitizer, the unit tests under AddressSanitizer with
# UndefinedBehaviorSanitizer, and each fuzz target for LUTEWYRM_FUZZ_SECONDS
# (30 s) with libFuzzer. End-to-end tests start their own Xvfb; no display is
# needed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

start=$(date +%s)
bash "$repo/scripts/build.sh"

log "running the tests"
ctest --test-dir "$build_dir" --output-on-failure --timeout 600

log "Debian packages: made, checked by Debian's tools, installed, loaded by hosts, removed"
if [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; then
    package_dir="${build_dir}-package"
    LUTEWYRM_PACKAGE_BUILD_DIR="$package_dir" bash "$repo/scripts/package.sh"
    "$repo/tests/e2e/run-under-xvfb.sh" 1920x1080 python3 "$repo/tests/package/package_test.py" \
        --build-dir "$build_dir" --packages "$package_dir"/packages/*.deb
else
    log "skipped: installing packages needs root or sudo without a password"
fi

log "mutations the tests must catch (the quick rows of tests/mutations.md)"
bash "$repo/scripts/mutate.sh" --quick

log "ThreadSanitizer build of the thread tests"
tsan_dir="${build_dir}-tsan"
configure_and_build "$tsan_dir" -DLUTEWYRM_SANITIZE=thread -- lutewyrm_unit_tests lutewyrm_concurrency_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$tsan_dir" --output-on-failure --timeout 600 -L "unit|threads"

log "AddressSanitizer + UndefinedBehaviorSanitizer build of the unit tests"
asan_dir="${build_dir}-asan"
configure_and_build "$asan_dir" -DLUTEWYRM_SANITIZE=address,undefined -- lutewyrm_unit_tests
ASAN_OPTIONS="detect_leaks=1 abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1" \
    ctest --test-dir "$asan_dir" --output-on-failure --timeout 600 -L unit

log "fuzzing: each target for ${LUTEWYRM_FUZZ_SECONDS:=30} s (clang, libFuzzer, AddressSanitizer + UBSan)"
fuzz_dir="${build_dir}-fuzz"
# One target per seed corpus folder, as tests/fuzz/CMakeLists.txt builds them.
fuzz_targets=()
for folder in "$repo"/tests/fuzz/corpus/*/; do fuzz_targets+=("$(basename "$folder")"); done
CC=clang CXX=clang++ configure_and_build "$fuzz_dir" -DLUTEWYRM_FUZZ=ON "-DLUTEWYRM_SANITIZE=address,undefined,fuzzer-no-link" \
    -- "${fuzz_targets[@]/#/lutewyrm_fuzz_}"
for target in "${fuzz_targets[@]}"; do
    corpus="$fuzz_dir/corpus/$target"
    mkdir -p "$corpus"
    log_file="$fuzz_dir/fuzz-$target.log"
    if ! ASAN_OPTIONS="detect_leaks=1" "$fuzz_dir/tests/fuzz/lutewyrm_fuzz_$target" \
            -max_total_time="$LUTEWYRM_FUZZ_SECONDS" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
            -artifact_prefix="$fuzz_dir/" "$corpus" "$repo/tests/fuzz/corpus/$target" > "$log_file" 2>&1; then
        tail -n 60 "$log_file"
        log "fuzz target $target failed (log: $log_file)"
        exit 1
    fi
    log "$target: $(grep -E '^stat::number_of_executed_units' "$log_file" | awk '{print $2}') runs, no failures"
done

log "all tests passed in $(( $(date +%s) - start )) s"
