# The libraries of the station's web side, from Debian: nlohmann-json for
# every JSON the station writes or reads (pardulo_json), cpp-httplib for its
# HTTP server (pardulo_http). PARDULO_STATION_HTTP_SOURCES: the station's web
# side, or where no cpp-httplib can be linked, its stand-in that refuses --http.
include_guard(GLOBAL)
set(PARDULO_STATION_HTTP_SOURCES
  ${CMAKE_SOURCE_DIR}/station/web/station_http.cpp ${CMAKE_BINARY_DIR}/station/station_page.cpp)
if(WIN32)
  list(APPEND PARDULO_STATION_HTTP_SOURCES ${CMAKE_SOURCE_DIR}/station/web/station_http_win32.cpp)
  # Debian's httplib.h only declares what its Linux library holds; Windows
  # takes the library's own single header, which defines it, from Debian's
  # source package of the same version (scripts/fetch-httplib-header.sh puts
  # it into the build folder; scripts/build-windows.sh requires it).
  set(PARDULO_HTTPLIB_HEADER ${CMAKE_BINARY_DIR}/cpp-httplib/httplib.h CACHE FILEPATH
    "cpp-httplib's single header for the Windows build")
  option(PARDULO_REQUIRE_HTTP "stop when pardulo-station cannot get its web side" OFF)
  # The cross compiler must not see the build machine's /usr/include (its
  # Linux headers) as a whole: a folder of the build holds these alone.
  set(PARDULO_WEB_INCLUDE ${CMAKE_BINARY_DIR}/web-include)
  file(COPY /usr/include/nlohmann DESTINATION ${PARDULO_WEB_INCLUDE})
  add_library(pardulo_json INTERFACE)
  target_include_directories(pardulo_json SYSTEM INTERFACE ${PARDULO_WEB_INCLUDE})
  add_library(pardulo_http INTERFACE)
  target_link_libraries(pardulo_http INTERFACE pardulo_json ws2_32)
  set(PARDULO_HTTPLIB_DEFINED "")
  if(EXISTS ${PARDULO_HTTPLIB_HEADER})
    file(STRINGS ${PARDULO_HTTPLIB_HEADER} PARDULO_HTTPLIB_DEFINED REGEX "^inline Server::Server\\(\\)")
  endif()
  if(PARDULO_HTTPLIB_DEFINED)
    configure_file(${PARDULO_HTTPLIB_HEADER} ${PARDULO_WEB_INCLUDE}/httplib.h COPYONLY)
  else()
    set(PARDULO_NO_HTTP_REASON "${PARDULO_HTTPLIB_HEADER} is no single header of cpp-httplib (missing, or it \
only declares); scripts/build-windows.sh fetches Debian's (scripts/fetch-httplib-header.sh DIR), or give \
-DPARDULO_HTTPLIB_HEADER=FILE")
    if(PARDULO_REQUIRE_HTTP)
      message(FATAL_ERROR "pardulo-station cannot get its web side: ${PARDULO_NO_HTTP_REASON}")
    endif()
    message(WARNING "pardulo-station is built without its web side (--http refused): ${PARDULO_NO_HTTP_REASON}")
    file(REMOVE ${PARDULO_WEB_INCLUDE}/httplib.h)
    set(PARDULO_STATION_HTTP_SOURCES ${CMAKE_SOURCE_DIR}/station/web/station_http_unavailable.cpp)
  endif()
else()
  find_package(nlohmann_json 3.11 REQUIRED)
  add_library(pardulo_json INTERFACE)
  target_link_libraries(pardulo_json INTERFACE nlohmann_json::nlohmann_json)
  # Debian's cpp-httplib is a compiled library; its flags (the TLS and
  # compression it was built with) must be the program's too.
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  find_package(Threads REQUIRED)
  add_library(pardulo_http INTERFACE)
  target_link_libraries(pardulo_http INTERFACE PkgConfig::HTTPLIB Threads::Threads)
  list(APPEND PARDULO_STATION_HTTP_SOURCES ${CMAKE_SOURCE_DIR}/station/web/station_http_posix.cpp)
endif()
# How many connections may wait to be accepted: the library listens with it
# where it is compiled with the program (Windows); on Linux the server
# listens again with it, since Debian's compiled library has its own 5.
target_compile_definitions(pardulo_http INTERFACE CPPHTTPLIB_LISTEN_BACKLOG=128)
