# Run with: cmake -P page_address_test.cmake
# Which page each kind of build loads, and which builds are refused.
cmake_minimum_required(VERSION 3.22)
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/PageAddressRule.cmake")

set(local "http://127.0.0.1:47631/rpg")
set(game "https://game.example/rpg")
set(failures 0)

# given url | build type | multi-config | expected address, or ERROR
set(cases
    "|Debug|0|${local}"
    "|RelWithDebInfo|0|${local}"
    "||0|${local}"
    "${game}|Debug|0|${game}"
    "http://127.0.0.1:5000/rpg|Debug|0|http://127.0.0.1:5000/rpg"
    "|Release|0|ERROR"
    "|MinSizeRel|0|ERROR"
    "|Debug|1|ERROR"
    "||1|ERROR"
    "${game}|Release|0|${game}"
    "${game}|MinSizeRel|0|${game}"
    "${game}||1|${game}"
    "http://game.example/rpg|Release|0|ERROR"
    "https://game.example/rpg/|Release|0|ERROR"
    "https://game.example/other|Release|0|ERROR"
    "https:///rpg|Release|0|ERROR"
    "https://game.example/rpg|Custom|0|${game}"
    "|Custom|0|ERROR")

foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 given)
    list(GET fields 1 type)
    list(GET fields 2 multi)
    list(GET fields 3 expected)
    lutewyrm_page_address(address error "${given}" 47631 "${type}" "${multi}")
    if(expected STREQUAL "ERROR")
        if(NOT error OR address)
            message(SEND_ERROR "[${case}] should be refused, got address '${address}'")
            math(EXPR failures "${failures} + 1")
        endif()
    elseif(error OR NOT address STREQUAL expected)
        message(SEND_ERROR "[${case}] expected '${expected}', got '${address}' (error: '${error}')")
        math(EXPR failures "${failures} + 1")
    endif()
endforeach()

# allowed origins (, for ;) | build type | multi-config | expected list (, for ;), or ERROR
set(origin_cases
    "||0|"
    "https://login.example|Release|0|https://login.example"
    " HTTPS://Login.Example:8443 , https://b.example|Release|0|https://login.example:8443,https://b.example"
    "http://127.0.0.1:47632|Debug|0|http://127.0.0.1:47632"
    "http://login.example|Release|0|ERROR"
    "http://login.example||1|ERROR"
    "https://login.example/|Release|0|ERROR"
    "https://login.example/path|Debug|0|ERROR"
    "login.example|Debug|0|ERROR"
    "https://user@login.example|Debug|0|ERROR"
    "javascript://x|Debug|0|ERROR")

foreach(case IN LISTS origin_cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 given)
    list(GET fields 1 type)
    list(GET fields 2 multi)
    list(GET fields 3 expected)
    string(REPLACE "," ";" given "${given}")
    string(REPLACE "," ";" expected "${expected}")
    lutewyrm_allowed_origins(origins error "${given}" "${type}" "${multi}")
    if(expected STREQUAL "ERROR")
        if(NOT error OR origins)
            message(SEND_ERROR "[${case}] should be refused, got '${origins}'")
            math(EXPR failures "${failures} + 1")
        endif()
    elseif(error OR NOT "${origins}" STREQUAL "${expected}")
        message(SEND_ERROR "[${case}] expected '${expected}', got '${origins}' (error: '${error}')")
        math(EXPR failures "${failures} + 1")
    endif()
endforeach()

if(failures)
    message(FATAL_ERROR "${failures} page address case(s) failed")
endif()
message(STATUS "page address rules: all cases hold")
