# The engine and the queue reach the operating system only through the
# neutral platform headers, so another platform can slot in below them.
# Fails, naming each offending line, when a source under engine/ or queue/
# includes a POSIX header or the errno header.
# Run as: cmake -DKELVANE_ROOT=<source root> -P neutral_includes_check.cmake
if(NOT KELVANE_ROOT)
  message(FATAL_ERROR "KELVANE_ROOT not given")
endif()

file(GLOB_RECURSE sources
     ${KELVANE_ROOT}/engine/*.cpp ${KELVANE_ROOT}/engine/*.h
     ${KELVANE_ROOT}/queue/*.cpp ${KELVANE_ROOT}/queue/*.h)
if(NOT sources)
  message(FATAL_ERROR "no sources under ${KELVANE_ROOT}/engine or /queue")
endif()

set(pattern "^[ \t]*#[ \t]*include[ \t]*<(cerrno|errno\\.h|unistd\\.h|fcntl\\.h|poll\\.h|sys/[^>]*)>")
set(found "")
foreach(src ${sources})
  file(STRINGS ${src} lines REGEX "${pattern}")
  foreach(line ${lines})
    file(RELATIVE_PATH rel ${KELVANE_ROOT} ${src})
    string(APPEND found "\n  ${rel}: ${line}")
  endforeach()
endforeach()

if(found)
  message(FATAL_ERROR "platform headers included above the platform layer:${found}")
endif()
