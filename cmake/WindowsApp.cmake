# Windows-only settings of the product. Nothing here can be compiled on the
# Linux build machines; see the README for what is verified where.
#
# - The web view is WebView2, loaded at run time by the plain file name
#   "WebView2Loader.dll" (no static loader library), so only its headers are
#   needed: point JUCE_WEBVIEW2_PACKAGE_LOCATION at the unpacked NuGet package
#   Microsoft.Web.WebView2 if it is not in the default NuGet folder.
# - Version resource and icons come from JUCE's generated resources.rc:
#   block 040904E4 with CompanyName, FileDescription, FileVersion, ProductName,
#   ProductVersion (no copyright is set, so no LegalCopyright entry), and the
#   icon groups IDI_ICON1 / IDI_ICON2 made from app/icons.
# - The manifest asks for asInvoker and Common Controls 6.0.0.0; the linker's
#   own UAC fragment is switched off so the manifest is the only one.
# - The runtime is linked statically (CMAKE_MSVC_RUNTIME_LIBRARY in Toolchain.cmake).

function(lutewyrm_configure_windows target)
    target_compile_definitions(${target} PUBLIC JUCE_USE_WIN_WEBVIEW2=1)

    # The editor's page-event key comes from BCryptGenRandom.
    target_link_libraries(${target} PRIVATE bcrypt)

    list(APPEND CMAKE_MODULE_PATH "${JUCE_CMAKE_UTILS_DIR}")
    find_package(WebView2 QUIET)
    if(WebView2_FOUND)
        target_include_directories(${target} PRIVATE ${WebView2_INCLUDE_DIRS})
    else()
        message(WARNING "WebView2 headers not found: set JUCE_WEBVIEW2_PACKAGE_LOCATION")
    endif()

    set(manifest "${PROJECT_SOURCE_DIR}/app/windows/LutewyrmRPG.manifest")

    if(TARGET ${target}_Standalone)
        target_sources(${target}_Standalone PRIVATE "${manifest}")
        target_link_options(${target}_Standalone PRIVATE /MANIFESTUAC:NO /SUBSYSTEM:WINDOWS,6.00)
    endif()
endfunction()
