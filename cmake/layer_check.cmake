# The layers of the core, from the bottom: platform, resources, shared
# spooler state, queue, engine, pages, shell. A source may include its own
# layer and those below it, never one above: the build fails, naming each
# include that reaches up. The desktop (app/wx, pages/wx), the headless
# front end (app/headless) and the tools sit above all of them and are not
# checked here.
# Run as: cmake -DKELVANE_ROOT=<source root> -DSTAMP=<file> -P layer_check.cmake
if(NOT KELVANE_ROOT)
  message(FATAL_ERROR "KELVANE_ROOT not given")
endif()

# Each layer is a folder; the order number of the layer a path lies in, or
# 99 for a front end, a tool or anything else above every core layer (those
# are not checked, and every core layer may be included from them).
set(kelvane_layers platform res app/state queue engine pages app/shell)
# The desktop's drawing of the pages lies inside the pages folder but above
# the core.
set(kelvane_front_ends pages/wx)
function(layer_of path out)
  foreach(folder ${kelvane_front_ends})
    string(FIND "${path}" "${folder}/" at)
    if(at EQUAL 0)
      set(${out} 99 PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(order 0)
  foreach(folder ${kelvane_layers})
    string(FIND "${path}" "${folder}/" at)
    if(at EQUAL 0)
      set(${out} ${order} PARENT_SCOPE)
      return()
    endif()
    math(EXPR order "${order} + 1")
  endforeach()
  set(${out} 99 PARENT_SCOPE)
endfunction()

set(globs "")
foreach(folder ${kelvane_layers})
  list(APPEND globs ${KELVANE_ROOT}/${folder}/*.h ${KELVANE_ROOT}/${folder}/*.cpp)
endforeach()
file(GLOB_RECURSE sources RELATIVE ${KELVANE_ROOT} ${globs})
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
  message(FATAL_ERROR "includes that reach up a layer (platform < res < app/state < queue < engine < pages < app/shell):${found}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
