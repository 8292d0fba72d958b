# The game page address is fixed in the program at build time.
#
# A release build must name the game server explicitly (https://<host>/rpg);
# every other build loads the stand-in page that scripts/run.sh serves locally.

set(LUTEWYRM_LOCAL_PAGE_PORT 47631 CACHE STRING "Port of the locally served stand-in page")
set(LUTEWYRM_PAGE_URL "" CACHE STRING "Address of the game page (https://<host>/rpg)")

if(CMAKE_BUILD_TYPE STREQUAL "Release")
    if(NOT LUTEWYRM_PAGE_URL)
        message(FATAL_ERROR "A release build needs the game page address: -DLUTEWYRM_PAGE_URL=https://<host>/rpg")
    endif()
    if(NOT LUTEWYRM_PAGE_URL MATCHES "^https://[^/]+/rpg$")
        message(FATAL_ERROR "LUTEWYRM_PAGE_URL must have the form https://<host>/rpg, got '${LUTEWYRM_PAGE_URL}'")
    endif()
endif()

if(NOT LUTEWYRM_PAGE_URL)
    set(LUTEWYRM_PAGE_URL "http://127.0.0.1:${LUTEWYRM_LOCAL_PAGE_PORT}/rpg")
endif()

message(STATUS "Game page: ${LUTEWYRM_PAGE_URL}")
