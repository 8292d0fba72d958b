#!/usr/bin/env bash
# patch_juce.sh <JUCE tree>
#
# Applies our patch series to another JUCE 8 tree (one given to the build with
# -DLUTEWYRM_JUCE_DIR), checks each patch is in it, and marks the tree so the
# build accepts it. A tree that already carries the series is only checked
# and marked. Stops at the first patch that does not apply.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$repo/scripts/juce_patches.sh"

[ $# -eq 1 ] && [ -f "$1/CMakeLists.txt" ] || fail "usage: patch_juce.sh <JUCE tree>"
tree=$(cd "$1" && pwd)

if ( verify_patches "$tree" ) >/dev/null 2>&1; then
    log "the tree already carries the series"
else
    apply_patches "$tree"
fi
mark_patched "$tree" "juce $(basename "$tree")"
log "marked: $(cat "$tree/.lutewyrm-ready")"
