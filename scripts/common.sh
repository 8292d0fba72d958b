# Shared settings of the project's scripts; sourced, not run.

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${LUTEWYRM_BUILD_DIR:-$repo/build}"
build_type="${LUTEWYRM_BUILD_TYPE:-RelWithDebInfo}"

# ccache hits across clones in other folders: paths are hashed relative to the
# checkout, and the compiler's working directory is not part of the hash.
export CCACHE_BASEDIR="$repo"
export CCACHE_NOHASHDIR=1
export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-8G}"

log()  { printf '[%s] %s\n' "$(basename "$0" .sh)" "$*"; }
fail() { printf '[%s] error: %s\n' "$(basename "$0" .sh)" "$*" >&2; exit 1; }

# configure_and_build <build dir> [extra cmake args...] -- [targets...]
configure_and_build() {
    local dir="$1"; shift
    local cmake_args=() targets=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do cmake_args+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    targets=("$@")
    # Configured again whenever the settings differ from the last time, so a
    # changed build type or option is never ignored in an existing folder.
    local settings="-DCMAKE_BUILD_TYPE=$build_type ${cmake_args[*]}"
    if [ ! -f "$dir/CMakeCache.txt" ] || [ "$(cat "$dir/.lutewyrm-settings" 2>/dev/null)" != "$settings" ]; then
        log "configuring $dir ($settings)"
        cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" "${cmake_args[@]}"
        printf '%s' "$settings" > "$dir/.lutewyrm-settings"
    fi
    log "building ${targets[*]:-all} in $dir"
    cmake --build "$dir" ${targets[@]:+--target "${targets[@]}"}
}

# The page address the build was configured with.
page_url() {
    sed -n 's/^LUTEWYRM_PAGE_ADDRESS:INTERNAL=//p' "$build_dir/CMakeCache.txt" | head -n 1
}
page_port() {
    page_url | sed -n 's#^http://127\.0\.0\.1:\([0-9]*\)/.*#\1#p'
}
