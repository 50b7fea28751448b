# The service and home page addresses are fixed when the build is configured.
set(VELMOTH_SERVICE_URL "http://127.0.0.1:8931/" CACHE STRING "Base address of the service (must end with /)")
set(VELMOTH_HOME_URL "http://127.0.0.1:8931/" CACHE STRING "Home page of the service's web site (must end with /)")
option(VELMOTH_ALLOW_PLAINTEXT "Allow an http:// service address to a host other than loopback" OFF)

foreach(setting VELMOTH_SERVICE_URL VELMOTH_HOME_URL)
  set(value "${${setting}}")
  if(NOT value MATCHES "^https?://[^/?#]+/")
    message(FATAL_ERROR "${setting} is '${value}': it must be an http:// or https:// address with a host, "
                        "e.g. -D${setting}=http://127.0.0.1:8931/")
  endif()
  if(NOT value MATCHES "/$")
    message(FATAL_ERROR "${setting} is '${value}': it must end with '/', e.g. -D${setting}=${value}/")
  endif()
  if(value MATCHES "[ \"\\\\?#]")
    message(FATAL_ERROR "${setting} is '${value}': it must not contain blanks, quotes, backslashes, '?' or '#'")
  endif()
endforeach()

# The client sends account names and passwords in the service address's query: over plain HTTP
# anyone on the path reads them. Plain HTTP is for a service on this machine only. (The home page
# opens in the user's own browser and carries no secret.)
if(VELMOTH_SERVICE_URL MATCHES "^http://([^/:?#[]+|\\[[0-9a-fA-F:.]+\\])")
  set(host "${CMAKE_MATCH_1}")
  if(NOT host MATCHES "^(127\\.[0-9]+\\.[0-9]+\\.[0-9]+|localhost|\\[::1\\])$" AND NOT VELMOTH_ALLOW_PLAINTEXT)
    message(FATAL_ERROR "VELMOTH_SERVICE_URL is '${VELMOTH_SERVICE_URL}': plain http:// to ${host}, "
                        "which is not this machine, would send every password in clear text. Use "
                        "https://, or configure with -DVELMOTH_ALLOW_PLAINTEXT=ON if a network you "
                        "trust carries it.")
  endif()
endif()
