# Run with: cmake -DSOURCE_DIR=<repo> -DREAL_MARKER=<third_party/juce/.lutewyrm-ready> -P juce_tree_test.cmake
# A JUCE tree without our patch series is refused, unless the build is told
# loudly to accept it. The stand-in tree stops the configure as soon as it is
# reached, so each case only shows whether the check let it through. The
# accepted marker is the one scripts/setup.sh wrote for the real tree: the
# shell's id and the build's must agree.
cmake_minimum_required(VERSION 3.22)

set(work "${CMAKE_CURRENT_BINARY_DIR}/juce-tree-test")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}/juce")
file(WRITE "${work}/juce/CMakeLists.txt" "message(FATAL_ERROR \"stand-in JUCE reached\")\n")
file(READ "${REAL_MARKER}" real_marker)

# marker text ("" for none) | extra option | expected output | output that must not appear
set(cases
    "||does not carry our patch series|stand-in JUCE reached"
    "juce 0 + 000000000000||does not carry our patch series|stand-in JUCE reached"
    "${real_marker}||stand-in JUCE reached|does not carry"
    "|-DLUTEWYRM_ACCEPT_UNPATCHED_JUCE=ON|WITHOUT our JUCE patch series.*stand-in JUCE reached|does not carry"
)

set(failures 0)
set(index 0)
foreach(c IN LISTS cases)
    string(REPLACE "|" ";" fields "${c}")
    list(GET fields 0 marker)
    list(GET fields 1 option)
    list(GET fields 2 expected)
    list(GET fields 3 unexpected)
    file(REMOVE "${work}/juce/.lutewyrm-ready")
    if(NOT marker STREQUAL "")
        file(WRITE "${work}/juce/.lutewyrm-ready" "${marker}")
    endif()
    math(EXPR index "${index} + 1")
    execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${work}/build-${index}" -G Ninja
                            "-DLUTEWYRM_JUCE_DIR=${work}/juce" ${option}
                    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result)
    string(REGEX REPLACE "[ \t\n]+" " " all "${out} ${err}")      # messages are wrapped
    if(NOT all MATCHES "${expected}" OR all MATCHES "${unexpected}" OR result EQUAL 0)
        message(SEND_ERROR "case ${index} (marker '${marker}', '${option}'): expected '${expected}', got: ${all}")
        math(EXPR failures "${failures} + 1")
    endif()
endforeach()

file(REMOVE_RECURSE "${work}")
if(failures GREATER 0)
    message(FATAL_ERROR "${failures} case(s) failed")
endif()
message(STATUS "all JUCE tree cases passed")
