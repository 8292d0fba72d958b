# Which game page a build loads, decided from its settings.
#
# Builds that can reach players (Release, MinSizeRel, and every build of a
# multi-configuration generator such as Visual Studio, which builds Release from
# the same configure) must name the game server as https://<host>/rpg.
# Single-configuration development builds (Debug, RelWithDebInfo, or no type)
# may leave it out and load the stand-in page served on the local port.
#
# Sets <out_address> to the address, or leaves it empty and sets <out_error>.
function(lutewyrm_page_address out_address out_error given_url local_port build_type multi_config)
    set(address "")
    set(error "")
    lutewyrm_build_reaches_players(reaches_players "${build_type}" "${multi_config}")

    if(reaches_players)
        if(NOT given_url)
            set(error "This build can reach players and needs the game page address: -DLUTEWYRM_PAGE_URL=https://<host>/rpg")
        elseif(NOT given_url MATCHES "^https://[^/]+/rpg$")
            set(error "LUTEWYRM_PAGE_URL must have the form https://<host>/rpg, got '${given_url}'")
        else()
            set(address "${given_url}")
        endif()
    elseif(given_url)
        set(address "${given_url}")
    else()
        set(address "http://127.0.0.1:${local_port}/rpg")
    endif()

    set(${out_address} "${address}" PARENT_SCOPE)
    set(${out_error} "${error}" PARENT_SCOPE)
endfunction()

# Sets <out> to TRUE for builds that can reach players.
function(lutewyrm_build_reaches_players out build_type multi_config)
    set(development_types Debug RelWithDebInfo "")

    if(multi_config OR NOT build_type IN_LIST development_types)
        set(${out} TRUE PARENT_SCOPE)
    else()
        set(${out} FALSE PARENT_SCOPE)
    endif()
endfunction()

# The origins besides the game's that may load in the view (a sign-in
# provider, say), from a ;-separated list. Each must be an origin:
# scheme://host[:port], nothing after it; builds that reach players take
# https only. Sets <out_origins> to the lower-cased list, or <out_error>.
function(lutewyrm_allowed_origins out_origins out_error given build_type multi_config)
    lutewyrm_build_reaches_players(reaches_players "${build_type}" "${multi_config}")
    set(origins "")
    set(error "")

    foreach(entry IN LISTS given)
        string(STRIP "${entry}" entry)
        string(TOLOWER "${entry}" entry)

        if(entry STREQUAL "")
            continue()
        endif()

        if(NOT entry MATCHES "^https?://[a-z0-9.-]+(:[0-9]+)?$")
            set(error "LUTEWYRM_ALLOWED_ORIGINS: '${entry}' is not an origin (scheme://host[:port])")
            break()
        endif()

        if(reaches_players AND NOT entry MATCHES "^https://")
            set(error "LUTEWYRM_ALLOWED_ORIGINS: builds that reach players allow https origins only, not '${entry}'")
            break()
        endif()

        list(APPEND origins "${entry}")
    endforeach()

    if(error)
        set(origins "")
    endif()

    set(${out_origins} "${origins}" PARENT_SCOPE)
    set(${out_error} "${error}" PARENT_SCOPE)
endfunction()
