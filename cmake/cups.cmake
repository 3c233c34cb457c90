# The print service's queues join the installed printers when libcups is
# there (Debian: libcups2-dev). Without it the core still builds and the
# printers come from win.ini alone. Included right after the core libraries.
option(KELVANE_CUPS "List the print service's (CUPS) queues as installed printers" ON)
if(KELVANE_CUPS)
  find_package(Cups QUIET)
endif()
if(KELVANE_CUPS AND Cups_FOUND)
  message(STATUS "CUPS ${CUPS_VERSION_STRING}: print service queues are listed")
  target_compile_definitions(kelvane_platform PRIVATE KELVANE_HAVE_CUPS)
  target_link_libraries(kelvane_platform PUBLIC Cups::Cups)
elseif(KELVANE_CUPS AND KELVANE_REQUIRE_ALL)
  message(FATAL_ERROR "libcups not found (libcups2-dev): scripts/install-deps.sh installs it")
else()
  message(STATUS "CUPS not used: installed printers come from win.ini only")
endif()
