# The service addresses compiled into the program, and the development features that may
# replace them at run time.
#
# A development build (CASTORA_DEVELOPMENT=ON: scripts/setup, scripts/test, scripts/run-local,
# bench/, the e2e tests) takes the addresses from the CASTORA_* environment variables when they
# are set, opens the read-only inspection socket (CASTORA_INSPECT) and reports its first frame
# (CASTORA_STARTUP_PROBE). Every other build, whatever its build type, has none of that: what it
# talks to is what was compiled in. Such a build refuses to configure while an address still
# points at the local stack or is not encrypted, unless CASTORA_ALLOW_INSECURE_ADDRESSES says
# that this is meant (a package for the local stack, as CI builds one).
#
# The Icecast source credential is a build secret of the same kind: a build for users is given
# it (CASTORA_ICECAST_USER, CASTORA_ICECAST_PASSWORD) and sends it over TLS only
# (CASTORA_ICECAST_TLS=ON); it refuses to configure without them, or with the development
# default, under the same rule and escape hatch as the addresses.

option(CASTORA_DEVELOPMENT
       "Development features: CASTORA_* environment overrides of the addresses, the inspection socket, the start-up probe"
       OFF)
option(CASTORA_ALLOW_INSECURE_ADDRESSES
       "Let a non-development build use local or unencrypted service addresses" OFF)

# The defaults point at the local stack that scripts/run-local starts (icecast2 + the stand-in
# backend); a release build sets the service's own addresses.
set(CASTORA_BACKEND_URL "http://127.0.0.1:8085" CACHE STRING "Backend base URL (https://host[:port])")
set(CASTORA_CHAT_URL "ws://127.0.0.1:8086/chat" CACHE STRING "Chat socket server URL (wss://...)")
set(CASTORA_ICECAST_HOST "127.0.0.1" CACHE STRING "Icecast server host")
set(CASTORA_ICECAST_PORT "8000" CACHE STRING "Icecast server port")
set(CASTORA_PROBE_URL "http://127.0.0.1:8085/probe" CACHE STRING
    "Connectivity probe URL (a public page; plain HTTP is fine)")
set(CASTORA_WEBSITE_URL "http://127.0.0.1:8085/site" CACHE STRING
    "Service web site (sign-up, listen links; https://...)")

# The source credential of the Icecast connection. Development builds start with the local
# stack's own (the test fixtures', scripts/local-service's and the benchmarks' icecast2 read it
# from here); a build for users is given the service's.
set(_castora_development_source_user "source")
set(_castora_development_source_password "local-stack-only")
if(CASTORA_DEVELOPMENT)
    set(_castora_user_default "${_castora_development_source_user}")
    set(_castora_password_default "${_castora_development_source_password}")
else()
    set(_castora_user_default "")
    set(_castora_password_default "")
endif()
set(CASTORA_ICECAST_USER "${_castora_user_default}" CACHE STRING "Icecast source user")
set(CASTORA_ICECAST_PASSWORD "${_castora_password_default}" CACHE STRING
    "Icecast source password (a build secret)")
option(CASTORA_ICECAST_TLS
       "Icecast source connection over TLS (RFC 2818), the server's certificate verified against the system's CA store"
       OFF)

# The credential as C string literals for castora_config.h.
foreach(_castora_secret USER PASSWORD)
    string(REPLACE "\\" "\\\\" _castora_escaped "${CASTORA_ICECAST_${_castora_secret}}")
    string(REPLACE "\"" "\\\"" _castora_escaped "${_castora_escaped}")
    set(CASTORA_ICECAST_${_castora_secret}_LITERAL "${_castora_escaped}")
endforeach()


# True when `host` names this machine: a program built for users that talks to it reaches
# whatever happens to listen there, not the service.
function(_castora_is_local_host host out)
    string(TOLOWER "${host}" host)
    if(host STREQUAL "" OR host MATCHES "^(localhost|.*\\.localhost|127\\.[0-9.]+|0\\.0\\.0\\.0|\\[?::1?\\]?)$")
        set(${out} TRUE PARENT_SCOPE)
    else()
        set(${out} FALSE PARENT_SCOPE)
    endif()
endfunction()

