# Our patch series for JUCE (patches/): its id, applying it, checking that a
# tree carries it. Sourced by setup.sh and patch_juce.sh, after common.sh.

# The series' id: the first 12 hex digits of the SHA-256 of the patches'
# own SHA-256 sums, one a line, in file-name order. cmake/JuceTree.cmake
# computes the same and refuses a tree whose marker does not carry it.
patch_series_id() {
    if compgen -G "$repo/patches/*.patch" >/dev/null; then
        sha256sum "$repo"/patches/*.patch | cut -d' ' -f1 | sha256sum | cut -c1-12
    else
        echo "no patches"
    fi
}

# Marks a tree as carrying this series (after apply_patches or verify_patches).
mark_patched() {
    printf '%s + %s\n' "$2" "$(patch_series_id)" > "$1/.lutewyrm-ready"
}

# Our fixes to JUCE itself, applied in order; each must apply cleanly, and is
# then checked by reversing it in a dry run (so it is really in the tree).
apply_patches() {
    local tree="$1"
    compgen -G "$repo/patches/*.patch" >/dev/null || return 0
    for p in "$repo"/patches/*.patch; do
        log "applying $(basename "$p")"
        patch -d "$tree" -p1 --forward --dry-run --quiet < "$p" >/dev/null \
            || fail "patch $(basename "$p") does not apply to this JUCE tree"
        patch -d "$tree" -p1 --forward --quiet < "$p" >/dev/null
    done
    verify_patches "$tree"
}

verify_patches() {
    local tree="$1"
    compgen -G "$repo/patches/*.patch" >/dev/null || return 0
    local reversed=()
    # Reverse in the opposite order, on a scratch copy of the touched files.
    local scratch
    scratch=$(mktemp -d)
    cp -a "$tree/modules" "$scratch/"
    for p in $(ls -r "$repo"/patches/*.patch); do
        patch -d "$scratch" -p1 -R --quiet < "$p" >/dev/null \
            || { rm -rf "$scratch"; fail "patch $(basename "$p") is not in the JUCE tree"; }
        reversed+=("$(basename "$p")")
    done
    rm -rf "$scratch"
    log "verified: ${reversed[*]}"
}
