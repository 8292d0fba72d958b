# The JUCE 8 tree we build against. scripts/setup.sh fetches Debian's JUCE
# source package into third_party/juce and applies our patch series
# (patches/); another tree must be patched with scripts/patch_juce.sh first.
#
# The product relies on those patches (the shell quoting of links, the JSON
# and VST3 fixes, the web view's doors), so a tree that does not carry the
# series is refused: its marker, written once every patch has been checked to
# be in the tree, must name the series' id. LUTEWYRM_ACCEPT_UNPATCHED_JUCE=ON
# builds anyway, with a warning on every configure.

set(LUTEWYRM_JUCE_DIR "${PROJECT_SOURCE_DIR}/third_party/juce" CACHE PATH "Path to a JUCE 8 source tree")
option(LUTEWYRM_ACCEPT_UNPATCHED_JUCE "Build against a JUCE tree without our patch series (unsafe)" OFF)

if(NOT EXISTS "${LUTEWYRM_JUCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR
        "No JUCE tree at '${LUTEWYRM_JUCE_DIR}'. "
        "Run scripts/setup.sh, or pass -DLUTEWYRM_JUCE_DIR=<path to JUCE 8> after scripts/patch_juce.sh <path>.")
endif()

# The same id as scripts/juce_patches.sh: SHA-256 over the patches' own
# SHA-256 sums, one a line, in file-name order.
file(GLOB lutewyrm_patches "${PROJECT_SOURCE_DIR}/patches/*.patch")
list(SORT lutewyrm_patches)
set(lutewyrm_patch_sums "")
foreach(patch_file IN LISTS lutewyrm_patches)
    file(SHA256 "${patch_file}" patch_sum)
    string(APPEND lutewyrm_patch_sums "${patch_sum}\n")
endforeach()
string(SHA256 lutewyrm_series_id "${lutewyrm_patch_sums}")
string(SUBSTRING "${lutewyrm_series_id}" 0 12 lutewyrm_series_id)

# Configure again when the series or the marker changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${lutewyrm_patches})
set(lutewyrm_marker "${LUTEWYRM_JUCE_DIR}/.lutewyrm-ready")
set(lutewyrm_marker_text "")
if(EXISTS "${lutewyrm_marker}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${lutewyrm_marker}")
    file(READ "${lutewyrm_marker}" lutewyrm_marker_text)
endif()

if(NOT lutewyrm_marker_text MATCHES "\\+ ${lutewyrm_series_id}")
    if(LUTEWYRM_ACCEPT_UNPATCHED_JUCE)
        message(WARNING
            "Building against '${LUTEWYRM_JUCE_DIR}' WITHOUT our JUCE patch series ${lutewyrm_series_id} "
            "(LUTEWYRM_ACCEPT_UNPATCHED_JUCE=ON). The product relies on those fixes, some of them for its "
            "security: never ship this build.")
    else()
        message(FATAL_ERROR
            "The JUCE tree '${LUTEWYRM_JUCE_DIR}' does not carry our patch series ${lutewyrm_series_id} "
            "(patches/). Run scripts/setup.sh for the default tree, or scripts/patch_juce.sh <tree> for "
            "another one. To build anyway (never for players): -DLUTEWYRM_ACCEPT_UNPATCHED_JUCE=ON.")
    endif()
endif()

add_subdirectory("${LUTEWYRM_JUCE_DIR}" juce EXCLUDE_FROM_ALL)
