# What `cmake --install` puts beside the programs, and the Debian packages
# (`cpack -G DEB` in the build folder) made from the same install: pardulo,
# the default component (the programs, the station, the tools, their man
# pages and documentation), and pardulo-testbed, the testbed component (the
# simulated device and its pty adapter, with its man page).
# The programs, the pty adapter and the man pages install themselves (their
# own CMakeLists.txt); this file adds the documentation and the packages.

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/ARCHITECTURE.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The guides the README links to, beside it as in the source tree.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The bundled pictures, to try `pardulo d` (and the script that made them).
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  USE_SOURCE_PERMISSIONS)

# Every Debian package carries its copyright (machine-readable) and its
# changelog, compressed without name or time stamp so the same entry packs
# the same. The changelog's date is the configure time, or SOURCE_DATE_EPOCH
# when it is set (string(TIMESTAMP) reads it), for a reproducible package.
string(TIMESTAMP PARDULO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
  COMMAND ${GZIP_PROGRAM} -9nf -k ${CMAKE_BINARY_DIR}/debian/changelog
  COMMAND ${CMAKE_COMMAND} -E rename ${CMAKE_BINARY_DIR}/debian/changelog.gz
    ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
  COMMENT "Compressing the Debian changelog")
add_custom_target(pardulo_debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
foreach(component pardulo ${PARDULO_TESTBED_COMPONENT})
  if(component STREQUAL "pardulo")
    set(package pardulo)
  else()
    set(package pardulo-${component})
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pardulo)
set(CPACK_PACKAGE_VENDOR "Pardulo developers")
set(CPACK_PACKAGE_CONTACT "Pardulo developers <dev@pardulo.invalid>")
# One package per component; their names, and pardulo_<version>_<arch>.deb.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL pardulo ${PARDULO_TESTBED_COMPONENT})
set(CPACK_DEBIAN_PARDULO_PACKAGE_NAME pardulo)
set(CPACK_DEBIAN_TESTBED_PACKAGE_NAME pardulo-testbed)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Each package's Description: the summary line first, then the long text
# (CPack would put one summary before both otherwise).
set(CPACK_DEBIAN_PARDULO_DESCRIPTION "packs display resources and uploads them to a device over a serial line
Firmware developers run 'pardulo d' in a folder holding resources/: the pixel
data of every image resource is packed into one resource map, zebmap.map,
tagged with the flash block of each resource, with the C declarations the
firmware needs in zebmap.c.
.
At the production line 'pardulo p PORT' checks the map and uploads it into
the device record by record, each with a checksum and the device's answer,
keeping zebmap.log at the percentage sent. 'pardulo r PORT' erases the
device and 'pardulo g PORT' downloads its last screenshot.
.
pardulo-station runs a production line: it flashes every device that
arrives on any of its ports, in parallel, and records each.
.
Helper programs: pardulo-png2raw makes resources of PNG pictures,
pardulo-preview draws what a map holds, pardulo-ports lists the serial
ports and pardulo-bgra2png turns a screenshot into a PNG.")
set(CPACK_DEBIAN_TESTBED_DESCRIPTION "simulated display device for trying and testing pardulo without hardware
pardulo-devsim stands in for the display device (or a line of devices, one
after the other) on a pseudo-terminal: it answers pardulo's commands as the
device does, keeps what it was sent, can inject faults, and can run pardulo
or pardulo-station against itself.
.
Its pty adapter, preloaded into the programs it runs, lets libserialport
open the pseudo-terminal as a serial port.
.
Test equipment: nothing of it is needed to build or flash a device.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TESTBED_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: worked out by dpkg-shlibdeps from the binaries' shared libraries;
# the simulator runs pardulo and shares its version's protocol.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TESTBED_PACKAGE_DEPENDS "pardulo (= ${PROJECT_VERSION})")
# A file installed under /etc must be a conffile, which CPack does not mark of
# itself (lintian calls an unmarked one an error): its package then lists it
# in a `conffiles` file given through CPACK_DEBIAN_<COMPONENT>_PACKAGE_CONTROL_EXTRA.
# The station's example config is the one (station/CMakeLists.txt installs it).
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/conffiles ${CMAKE_BINARY_DIR}/debian-pardulo/conffiles COPYONLY)
set(CPACK_DEBIAN_PARDULO_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian-pardulo/conffiles)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
