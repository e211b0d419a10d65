# The Debian package (make deb): what `cmake --install` puts in place, under /usr, with the
# udev rule for serial adapters and the systemd units listed below. Configure with
# -DCMAKE_INSTALL_PREFIX=/usr, so that the library goes to the multiarch folder and the Python
# package to /usr/lib/python3/dist-packages.

# udev and systemd read their files under /usr only: another prefix gets neither.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/60-vantrel.rules DESTINATION lib/udev/rules.d)
  # systemd units beside this file, by name: a unit joins the package by one more name here.
  set(VANTREL_SYSTEMD_UNITS)
  foreach(unit IN LISTS VANTREL_SYSTEMD_UNITS)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${unit} DESTINATION lib/systemd/system)
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Vantrel interface board: library, command-line tool, simulator and Python module")
set(CPACK_PACKAGE_CONTACT "vantrel developers <vantrel@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The shared libraries the binaries need (libcurl4, libmosquitto1, libsqlite3-0, ...), as
# dpkg-shlibdeps finds them; the Python module
# needs the interpreter besides, and the live page of log --http serves Debian's Chart.js.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, libjs-chart.js")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
include(CPack)
