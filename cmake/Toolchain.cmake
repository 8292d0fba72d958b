# Compiler launcher and build-wide settings.

find_program(LUTEWYRM_CCACHE ccache)
if(LUTEWYRM_CCACHE)
    set(CMAKE_C_COMPILER_LAUNCHER "${LUTEWYRM_CCACHE}")
    set(CMAKE_CXX_COMPILER_LAUNCHER "${LUTEWYRM_CCACHE}")
endif()

# The Windows executable links its runtime statically, so it needs nothing
# beside the system's own libraries (and WebView2Loader.dll next to it).
set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")

# One sanitizer build per build directory: LUTEWYRM_SANITIZE=address,undefined or thread.
set(LUTEWYRM_SANITIZE "" CACHE STRING "Sanitizers to build with (e.g. address,undefined or thread)")
if(LUTEWYRM_SANITIZE)
    add_compile_options(-fsanitize=${LUTEWYRM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${LUTEWYRM_SANITIZE})
endif()
