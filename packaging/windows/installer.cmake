# The Windows installer as a build target (not built by default: it needs
# makensis): `ninja -C build-windows kelvane_setup` writes
# build-windows/kelvane-setup-<version>.exe.
find_program(MAKENSIS makensis)
if(NOT MAKENSIS)
  return()
endif()
set(KELVANE_SETUP_PROGRAMS kelvane-headless kelvane-driver kelvane-printer)
if(TARGET kelvane)
  list(APPEND KELVANE_SETUP_PROGRAMS kelvane)
endif()
add_custom_target(kelvane_setup
  COMMAND ${CMAKE_SOURCE_DIR}/packaging/windows/build-installer.sh ${CMAKE_BINARY_DIR}
  DEPENDS ${KELVANE_SETUP_PROGRAMS}
  BYPRODUCTS ${CMAKE_BINARY_DIR}/kelvane-setup-${PROJECT_VERSION}.exe
  COMMENT "Building the Windows installer"
  VERBATIM)
