# The network's addresses, fixed when the launcher is built. The defaults point
# at the local demo network on loopback (devnet/), so that a fresh clone runs.
set(ZANROK_SITE_URL "https://127.0.0.1:7443" CACHE STRING
    "Main web host: scheme://host[:port] (news, stats, pages)")
set(ZANROK_FILES_HTTPS_URL "https://127.0.0.1:7444" CACHE STRING
    "Static file host over HTTPS (launcher version text)")
set(ZANROK_FILES_HTTP_URL "http://127.0.0.1:7080" CACHE STRING
    "Static file host over plain HTTP (file manifest)")
set(ZANROK_FORUM_URL "https://127.0.0.1:7445" CACHE STRING
    "Root page of the network's forum site")
set(ZANROK_VK_URL "https://127.0.0.1:7446" CACHE STRING
    "The VK site; the header link adds /Zanrok")
set(ZANROK_EXTRA_CA "${CMAKE_SOURCE_DIR}/devnet/ca/demo-ca.pem" CACHE FILEPATH
    "Optional PEM file of extra trusted CA certificates, built in (empty: none)")

# Pages opened in the browser and the verified fetches go over HTTPS; the
# manifest host is plain HTTP.
foreach(url ZANROK_SITE_URL ZANROK_FILES_HTTPS_URL ZANROK_FORUM_URL ZANROK_VK_URL)
    if(NOT ${url} MATCHES "^https://[^/\"\\\\ ]+$")
        message(FATAL_ERROR "${url} must be https://host[:port] with no path: '${${url}}'")
    endif()
endforeach()
if(NOT ZANROK_FILES_HTTP_URL MATCHES "^http://[^/\"\\\\ ]+$")
    message(FATAL_ERROR "ZANROK_FILES_HTTP_URL must be http://host[:port] with no path: '${ZANROK_FILES_HTTP_URL}'")
endif()

set(ZANROK_EXTRA_CA_PEM "")
if(ZANROK_EXTRA_CA)
    if(NOT EXISTS "${ZANROK_EXTRA_CA}")
        message(FATAL_ERROR "ZANROK_EXTRA_CA names a missing file: ${ZANROK_EXTRA_CA}")
    endif()
    file(READ "${ZANROK_EXTRA_CA}" ZANROK_EXTRA_CA_PEM)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZANROK_EXTRA_CA}")
endif()

configure_file(${CMAKE_SOURCE_DIR}/platform/buildconfig.h.in
               ${CMAKE_BINARY_DIR}/generated/buildconfig.h @ONLY)
