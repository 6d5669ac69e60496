# The libraries of the station's web side, from Debian: nlohmann-json for
# every JSON the station writes or reads (pardulo_json), cpp-httplib for its
# HTTP server (pardulo_http).
include_guard(GLOBAL)
if(WIN32)
  # The cross compiler must not see the build machine's /usr/include (its
  # Linux headers) as a whole: a folder of the build holds these alone.
  set(PARDULO_WEB_INCLUDE ${CMAKE_BINARY_DIR}/web-include)
  file(COPY /usr/include/nlohmann /usr/include/httplib.h DESTINATION ${PARDULO_WEB_INCLUDE})
  add_library(pardulo_json INTERFACE)
  target_include_directories(pardulo_json SYSTEM INTERFACE ${PARDULO_WEB_INCLUDE})
  add_library(pardulo_http INTERFACE)
  target_link_libraries(pardulo_http INTERFACE pardulo_json ws2_32)
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
endif()
