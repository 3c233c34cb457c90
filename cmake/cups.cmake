# The print service's queues join the installed printers. libcups is loaded
# when printers are first listed (platform/posix/cups_library.h), not linked:
# linked, it and the thirty-odd libraries it needs would be loaded by every
# start of every program, although only the listing uses it. So the build
# needs neither the library nor its development files; where libcups 2 is
# not installed at run time the printers come from win.ini alone. Included
# right after the core libraries.
option(KELVANE_CUPS "List the print service's (CUPS) queues as installed printers" ON)
if(KELVANE_CUPS)
  message(STATUS "CUPS: print service queues are listed where libcups.so.2 is installed")
  target_compile_definitions(kelvane_platform PRIVATE KELVANE_HAVE_CUPS)
  target_link_libraries(kelvane_platform PRIVATE ${CMAKE_DL_LIBS})
else()
  message(STATUS "CUPS not used: installed printers come from win.ini only")
endif()
