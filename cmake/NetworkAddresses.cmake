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
# The demo network's key (devnet/sign/demo.pub); it guards nothing else.
set(ZANROK_MANIFEST_KEY "RWTfC/b9oCNGfAf/ULSM7aux0A5Btp9WQkMxIL9A39WLkLlBN8voRowF" CACHE STRING
    "minisign public keys (base64 lines, ';' between two) that must sign the manifest (empty: no check)")
set(ZANROK_MANIFEST_MIN_TIMESTAMP "0" CACHE STRING
    "No manifest signed before this time (seconds since 1970) is taken, even on a first run")
option(ZANROK_ALLOW_UNSIGNED_MANIFEST
       "Build for addresses off loopback with an empty ZANROK_MANIFEST_KEY: the manifest is taken unchecked" OFF)

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

list(LENGTH ZANROK_MANIFEST_KEY manifest_key_count)
if(manifest_key_count GREATER 2)
    message(FATAL_ERROR "ZANROK_MANIFEST_KEY holds at most two keys: '${ZANROK_MANIFEST_KEY}'")
endif()
# A minisign public key line: "Ed", the key id and the key, 42 bytes in base64.
foreach(key IN LISTS ZANROK_MANIFEST_KEY)
    string(LENGTH "${key}" key_length)
    if(NOT key MATCHES "^RW[A-Za-z0-9+/]+$" OR NOT key_length EQUAL 56)
        message(FATAL_ERROR "ZANROK_MANIFEST_KEY: '${key}' is not a minisign public key line")
    endif()
endforeach()

string(LENGTH "${ZANROK_MANIFEST_MIN_TIMESTAMP}" floor_length)
if(NOT ZANROK_MANIFEST_MIN_TIMESTAMP MATCHES "^[0-9]+$" OR floor_length GREATER 10
   OR ZANROK_MANIFEST_MIN_TIMESTAMP GREATER 4294967296)
    message(FATAL_ERROR "ZANROK_MANIFEST_MIN_TIMESTAMP must be seconds since 1970: '${ZANROK_MANIFEST_MIN_TIMESTAMP}'")
endif()

set(ZANROK_EXTRA_CA_PEM "")
if(ZANROK_EXTRA_CA)
    if(NOT EXISTS "${ZANROK_EXTRA_CA}")
        message(FATAL_ERROR "ZANROK_EXTRA_CA names a missing file: ${ZANROK_EXTRA_CA}")
    endif()
    file(READ "${ZANROK_EXTRA_CA}" ZANROK_EXTRA_CA_PEM)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZANROK_EXTRA_CA}")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/ReleaseGuard.cmake)

configure_file(${CMAKE_SOURCE_DIR}/platform/buildconfig.h.in
               ${CMAKE_BINARY_DIR}/generated/buildconfig.h @ONLY)
