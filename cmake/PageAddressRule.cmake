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
    set(development_types Debug RelWithDebInfo "")

    if(multi_config OR NOT build_type IN_LIST development_types)
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
