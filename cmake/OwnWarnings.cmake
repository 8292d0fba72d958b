# Our own sources build with strict warnings as errors. JUCE's module sources
# share the plug-in target, so the flags go on our files, not on the target.

set(LUTEWYRM_WARNING_FLAGS)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    set(LUTEWYRM_WARNING_FLAGS -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
                               -Wconversion -Wsign-conversion -Wno-sign-conversion -Werror)
    # GCC's flow analysis is confused by sanitizer instrumentation (std::regex, std::function).
    if(LUTEWYRM_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        list(APPEND LUTEWYRM_WARNING_FLAGS -Wno-maybe-uninitialized)
    endif()
elseif(MSVC)
    set(LUTEWYRM_WARNING_FLAGS /W4 /WX)
endif()

# lutewyrm_target_sources(<target> <files>...): adds our own sources with the strict flags.
function(lutewyrm_target_sources target)
    target_sources(${target} PRIVATE ${ARGN})
    set_source_files_properties(${ARGN} TARGET_DIRECTORY ${target}
                                PROPERTIES COMPILE_OPTIONS "${LUTEWYRM_WARNING_FLAGS}")
endfunction()
