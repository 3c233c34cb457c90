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
  platform/common/output_file.cpp
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
  platform/posix/descriptor_io.cpp
  platform/posix/desktop_session.cpp
  platform/posix/errors.cpp
  platform/posix/file_port.cpp
  platform/posix/file_replacement.cpp
  platform/posix/file_trust.cpp
  platform/posix/files.cpp
  platform/posix/home.cpp
  platform/posix/in_place_edits.cpp
  platform/posix/leftovers.cpp
  platform/posix/lock_file.cpp
  platform/posix/lp_port.cpp
  platform/posix/net_redirect.cpp
  platform/posix/output_file.cpp
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
  platform/posix/startup.cpp
  platform/posix/tcp_socket.cpp
  platform/posix/threads.cpp)

set(KELVANE_PLATFORM_WIN32_SOURCES
  platform/win32/clock.cpp
  platform/win32/command_channel.cpp
  platform/win32/desktop_session.cpp
  platform/win32/errors.cpp
  platform/win32/file_port.cpp
  platform/win32/file_replacement.cpp
  platform/win32/file_trust.cpp
  platform/win32/files.cpp
  platform/win32/home.cpp
  platform/win32/in_place_edits.cpp
  platform/win32/leftovers.cpp
  platform/win32/lock_file.cpp
  platform/win32/lpt_port.cpp
  platform/win32/message_box.cpp
  platform/win32/net_redirect.cpp
  platform/win32/output_file.cpp
  platform/win32/port_device.cpp
  platform/win32/port_errors.cpp
  platform/win32/port_names.cpp
  platform/win32/printers.cpp
  platform/win32/process.cpp
  platform/win32/profile.cpp
  platform/win32/registry.cpp
  platform/win32/sim_control.cpp
  platform/win32/single_instance.cpp
  platform/win32/socket_port.cpp
  platform/win32/spool_guard.cpp
  platform/win32/spooler_window.cpp
  platform/win32/startup.cpp
  platform/win32/tcp_socket.cpp
  platform/win32/threads.cpp
  platform/win32/window_messages.cpp)

if(WIN32)
  set(KELVANE_PLATFORM_SOURCES ${KELVANE_PLATFORM_COMMON_SOURCES}
      ${KELVANE_PLATFORM_WIN32_SOURCES})
elseif(UNIX)
  set(KELVANE_PLATFORM_SOURCES ${KELVANE_PLATFORM_COMMON_SOURCES}
      ${KELVANE_PLATFORM_POSIX_SOURCES})
else()
  message(FATAL_ERROR "Kelvane has platform bodies for POSIX systems and Windows only")
endif()

# A neutral header's bodies carry the same file name on every system that
# implements it: platform/X.h is implemented by posix/X.cpp and win32/X.cpp
# (and, for a layer that needs more than one file, by the same other names
# on both). The headers below only one system implements; for every other
# platform/X.h, a body posix/X.cpp without win32/X.cpp, or the other way
# round, stops the configuration.
set(KELVANE_PLATFORM_ONE_SYSTEM_HEADERS
  cups_printers     # POSIX: the printers CUPS knows
  message_box       # Windows: the system's box (elsewhere the front end's)
  printers          # Windows: the system's printer list
  spooler_window    # Windows: the system window the driver posts to
  window_messages)  # Windows: posting to a system window
function(kelvane_check_platform_body_names)
  set(posix_names "")
  set(win32_names "")
  foreach(src ${KELVANE_PLATFORM_POSIX_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    list(APPEND posix_names ${name})
  endforeach()
  foreach(src ${KELVANE_PLATFORM_WIN32_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    list(APPEND win32_names ${name})
  endforeach()
  set(unpaired "")
  foreach(name ${posix_names} ${win32_names})
    if(NOT EXISTS ${CMAKE_CURRENT_LIST_DIR}/${name}.h OR
       name IN_LIST KELVANE_PLATFORM_ONE_SYSTEM_HEADERS)
      continue()
    endif()
    if(NOT name IN_LIST posix_names OR NOT name IN_LIST win32_names)
      list(APPEND unpaired ${name})
    endif()
  endforeach()
  if(unpaired)
    list(REMOVE_DUPLICATES unpaired)
    message(FATAL_ERROR "platform headers with a body on one system only, or under "
                        "another name on the other: ${unpaired}")
  endif()
endfunction()
kelvane_check_platform_body_names()
