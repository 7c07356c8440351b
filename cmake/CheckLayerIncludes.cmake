# Checks every #include "<folder>/<file>" written in a layer's folders against the layers
# that folder may see: its own and those its layers depend on, transitively. The build
# refuses such an include only where a translation unit reaches it; this also covers
# headers that nothing compiles yet. Layers depend only on layers declared before them,
# so within the rules no two folders of different layers include each other.
#
#   cmake -DMAP=<build>/layers.txt -DROOT=<source root> -P CheckLayerIncludes.cmake
# MAP: one line per layer, "<target> | <folders> | <layers it depends on>".
cmake_minimum_required(VERSION 3.18)
file(STRINGS "${MAP}" _lines)
set(_folders "")
foreach(_line ${_lines})
  string(REGEX MATCH "^([^ ]+) \\| ([^|]*) \\|(.*)$" _ "${_line}")
  set(_layer "${CMAKE_MATCH_1}")
  separate_arguments(_own UNIX_COMMAND "${CMAKE_MATCH_2}")
  separate_arguments(_deps UNIX_COMMAND "${CMAKE_MATCH_3}")
  set(_sees ${_own})
  foreach(_d ${_deps})
    list(APPEND _sees ${SEES_${_d}})
  endforeach()
  list(REMOVE_DUPLICATES _sees)
  set(SEES_${_layer} ${_sees})
  foreach(_f ${_own})
    list(APPEND _folders "${_f}")
    list(APPEND ALLOWED_${_f} ${_sees})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES _folders)

set(_errors "")
set(_checked 0)
foreach(_folder ${_folders})
  file(GLOB _files LIST_DIRECTORIES false "${ROOT}/${_folder}/*.hpp" "${ROOT}/${_folder}/*.h"
       "${ROOT}/${_folder}/*.cpp" "${ROOT}/${_folder}/*.inc")
  foreach(_file ${_files})
    file(STRINGS "${_file}" _includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+/[^\"]+\"")
    file(RELATIVE_PATH _rel "${ROOT}" "${_file}")
    foreach(_inc ${_includes})
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" _path "${_inc}")
      get_filename_component(_dir "${_path}" DIRECTORY)
      math(EXPR _checked "${_checked} + 1")
      if(_dir IN_LIST ALLOWED_${_folder})
        continue()
      elseif(_dir IN_LIST _folders)
        list(APPEND _errors "${_rel}: includes ${_path}, a layer that ${_folder} does not depend on")
      elseif(_path MATCHES "^(korvane|tools)/")
        list(APPEND _errors "${_rel}: includes ${_path}, from a folder that no layer declares")
      endif()
    endforeach()
  endforeach()
endforeach()

if(_errors)
  string(REPLACE ";" "\n  " _errors "${_errors}")
  message(FATAL_ERROR "includes against the layering:\n  ${_errors}")
endif()
list(LENGTH _folders _n)
message(STATUS "${_checked} includes in ${_n} folders follow the layering")
