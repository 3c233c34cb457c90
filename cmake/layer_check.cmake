# The layers of the core, from the bottom: platform, resources, shared
# spooler state, queue, engine, pages, shell. A source may include its own
# layer and those below it, never one above: the build fails, naming each
# include that reaches up. The desktop (app/wx, pages/wx), the headless
# front end and the tools sit above all of them and are not checked here.
# Run as: cmake -DKELVANE_ROOT=<source root> -DSTAMP=<file> -P layer_check.cmake
if(NOT KELVANE_ROOT)
  message(FATAL_ERROR "KELVANE_ROOT not given")
endif()

# Layer of an included path, as the order number of its layer; -1 for a
# path of a front end or tool (above every core layer).
function(layer_of path out)
  if(path MATCHES "^platform/")
    set(${out} 0 PARENT_SCOPE)
  elseif(path MATCHES "^res/")
    set(${out} 1 PARENT_SCOPE)
  elseif(path MATCHES "^app/spooler_state\\.h$" OR path MATCHES "^queue/job_record\\.h$")
    set(${out} 2 PARENT_SCOPE)
  elseif(path MATCHES "^queue/")
    set(${out} 3 PARENT_SCOPE)
  elseif(path MATCHES "^engine/")
    set(${out} 4 PARENT_SCOPE)
  elseif(path MATCHES "^pages/wx/" OR path MATCHES "^app/wx/" OR path MATCHES "^app/headless/")
    set(${out} 99 PARENT_SCOPE)
  elseif(path MATCHES "^pages/")
    set(${out} 5 PARENT_SCOPE)
  elseif(path MATCHES "^app/")
    set(${out} 6 PARENT_SCOPE)
  else()
    set(${out} 99 PARENT_SCOPE)
  endif()
endfunction()

file(GLOB_RECURSE sources RELATIVE ${KELVANE_ROOT}
     ${KELVANE_ROOT}/platform/*.h ${KELVANE_ROOT}/platform/*.cpp
     ${KELVANE_ROOT}/res/*.h ${KELVANE_ROOT}/res/*.cpp
     ${KELVANE_ROOT}/queue/*.h ${KELVANE_ROOT}/queue/*.cpp
     ${KELVANE_ROOT}/engine/*.h ${KELVANE_ROOT}/engine/*.cpp
     ${KELVANE_ROOT}/pages/*.h ${KELVANE_ROOT}/pages/*.cpp
     ${KELVANE_ROOT}/app/*.h ${KELVANE_ROOT}/app/*.cpp)
if(NOT sources)
  message(FATAL_ERROR "no sources under ${KELVANE_ROOT}")
endif()

set(found "")
foreach(src ${sources})
  layer_of(${src} own)
  if(own EQUAL 99)
    continue()
  endif()
  file(STRINGS ${KELVANE_ROOT}/${src} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" included "${line}")
    layer_of(${included} theirs)
    if(theirs GREATER own)
      string(APPEND found "\n  ${src}: ${line}")
    endif()
  endforeach()
endforeach()

if(found)
  message(FATAL_ERROR "includes that reach up a layer (platform < res < state < queue < engine < pages < shell):${found}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
