# The JUCE 8 tree we build against. scripts/setup.sh fetches Debian's JUCE
# source package into third_party/juce; any other JUCE 8 tree works too.

set(LUTEWYRM_JUCE_DIR "${PROJECT_SOURCE_DIR}/third_party/juce" CACHE PATH "Path to a JUCE 8 source tree")

if(NOT EXISTS "${LUTEWYRM_JUCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR
        "No JUCE tree at '${LUTEWYRM_JUCE_DIR}'. "
        "Run scripts/setup.sh, or pass -DLUTEWYRM_JUCE_DIR=<path to JUCE 8>.")
endif()

add_subdirectory("${LUTEWYRM_JUCE_DIR}" juce EXCLUDE_FROM_ALL)
