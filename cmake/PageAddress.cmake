# The game page address is fixed in the program at build time.
#
# LUTEWYRM_PAGE_URL is what the builder asked for; LUTEWYRM_PAGE_ADDRESS is what
# the build loads. The latter is kept in the cache so that the scripts can read
# it back (scripts/common.sh).

include(PageAddressRule)

set(LUTEWYRM_LOCAL_PAGE_PORT 47631 CACHE STRING "Port of the locally served stand-in page")
set(LUTEWYRM_PAGE_URL "" CACHE STRING "Address of the game page (https://<host>/rpg)")

get_property(lutewyrm_multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
lutewyrm_page_address(address error
    "${LUTEWYRM_PAGE_URL}" "${LUTEWYRM_LOCAL_PAGE_PORT}" "${CMAKE_BUILD_TYPE}" "${lutewyrm_multi_config}")
if(error)
    message(FATAL_ERROR "${error}")
endif()

set(LUTEWYRM_PAGE_ADDRESS "${address}" CACHE INTERNAL "Address of the game page this build loads")

set(LUTEWYRM_ALLOWED_ORIGINS "" CACHE STRING "Origins besides the game's that may load in the view (https://a.example;https://b.example)")
lutewyrm_allowed_origins(LUTEWYRM_ALLOWED_ORIGIN_LIST error
    "${LUTEWYRM_ALLOWED_ORIGINS}" "${CMAKE_BUILD_TYPE}" "${lutewyrm_multi_config}")
if(error)
    message(FATAL_ERROR "${error}")
endif()

# Tests that need the page served on this machine are only added for such builds.
if(LUTEWYRM_PAGE_ADDRESS MATCHES "^http://127\\.0\\.0\\.1:")
    set(LUTEWYRM_LOADS_LOCAL_PAGE TRUE)
else()
    set(LUTEWYRM_LOADS_LOCAL_PAGE FALSE)
endif()

message(STATUS "Game page: ${LUTEWYRM_PAGE_ADDRESS}")
if(LUTEWYRM_ALLOWED_ORIGIN_LIST)
    message(STATUS "Also allowed in the view: ${LUTEWYRM_ALLOWED_ORIGIN_LIST}")
endif()
