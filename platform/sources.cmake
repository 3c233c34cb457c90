# The platform layer's bodies, chosen by operating system. The headers in
# platform/ are the same everywhere; platform/common/ is built on every
# system; platform/<os>/ holds the bodies and private headers of one system.
set(KELVANE_PLATFORM_COMMON_SOURCES
  platform/common/clock.cpp
  platform/common/command_channel.cpp
  platform/common/command_line.cpp
  platform/common/files.cpp
  platform/common/leftover_names.cpp
  platform/common/message_box.cpp
  platform/common/port_device.cpp
  platform/common/port_names.cpp
  platform/common/printers.cpp
  platform/common/profile.cpp
  platform/common/registry.cpp
  platform/common/single_instance.cpp
  platform/common/spool_names.cpp
  platform/common/window_messages.cpp)

set(KELVANE_PLATFORM_POSIX_SOURCES
  platform/posix/clock.cpp
  platform/posix/command_channel.cpp
  platform/posix/cups_printers.cpp
  platform/posix/desktop_session.cpp
  platform/posix/file_port.cpp
  platform/posix/file_trust.cpp
  platform/posix/files.cpp
  platform/posix/home.cpp
  platform/posix/leftovers.cpp
  platform/posix/lp_port.cpp
  platform/posix/net_redirect.cpp
  platform/posix/port_device.cpp
  platform/posix/port_errors.cpp
  platform/posix/port_names.cpp
  platform/posix/process.cpp
  platform/posix/profile.cpp
  platform/posix/registry.cpp
  platform/posix/sim_control.cpp
  platform/posix/sim_port.cpp
  platform/posix/single_instance.cpp
  platform/posix/socket_port.cpp
  platform/posix/spool_guard.cpp
  platform/posix/tcp_socket.cpp)

# The Windows bodies: every .cpp of platform/win32/ (the folder holds
# nothing else that is built).
file(GLOB KELVANE_PLATFORM_WIN32_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/win32/*.cpp)

if(WIN32)
  set(KELVANE_PLATFORM_SOURCES ${KELVANE_PLATFORM_COMMON_SOURCES}
      ${KELVANE_PLATFORM_WIN32_SOURCES})
elseif(UNIX)
  set(KELVANE_PLATFORM_SOURCES ${KELVANE_PLATFORM_COMMON_SOURCES}
      ${KELVANE_PLATFORM_POSIX_SOURCES})
else()
  message(FATAL_ERROR "Kelvane has platform bodies for POSIX systems and Windows only")
endif()
