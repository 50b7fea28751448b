# The service and home page addresses are fixed when the build is configured.
set(VELMOTH_SERVICE_URL "http://127.0.0.1:8931/" CACHE STRING "Base address of the service (must end with /)")
set(VELMOTH_HOME_URL "http://127.0.0.1:8931/" CACHE STRING "Home page of the service's web site (must end with /)")

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
