# The hardening flags of Debian's own packages (dpkg-buildflags with
# hardening=+all), on every Linux build that is not a sanitizer build: the
# binaries the tests run are the binaries the packages ship.
#
# _FORTIFY_SOURCE needs an optimising build, so Debug builds go without it;
# sanitizer builds go without all of it, as the sanitizers replace the checked
# functions themselves.

if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT LUTEWYRM_SANITIZE
   AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security
                        "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>")
    add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
