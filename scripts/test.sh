#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, thread, page-script and end-to-end
# tests in the main build, then the thread tests again under ThreadSanitizer.
# End-to-end tests start their own Xvfb; no display is needed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

start=$(date +%s)
bash "$repo/scripts/build.sh"

log "running the tests"
ctest --test-dir "$build_dir" --output-on-failure --timeout 600

log "ThreadSanitizer build of the thread tests"
tsan_dir="${build_dir}-tsan"
configure_and_build "$tsan_dir" -DLUTEWYRM_SANITIZE=thread -- lutewyrm_unit_tests lutewyrm_concurrency_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$tsan_dir" --output-on-failure --timeout 600 -L "unit|threads"

log "all tests passed in $(( $(date +%s) - start )) s"
