# No release trusts the demo network's secrets: the demo signing key and the
# demo CA's key are in this repository, so anyone can sign for, or pose as, a
# network that trusts them. A build whose addresses are all on loopback is a
# demo or test build and may; any other fails here, at configure time.

# The host of scheme://host[:port], in lower case.
function(zanrok_url_host url out)
    string(REGEX REPLACE "^[A-Za-z]+://" "" rest "${url}")
    if(rest MATCHES "^(\\[[^]]*\\])")
        set(host "${CMAKE_MATCH_1}")
    else()
        string(REGEX REPLACE ":.*$" "" host "${rest}")
    endif()
    string(TOLOWER "${host}" host)
    set(${out} "${host}" PARENT_SCOPE)
endfunction()

# The key id of a minisign public key line (bytes 2 to 9 of its base64), in hex.
function(zanrok_minisign_key_id line out)
    set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
    set(bytes "")
    foreach(group 0 4 8 12)
        set(value 0)
        foreach(offset 0 1 2 3)
            math(EXPR at "${group} + ${offset}")
            string(SUBSTRING "${line}" ${at} 1 char)
            string(FIND "${alphabet}" "${char}" index)
            math(EXPR value "(${value} << 6) + ${index}")
        endforeach()
        # Three bytes as six hex digits, the leading zeros kept.
        math(EXPR value "${value} + 16777216" OUTPUT_FORMAT HEXADECIMAL)
        string(SUBSTRING "${value}" 3 6 digits)
        string(APPEND bytes "${digits}")
    endforeach()
    string(SUBSTRING "${bytes}" 4 16 id)
    set(${out} "${id}" PARENT_SCOPE)
endfunction()

set(off_loopback "")
foreach(url ZANROK_SITE_URL ZANROK_FILES_HTTPS_URL ZANROK_FILES_HTTP_URL ZANROK_FORUM_URL ZANROK_VK_URL)
    zanrok_url_host("${${url}}" host)
    if(NOT host MATCHES "^127\\.[0-9]+\\.[0-9]+\\.[0-9]+$" AND NOT host STREQUAL "localhost"
       AND NOT host STREQUAL "[::1]")
        list(APPEND off_loopback "${url}=${${url}}")
    endif()
endforeach()

if(off_loopback)
    string(REPLACE ";" ", " off_loopback "${off_loopback}")
    set(real_network "these addresses are not on loopback: ${off_loopback}")

    if(NOT ZANROK_MANIFEST_KEY AND NOT ZANROK_ALLOW_UNSIGNED_MANIFEST)
        message(FATAL_ERROR "ZANROK_MANIFEST_KEY is empty and ${real_network}. "
            "A launcher built so installs and starts whatever anyone on a player's path serves. "
            "Give the network's key, -DZANROK_MANIFEST_KEY=\"$(tail -n 1 zanrok.pub)\", "
            "or build it anyway with -DZANROK_ALLOW_UNSIGNED_MANIFEST=ON (docs/PUBLISHING.md).")
    endif()

    file(STRINGS "${CMAKE_SOURCE_DIR}/devnet/sign/demo.pub" demo_key REGEX "^RW")
    zanrok_minisign_key_id("${demo_key}" demo_id)
    foreach(key IN LISTS ZANROK_MANIFEST_KEY)
        zanrok_minisign_key_id("${key}" id)
        if(id STREQUAL demo_id)
            message(FATAL_ERROR "ZANROK_MANIFEST_KEY holds the demo network's key (devnet/sign/demo.pub), "
                "whose secret key is in this repository, and ${real_network}. "
                "Give the network's own key: -DZANROK_MANIFEST_KEY=\"$(tail -n 1 zanrok.pub)\".")
        endif()
    endforeach()

    # A bundle that holds the demo CA among others counts too; line breaks
    # and line lengths aside.
    string(REGEX REPLACE "[ \t\r\n]" "" extra_ca "${ZANROK_EXTRA_CA_PEM}")
    file(READ "${CMAKE_SOURCE_DIR}/devnet/ca/demo-ca.pem" demo_ca)
    string(REGEX REPLACE "[ \t\r\n]" "" demo_ca "${demo_ca}")
    string(REGEX MATCHALL "-----BEGINCERTIFICATE-----[^-]+-----ENDCERTIFICATE-----" demo_certificates "${demo_ca}")
    foreach(certificate IN LISTS demo_certificates)
        string(FIND "${extra_ca}" "${certificate}" found)
        if(NOT found EQUAL -1)
            message(FATAL_ERROR "ZANROK_EXTRA_CA (${ZANROK_EXTRA_CA}) holds the demo network's CA, "
                "whose key is in this repository, and ${real_network}. "
                "Leave it empty (-DZANROK_EXTRA_CA=) or give the network's own CA.")
        endif()
    endforeach()
endif()
