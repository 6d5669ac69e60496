# What `cmake --install` puts beside the programs, and the Debian package
# (`cpack -G DEB` in the build folder) made from the same install.
# The programs, the pty adapter and the man pages install themselves (their
# own CMakeLists.txt); this file adds the documentation and the package.

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/ARCHITECTURE.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The guides the README links to, beside it as in the source tree.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The bundled pictures, to try `pardulo d` (and the script that made them).
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  USE_SOURCE_PERMISSIONS)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pardulo)
set(CPACK_PACKAGE_VENDOR "Pardulo developers")
set(CPACK_PACKAGE_CONTACT "Pardulo developers <dev@pardulo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "packs display resources and uploads them to a device over a serial line")
# The summary above is the first line of the Description field; this follows it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Firmware developers run 'pardulo d' in a folder holding resources/: the pixel
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
Helper programs: pardulo-ports lists the serial ports, pardulo-bgra2png
turns a screenshot into a PNG, and pardulo-devsim simulates the device on a
pseudo-terminal, to try everything without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: worked out by dpkg-shlibdeps from the binaries' shared libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # pardulo_<version>_<arch>.deb
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
