#!/usr/bin/env bash
# Builds the Debian packages (.deb) with CPack, into build-package*/packages.
#
#   LUTEWYRM_PAGE_URL=https://<host>/rpg bash scripts/package.sh
#       Release packages for players, loading the game server.
#   bash scripts/package.sh
#       packages of a development build that loads the stand-in page served on
#       this computer (scripts/serve_page.py): what the tests install.
#
# Prints the path of each package on its own line at the end, after "packages:".
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

page_args=()
if [ -n "${LUTEWYRM_PAGE_URL:-}" ]; then
    build_type=Release
    package_dir="${LUTEWYRM_PACKAGE_BUILD_DIR:-$repo/build-package-release}"
    page_args=("-DLUTEWYRM_PAGE_URL=$LUTEWYRM_PAGE_URL")
else
    package_dir="${LUTEWYRM_PACKAGE_BUILD_DIR:-$repo/build-package}"
    log "no LUTEWYRM_PAGE_URL: these packages load the stand-in page on this computer, not the game server"
fi

bash "$repo/scripts/setup.sh"
configure_and_build "$package_dir" -DLUTEWYRM_BUILD_TESTS=OFF -DLUTEWYRM_PACKAGING=ON "${page_args[@]}" --

log "making the packages in $package_dir/packages"
rm -rf "$package_dir/packages"
(cd "$package_dir" && cpack -G DEB --config CPackConfig.cmake > "$package_dir/cpack.log" 2>&1) \
    || { tail -n 40 "$package_dir/cpack.log"; fail "cpack failed (log: $package_dir/cpack.log)"; }

# CPack has no field for Built-Using: each package is unpacked, given the
# JUCE source package version it was built from, and packed again.
juce_version=$(cd "$repo/third_party/juce" && dpkg-parsechangelog -S Version)
debs=()
for deb in "$package_dir"/packages/*.deb; do
    work=$(mktemp -d)
    dpkg-deb -R "$deb" "$work/root"
    control="$work/root/DEBIAN/control"
    if [ "$(sed -n 's/^Architecture: //p' "$control")" != "all" ]; then
        # The control file ends in a blank line, which would start a second stanza.
        sed -i '/^$/d' "$control"
        printf 'Built-Using: juce (= %s)\n' "$juce_version" >> "$control"
    fi
    dpkg-deb --root-owner-group -Zxz --build "$work/root" "$deb" > /dev/null
    rm -rf "$work"
    debs+=("$deb")
done

log "packages:"
printf '%s\n' "${debs[@]}"
