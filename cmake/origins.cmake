# ostrel_check_origins(<origins>): stops the build's configuration at the
# first of the origins, separated by spaces, that a browser never sends in
# Origin or Referer, so that no build refuses every submission. Run as a
# script (cmake -DORIGINS=... -P cmake/origins.cmake) it checks ORIGINS.
function(ostrel_check_origins origins)
  separate_arguments(list UNIX_COMMAND "${origins}")
  foreach(origin ${list})
    set(problem "")
    if(NOT origin MATCHES "^[ -~]*$")
      # Browsers send a host name outside ASCII in its IDNA form (RFC 5891).
      set(idna [[
import sys
scheme, _, rest = sys.argv[1].partition("://")
host, colon, port = rest.partition(":")
print(scheme + "://" + host.encode("idna").decode() + colon + port)]])
      execute_process(COMMAND python3 -c "${idna}" "${origin}" OUTPUT_VARIABLE ascii
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      set(problem "letters outside ASCII, which browsers never send: write the host in its IDNA form")
      if(ascii MATCHES "://")
        string(APPEND problem ", \"${ascii}\"")
      endif()
    elseif(NOT origin MATCHES "^[A-Za-z][A-Za-z0-9+.-]*://")
      set(problem "no scheme, such as https://")
    elseif(origin MATCHES "^[^:]*:///*$")
      set(problem "no host")
    elseif(origin MATCHES "^[^:]*://[^/?#]*[?#]")
      set(problem "a query or fragment, which an origin never has")
    elseif(origin MATCHES "^[^:]*://[^/?#]*/.")
      set(problem "a path, which an origin never has")
    elseif(origin MATCHES "/$")
      set(problem "a trailing slash, which an origin never has")
    elseif(NOT origin MATCHES "^[^:]*://[^/?#@]+$")
      set(problem "no host, or user information before it")
    endif()
    if(problem)
      message(FATAL_ERROR "OSTREL_SITE_ORIGINS: \"${origin}\" has ${problem}; "
                          "an origin is a scheme, a host and a port, such as https://www.example.org")
    endif()
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  ostrel_check_origins("${ORIGINS}")
endif()
