#!/usr/bin/env bash
# Installs what the build and the tests need, and fetches the JUCE 8 source.
#
# Idempotent: every step checks first and only does work that is missing.
# JUCE 8 is not packaged for Debian 12, so we take the source package of the
# next Debian release through apt (with Debian's own patches applied) into
# third_party/juce, then apply our own small patch series from patches/.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$repo/scripts/juce_patches.sh"

juce_dir="$repo/third_party/juce"
juce_release="trixie"


sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || fail "not root and no sudo: install the packages listed in scripts/setup.sh by hand"
    sudo_cmd=(sudo)
fi

build_packages=(
    build-essential cmake ninja-build ccache pkg-config dpkg-dev
    libasound2-dev libfreetype-dev libfontconfig-dev libx11-dev libxext-dev
    libxrandr-dev libxinerama-dev libxcursor-dev libxrender-dev
    libgtk-3-dev libwebkit2gtk-4.1-dev libcurl4-openssl-dev
    libpng-dev libjpeg-dev zlib1g-dev
)
test_packages=(
    libgtest-dev libbenchmark-dev nodejs python3
    xvfb xauth xdotool zenity x11-apps imagemagick openssl strace
    lv2-dev lilv-utils sordi jalv jackd2 clang libclang-rt-14-dev rsync
    lintian desktop-file-utils appstream
)

install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    log "installing: ${missing[*]}"
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The Debian archive address this machine already uses; we never name a mirror.
debian_archive_uri() {
    local uri=""
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; ++i) if ($i !~ /-security\/?$/) { print $i; exit } }' \
                  /etc/apt/sources.list.d/debian.sources)
    fi
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
              | awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; ++i) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }')
    fi
    [ -n "$uri" ] || fail "cannot find the Debian archive address in the apt configuration"
    printf '%s\n' "$uri"
}

fetch_juce() {
    if [ -f "$juce_dir/.lutewyrm-ready" ]; then
        log "JUCE source present: $juce_dir ($(cat "$juce_dir/.lutewyrm-ready"))"
        return 0
    fi
    local uri work
    uri=$(debian_archive_uri)
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    log "fetching the juce source package of Debian $juce_release from $uri"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/sources.list.d"
    printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
        "$uri" "$juce_release" > "$work/sources.list"
    cat > "$work/apt.conf" <<CONF
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "$work/sources.list.d";
Dir::State::Lists "$work/lists";
Dir::Cache "$work/cache";
CONF
    APT_CONFIG="$work/apt.conf" apt-get update -qq -o APT::Sandbox::User=root
    (cd "$work" && APT_CONFIG="$work/apt.conf" apt-get source -qq -o APT::Sandbox::User=root juce >/dev/null)
    local src
    src=$(find "$work" -maxdepth 1 -type d -name 'juce-*' | head -n 1)
    [ -n "$src" ] && [ -f "$src/CMakeLists.txt" ] || fail "apt-get source juce did not give a source tree"
    local version
    version=$(cd "$src" && dpkg-parsechangelog -S Version)
    rm -rf "$juce_dir.tmp"
    mkdir -p "$(dirname "$juce_dir")"
    mv "$src" "$juce_dir.tmp"
    apply_patches "$juce_dir.tmp"
    rm -rf "$juce_dir"
    mv "$juce_dir.tmp" "$juce_dir"
    mark_patched "$juce_dir" "juce $version"
    log "JUCE $version ready in $juce_dir"
}

# The page tests' own tool, the TypeScript compiler, from the npm registry at
# the version tests/page/package-lock.json pins.
install_page_test_tools() {
    local dir="$repo/tests/page" wanted
    wanted=$(sed -n 's/.*"typescript": "\([0-9.]*\)".*/\1/p' "$dir/package.json" | head -n 1)
    if [ -x "$dir/node_modules/.bin/tsc" ] && "$dir/node_modules/.bin/tsc" --version | grep -qF "$wanted"; then
        return 0
    fi
    command -v npm >/dev/null || install_missing npm
    log "installing the page tests' tools (npm ci in tests/page)"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
}

install_missing "${build_packages[@]}"
if [ "${LUTEWYRM_SETUP_TESTS:-1}" = "1" ]; then
    install_missing "${test_packages[@]}"
    install_page_test_tools
fi

# A tree fetched before the patch series changed is fetched again.
if [ -f "$juce_dir/.lutewyrm-ready" ] && ! grep -q "$(patch_series_id)" "$juce_dir/.lutewyrm-ready"; then
    log "patch series changed: fetching JUCE again"
    rm -rf "$juce_dir"
fi
fetch_juce
