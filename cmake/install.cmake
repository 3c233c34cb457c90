# Installation and the Debian package. Included at the end of the top
# CMakeLists.txt, after every program's folder, so if(TARGET ...) sees what
# this build made.
#
#   cmake --install build --prefix /usr        (DESTDIR= works as usual)
#   (cd build && cpack -G DEB)                 -> kelvane_<version>_<arch>.deb
#
# The package installs programs, the CUPS backend, manual pages, the desktop
# entry and icons. Nothing is written into anyone's home directory; each user
# runs "kelvane-driver install" once (or an administrator does, for a whole
# machine, with an explicit KELVANE_HOME). Its only maintainer scripts
# create and, on purge, remove /var/lib/kelvane, the home of the spooler
# that the CUPS backend runs as the print service's user lp.
# The desktop menu and icon caches are refreshed by the triggers of
# desktop-file-utils and hicolor-icon-theme.
include(GNUInstallDirs)

set(KELVANE_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KELVANE_PROGRAMS kelvane kelvane-headless kelvane-driver kelvane-printer)

# Debian wants manual pages compressed with gzip -9n (no name, no time stamp,
# so the package builds reproducibly).
find_program(KELVANE_GZIP gzip)

set(KELVANE_INSTALLED_PROGRAMS "")
set(KELVANE_MAN_PAGES "")
foreach(program ${KELVANE_PROGRAMS})
  if(NOT TARGET ${program})
    continue()
  endif()
  list(APPEND KELVANE_INSTALLED_PROGRAMS ${program})
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(page ${KELVANE_PACKAGING_DIR}/man/${program}.1)
  if(KELVANE_GZIP)
    set(compressed ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(
      OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${KELVANE_GZIP} -9nc ${page} > ${compressed}
      DEPENDS ${page}
      COMMENT "Compressing the manual page of ${program}"
      VERBATIM)
    list(APPEND KELVANE_MAN_PAGES ${compressed})
  else()
    list(APPEND KELVANE_MAN_PAGES ${page})
  endif()
endforeach()
if(KELVANE_MAN_PAGES)
  add_custom_target(kelvane_man_pages ALL DEPENDS ${KELVANE_MAN_PAGES})
  install(FILES ${KELVANE_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The desktop spooler's Help menu opens its manual page in the browser:
# an HTML rendering of it, in the package's doc folder (found from the
# program as ../share/doc/kelvane/kelvane.html).
find_program(KELVANE_GROFF groff)
if(TARGET kelvane AND KELVANE_GROFF AND NOT WIN32)
  set(KELVANE_MANUAL_HTML ${CMAKE_BINARY_DIR}/doc/kelvane.html)
  add_custom_command(
    OUTPUT ${KELVANE_MANUAL_HTML}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/render_manual_html.sh
            ${KELVANE_PACKAGING_DIR}/man/kelvane.1 ${KELVANE_MANUAL_HTML}
    DEPENDS ${KELVANE_PACKAGING_DIR}/man/kelvane.1 ${CMAKE_SOURCE_DIR}/cmake/render_manual_html.sh
    COMMENT "Rendering the manual page of kelvane as HTML"
    VERBATIM)
  add_custom_target(kelvane_manual_html ALL DEPENDS ${KELVANE_MANUAL_HTML})
  install(FILES ${KELVANE_MANUAL_HTML} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvane)
elseif(TARGET kelvane AND NOT WIN32)
  message(STATUS "groff not found (groff-base): Help in the desktop spooler finds no manual")
endif()

# The menu entry starts the desktop spooler, so it comes only with it.
if(TARGET kelvane)
  install(FILES ${KELVANE_PACKAGING_DIR}/kelvane.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 32 64 128)
    install(FILES ${KELVANE_PACKAGING_DIR}/icons/kelvane-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME kelvane.png)
  endforeach()
  install(FILES ${KELVANE_PACKAGING_DIR}/icons/kelvane.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
# The CUPS backend: mode 0755, so the print service runs it as its user lp
# (a backend that others may not execute is run as root); it needs no more
# than lp has: the printer devices and the spooler home /var/lib/kelvane.
# CUPS looks in lib/cups/backend of its own prefix, not the multiarch
# library folder.
if(TARGET kelvane-cups-backend)
  install(PROGRAMS $<TARGET_FILE:kelvane-cups-backend>
          DESTINATION lib/cups/backend
          RENAME kelvane
          PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
endif()
# The package's name, not the project's ("Kelvane"), names its doc folder.
install(FILES ${KELVANE_PACKAGING_DIR}/README-printer.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvane)

# ---------------------------------------------------------------- package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VORNA")
set(CPACK_PACKAGE_CONTACT "Kelvane maintainers <kelvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "print spooler for VORNA ribbon and ink printers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"print spooler for VORNA ribbon and ink printers
Kelvane sends print jobs to VORNA Tamrel and Cantella ribbon printers and
the Tovrel ink printer on a USB or parallel printer port, a raw TCP
(port 9100) network printer or a file, and puts printer faults to the user.
.
The package holds the desktop spooler (kelvane), the spooler without
windows (kelvane-headless), the driver stand-in that sets up a user and
queues jobs (kelvane-driver), a simulated printer (kelvane-printer), and a
CUPS backend (kelvane:/LPT1:) that shares the printer through the print
service.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# The print service is only asked for its queues, and runs the backend when
# a CUPS queue shares the printer; printing through kelvane-driver never
# needs it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cups")
# The programs load libcups 2 themselves when they list printers, so no
# linker dependency names it: without it the list is win.ini's alone.
if(KELVANE_CUPS)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libcups2")
endif()
if(TARGET kelvane-cups-backend)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${KELVANE_PACKAGING_DIR}/debian/postinst ${KELVANE_PACKAGING_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

# Runtime dependencies: computed from the programs when dpkg-shlibdeps
# (dpkg-dev) is there, else the libraries this build links, by name.
find_program(KELVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KELVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(depends "libc6 (>= 2.34)" "libstdc++6 (>= 12)" "libgcc-s1")
  if(TARGET kelvane)
    list(APPEND depends "libwxgtk3.2-1" "libwxbase3.2-1")
  endif()
  list(JOIN depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()
include(CPack)

# ---------------------------------------------------------------- check
# Installs into a temporary DESTDIR and builds the package, then checks both
# file lists and the package's control data. Needs the programs built first
# (ctest after the build).
set(KELVANE_CHECKED_FILES ${KELVANE_INSTALLED_PROGRAMS})
if(TARGET kelvane-cups-backend)
  list(APPEND KELVANE_CHECKED_FILES kelvane-cups-backend)
endif()
add_test(NAME install_check
         COMMAND ${CMAKE_SOURCE_DIR}/tests/install_check.sh ${CMAKE_BINARY_DIR}
                 ${KELVANE_CHECKED_FILES})
set_tests_properties(install_check PROPERTIES LABELS install TIMEOUT 600
                     RUN_SERIAL TRUE SKIP_RETURN_CODE 77)

# The print service's queues, listed from a private cupsd that the script
# starts and stops (skipped where cupsd is not installed).
if(TARGET cups_printers_test AND KELVANE_CUPS)
  add_test(NAME cups_check
           COMMAND ${CMAKE_SOURCE_DIR}/tests/cups_check.sh
                   $<TARGET_FILE:cups_printers_test>)
  set_tests_properties(cups_check PROPERTIES LABELS cups TIMEOUT 120
                       SKIP_RETURN_CODE 77)
endif()