# Appends a line to `problems_var` when the URL in variable `name` is local or does not use
# one of `schemes` (a regex alternative such as "https" or "http|https").
function(_castora_check_url name schemes problems_var)
    set(url "${${name}}")
    set(problems "${${problems_var}}")
    if(NOT url MATCHES "^([A-Za-z][A-Za-z0-9+.-]*)://(\\[[^]/]*\\]|[^]/:?#]*)")
        list(APPEND problems "${name}=${url} (not a URL)")
    else()
        string(TOLOWER "${CMAKE_MATCH_1}" scheme)
        _castora_is_local_host("${CMAKE_MATCH_2}" local)
        if(local)
            list(APPEND problems "${name}=${url} (this machine: the local stack)")
        elseif(NOT scheme MATCHES "^(${schemes})$")
            string(REPLACE "|" ":// or " wanted "${schemes}")
            list(APPEND problems "${name}=${url} (${wanted}:// expected)")
        endif()
    endif()
    set(${problems_var} "${problems}" PARENT_SCOPE)
endfunction()

if(DEFINED CACHE{CASTORA_ENV_OVERRIDES})
    # The former switch, which build types other than Release turned on by themselves.
    unset(CASTORA_ENV_OVERRIDES CACHE)
    message(STATUS "CASTORA_ENV_OVERRIDES is gone: development builds say CASTORA_DEVELOPMENT=ON")
endif()

if(CASTORA_DEVELOPMENT)
    message(STATUS "Development build: CASTORA_* environment overrides, inspection socket, "
                   "start-up probe")
else()
    set(_castora_problems "")
    _castora_check_url(CASTORA_BACKEND_URL "https" _castora_problems)
    _castora_check_url(CASTORA_CHAT_URL "wss" _castora_problems)
    _castora_check_url(CASTORA_WEBSITE_URL "https" _castora_problems)
    # The probe only tells whether the internet is reachable: no credentials, its body is never
    # read, and a plain HTTP page is what captive portals answer for.
    _castora_check_url(CASTORA_PROBE_URL "http|https" _castora_problems)
    _castora_is_local_host("${CASTORA_ICECAST_HOST}" _castora_local_icecast)
    if(_castora_local_icecast)
        list(APPEND _castora_problems
             "CASTORA_ICECAST_HOST=${CASTORA_ICECAST_HOST} (this machine: the local stack)")
    endif()
    # The source credential: the service's own, sent over TLS only.
    foreach(_castora_secret USER PASSWORD)
        if(CASTORA_ICECAST_${_castora_secret} STREQUAL "")
            list(APPEND _castora_problems "CASTORA_ICECAST_${_castora_secret} (not set)")
        endif()
    endforeach()
    if(CASTORA_ICECAST_PASSWORD STREQUAL _castora_development_source_password)
        list(APPEND _castora_problems
             "CASTORA_ICECAST_PASSWORD (the local stack's development default)")
    endif()
    if(NOT CASTORA_ICECAST_TLS)
        list(APPEND _castora_problems
             "CASTORA_ICECAST_TLS=OFF (plain HTTP: the source password would cross the network unencrypted)")
    endif()
    if(_castora_problems)
        list(JOIN _castora_problems "\n    " _castora_list)
        if(CASTORA_ALLOW_INSECURE_ADDRESSES)
            message(WARNING "Local or unencrypted service addresses or credential, allowed by "
                            "CASTORA_ALLOW_INSECURE_ADDRESSES=ON:\n    ${_castora_list}")
        else()
            message(FATAL_ERROR
                "This build is not a development build (CASTORA_DEVELOPMENT=OFF), so the program "
                "will talk to the addresses compiled into it, and these point at this machine, "
                "are not encrypted or are missing:\n    ${_castora_list}\n"
                "Give the service's addresses (-DCASTORA_BACKEND_URL=https://... "
                "-DCASTORA_CHAT_URL=wss://... -DCASTORA_WEBSITE_URL=https://... "
                "-DCASTORA_PROBE_URL=http://... -DCASTORA_ICECAST_HOST=... "
                "-DCASTORA_ICECAST_PORT=... -DCASTORA_ICECAST_TLS=ON) and the source credential "
                "(-DCASTORA_ICECAST_USER=... -DCASTORA_ICECAST_PASSWORD=...), or configure a "
                "development build with "
                "-DCASTORA_DEVELOPMENT=ON (scripts/setup does), or accept these addresses "
                "explicitly with -DCASTORA_ALLOW_INSECURE_ADDRESSES=ON.")
        endif()
    endif()
endif()
