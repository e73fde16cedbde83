# Build-time constants of the launcher. Operators set these for their service;
# the defaults are placeholders under the reserved .example domain.
set(VANTOR_UPDATE_HOST "updates.vantor.example" CACHE STRING "Update host (DNS name) serving /patch/")
set(VANTOR_UPDATE_PORT "443" CACHE STRING "HTTPS port of the update host")
set(VANTOR_GAME_SERVER_HOST "game.vantor.example" CACHE STRING "Game server host name")
set(VANTOR_GAME_SERVER_PORT "6900" CACHE STRING "Game server TCP port")
set(VANTOR_WEBSITE_BASE "https://www.vantor.example" CACHE STRING "Service website, https, no trailing slash")
set(VANTOR_MANIFEST_KEY_MODULUS
    "wAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAQ=="
    CACHE STRING "Base64 (344 characters) of the 2048-bit manifest signing key's modulus")
set(VANTOR_CLIENT_SHA256 "0000000000000000000000000000000000000000000000000000000000000000"
    CACHE STRING "SHA-256 (64 hex digits) of the game client executable")

function(vantor_config_fail name value why)
    message(FATAL_ERROR "Invalid ${name}=\"${value}\": ${why}")
endfunction()

foreach(var VANTOR_UPDATE_HOST VANTOR_GAME_SERVER_HOST)
    # Host names reach WinHTTP, the resolver and a byte search of clientinfo.xml as ASCII.
    if(NOT ${var} MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
        vantor_config_fail(${var} "${${var}}" "expected a DNS host name (letters, digits, dots, hyphens)")
    endif()
endforeach()
foreach(var VANTOR_UPDATE_PORT VANTOR_GAME_SERVER_PORT)
    if(NOT ${var} MATCHES "^[1-9][0-9]*$" OR ${var} GREATER 65535)
        vantor_config_fail(${var} "${${var}}" "expected a port number from 1 to 65535")
    endif()
endforeach()
if(NOT VANTOR_WEBSITE_BASE MATCHES "^https://[A-Za-z0-9.-]+(:[0-9]+)?(/[^ \"]*)?$")
    vantor_config_fail(VANTOR_WEBSITE_BASE "${VANTOR_WEBSITE_BASE}" "expected an https:// address")
endif()
if(VANTOR_WEBSITE_BASE MATCHES "/$")
    vantor_config_fail(VANTOR_WEBSITE_BASE "${VANTOR_WEBSITE_BASE}" "must not end with a slash")
endif()
string(LENGTH "${VANTOR_MANIFEST_KEY_MODULUS}" modulus_length)
if(NOT modulus_length EQUAL 344)
    vantor_config_fail(VANTOR_MANIFEST_KEY_MODULUS "${VANTOR_MANIFEST_KEY_MODULUS}"
                       "expected 344 Base64 characters, got ${modulus_length}")
endif()
if(NOT VANTOR_MANIFEST_KEY_MODULUS MATCHES "^[A-Za-z0-9+/]+==$")
    vantor_config_fail(VANTOR_MANIFEST_KEY_MODULUS "(see above)" "not Base64 of 256 bytes (must end in ==)")
endif()
# The first six bits carry the modulus's top bit: a 2048-bit key starts with g-z, 0-9, + or /.
if(NOT VANTOR_MANIFEST_KEY_MODULUS MATCHES "^[g-z0-9+/]")
    vantor_config_fail(VANTOR_MANIFEST_KEY_MODULUS "(see above)" "modulus is shorter than 2048 bits")
endif()
if(NOT VANTOR_CLIENT_SHA256 MATCHES "^[0-9A-Fa-f]+$")
    vantor_config_fail(VANTOR_CLIENT_SHA256 "${VANTOR_CLIENT_SHA256}" "expected hexadecimal digits")
endif()
string(LENGTH "${VANTOR_CLIENT_SHA256}" digest_length)
if(NOT digest_length EQUAL 64)
    vantor_config_fail(VANTOR_CLIENT_SHA256 "${VANTOR_CLIENT_SHA256}" "expected 64 hex digits, got ${digest_length}")
endif()

# A Release build is what ships to players: a placeholder left in it gives a launcher that every
# start rejects, so every one is named at once. Test and bench builds set their own values.
if(CMAKE_BUILD_TYPE STREQUAL "Release")
    set(placeholders "")
    foreach(var VANTOR_UPDATE_HOST VANTOR_GAME_SERVER_HOST VANTOR_WEBSITE_BASE)
        string(TOLOWER "${${var}}" value)
        if(value MATCHES "\\.example(:[0-9]+)?(/.*)?$")
            list(APPEND placeholders "  ${var}=${${var}}: a reserved .example name, which no resolver answers")
        endif()
    endforeach()
    if(VANTOR_MANIFEST_KEY_MODULUS MATCHES "^wA+Q==$")
        list(APPEND placeholders "  VANTOR_MANIFEST_KEY_MODULUS: the dummy key (vantor-release keygen or key-modulus prints yours)")
    endif()
    if(VANTOR_CLIENT_SHA256 MATCHES "^0+$")
        list(APPEND placeholders "  VANTOR_CLIENT_SHA256: all zeros (vantor-release client-digest prints the client's)")
    endif()
    if(placeholders)
        list(JOIN placeholders "\n" placeholders)
        message(FATAL_ERROR "A Release build needs the service's own values; still placeholders:\n${placeholders}")
    endif()
endif()

string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1," VANTOR_CLIENT_SHA256_BYTES "${VANTOR_CLIENT_SHA256}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/vantor_config.h.in
               ${CMAKE_BINARY_DIR}/generated/vantor_config.h @ONLY)
string(TOLOWER "${VANTOR_CLIENT_SHA256}" VANTOR_CLIENT_SHA256_LOWER)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vantor_constants.in
               ${CMAKE_BINARY_DIR}/generated/VANTOR.constants.in @ONLY)
add_library(vantor_config INTERFACE)
target_include_directories(vantor_config INTERFACE ${CMAKE_BINARY_DIR}/generated)
