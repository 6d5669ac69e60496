# Header-only libraries from Debian, on both platforms: CLI11 for every helper
# program's command line (pardulo_cli), toml++ for the station's config file
# (pardulo_toml, used header-only, so no program needs Debian's compiled
# libtomlplusplus and the Windows build gets the same parser). The Windows
# cross compiler must not see the build machine's /usr/include as a whole:
# a folder of the build holds these headers alone.
include_guard(GLOBAL)
if(WIN32)
  set(PARDULO_HEADER_INCLUDE ${CMAKE_BINARY_DIR}/header-include)
  file(COPY /usr/include/CLI /usr/include/toml++ DESTINATION ${PARDULO_HEADER_INCLUDE})
  add_library(pardulo_cli INTERFACE)
  target_include_directories(pardulo_cli SYSTEM INTERFACE ${PARDULO_HEADER_INCLUDE})
  add_library(pardulo_toml INTERFACE)
  target_include_directories(pardulo_toml SYSTEM INTERFACE ${PARDULO_HEADER_INCLUDE})
else()
  find_package(CLI11 2.1 REQUIRED)
  add_library(pardulo_cli INTERFACE)
  target_link_libraries(pardulo_cli INTERFACE CLI11::CLI11)
  if(NOT EXISTS /usr/include/toml++/toml.h)
    message(FATAL_ERROR "toml++ not found (scripts/install_deps.sh build installs libtomlplusplus-dev)")
  endif()
  add_library(pardulo_toml INTERFACE)
endif()
target_compile_definitions(pardulo_toml INTERFACE TOML_HEADER_ONLY=1 TOML_EXCEPTIONS=1)
