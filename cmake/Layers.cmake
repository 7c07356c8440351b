# The layers of the source tree, one CMake target per folder.
#
# Includes are written from the source root ("korvane/common/http/exchange.hpp"), so the
# source root as an include directory would let any file include any other. Instead each
# layer publishes an include tree of its own, in the build directory, holding links to the
# files of its folder and nothing else. A target sees its own tree and, through CMake's
# usage requirements, the trees of the layers it DEPENDS on (transitively): an #include of
# a higher or unrelated layer does not compile. A layer may only depend on layers declared
# before it, so the layers cannot form a cycle.
#
#   korvane_layer(<target>
#     [PYTHON]               pybind11 code: Python and pybind11 headers, hidden visibility
#     [TORCH]                LibTorch headers and libraries (about 30 s per translation unit)
#     [MODULE <package dir>] a Python extension module placed in that package (implies PYTHON)
#     [PROGRAM]              an executable
#     [TORCH_ABI_TWIN]       also build <target>_torch_abi, compiled with torch's
#                            _GLIBCXX_USE_CXX11_ABI for modules that link torch (no torch headers)
#     [FOLDERS <dirs>...]    folders from the source root; default: the calling folder
#     [SOURCES <files>...]   relative to the calling folder; none: a header-only layer
#     [DEPENDS <targets>...] lower layers, third-party targets and system libraries)
#
# PYTHON and TORCH layers exist only with KORVANE_PYTHON. A layer without them is core: it compiles and is tested without either, and
# with KORVANE_SANITIZE it also gets a twin <target>_sanitized (ASan+UBSan) for the tests.
# Only the files directly in a folder are exposed: subfolders are layers of their own.
#
# Each layer's folders and dependencies are also written to layers.txt in the build tree,
# for the check that every #include in a folder stays within what that folder may see.

set(KORVANE_LAYER_TREES "${CMAKE_BINARY_DIR}/layers")
set(KORVANE_LAYER_MAP "${CMAKE_BINARY_DIR}/layers.txt")
file(WRITE "${KORVANE_LAYER_MAP}" "")
set(KORVANE_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

# Only the calling project's compile definition for the tensor library's C++ ABI.
if(TARGET korvane_torch AND NOT TARGET korvane_torch_abi)
  add_library(korvane_torch_abi INTERFACE)
  target_compile_definitions(korvane_torch_abi INTERFACE _GLIBCXX_USE_CXX11_ABI=${TORCH_CXX11_ABI})
endif()

# Links the headers directly inside each folder into <tree>/<folder>/. The tree is made
# afresh at every configure, so a folder that leaves a layer leaves its tree too; the glob
# is checked at build time, so a new header re-runs CMake and appears in the tree.
function(_korvane_layer_tree tree)
  file(REMOVE_RECURSE "${tree}")
  foreach(folder ${ARGN})
    set(_dir "${CMAKE_SOURCE_DIR}/${folder}")
    file(GLOB _headers LIST_DIRECTORIES false CONFIGURE_DEPENDS "${_dir}/*.hpp" "${_dir}/*.h" "${_dir}/*.inc")
    file(MAKE_DIRECTORY "${tree}/${folder}")
    foreach(h ${_headers})
      get_filename_component(_name "${h}" NAME)
      file(CREATE_LINK "${h}" "${tree}/${folder}/${_name}" SYMBOLIC)
    endforeach()
  endforeach()
endfunction()

# One target of a layer. <variant> is "" for the layer itself, or "sanitized" or "torch_abi";
# a variant links the same variant of those dependencies that have one.
function(_korvane_layer_target target variant kind module_dir program tree sources deps)
  set(_name ${target})
  if(variant)
    set(_name ${target}_${variant})
  endif()
  if(module_dir)
    korvane_python_module(${_name} "${module_dir}" ${sources})
  elseif(program)
    add_executable(${_name} ${sources})
  elseif(sources)
    add_library(${_name} STATIC ${sources})
  else()
    add_library(${_name} INTERFACE)
  endif()
  if(variant)
    set_target_properties(${_name} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()

  set(_scope PUBLIC)
  if(module_dir OR program)
    set(_scope PRIVATE)
  elseif(NOT sources)
    set(_scope INTERFACE)
  endif()
  target_include_directories(${_name} ${_scope} "${tree}")
  foreach(d ${deps})
    if(variant AND TARGET ${d}_${variant})
      set(d ${d}_${variant})
    endif()
    target_link_libraries(${_name} ${_scope} ${d})
  endforeach()

  if(kind STREQUAL "python" AND NOT module_dir)
    target_link_libraries(${_name} ${_scope} korvane_python)
  elseif(kind STREQUAL "torch")
    target_link_libraries(${_name} ${_scope} korvane_python korvane_torch)
    if(module_dir)
      set_target_properties(${_name} PROPERTIES BUILD_RPATH "${KORVANE_TORCH_RPATH}")
    endif()
  endif()
  if(variant STREQUAL "sanitized")
    target_compile_options(${_name} ${_scope} ${KORVANE_SANITIZE_FLAGS} -O1 -g)
    target_link_options(${_name} ${_scope} ${KORVANE_SANITIZE_FLAGS})
  elseif(variant STREQUAL "torch_abi")
    target_link_libraries(${_name} ${_scope} korvane_torch_abi)
  endif()
endfunction()

function(korvane_layer target)
  cmake_parse_arguments(L "PYTHON;TORCH;TORCH_ABI_TWIN;PROGRAM" "MODULE" "FOLDERS;SOURCES;DEPENDS" ${ARGN})
  if(L_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "korvane_layer(${target}): unknown arguments ${L_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT L_FOLDERS)
    file(RELATIVE_PATH L_FOLDERS "${CMAKE_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  set(kind core)
  if((L_PYTHON OR L_TORCH OR L_MODULE) AND NOT KORVANE_PYTHON)
    return()
  endif()
  if(L_TORCH)
    set(kind torch)
  elseif(L_PYTHON OR L_MODULE)
    set(kind python)
  endif()

  set(_layer_deps "")
  foreach(d ${L_DEPENDS})
    if(NOT TARGET ${d})
      if(d MATCHES "^(korvane|_)|::")
        message(FATAL_ERROR "korvane_layer(${target}): ${d} is not declared yet; declare layers bottom up")
      endif()
      continue()  # a plain system library, such as dl
    endif()
    get_target_property(_base ${d} KORVANE_LAYER)
    if(_base)
      list(APPEND _layer_deps ${_base})
      get_target_property(_dep_kind ${d} KORVANE_LAYER_KIND)
      if(kind STREQUAL "core" AND NOT _dep_kind STREQUAL "core")
        message(FATAL_ERROR "korvane_layer(${target}): a core layer cannot depend on ${d} (${_dep_kind})")
      endif()
    endif()
  endforeach()

  set(sources "")
  foreach(s ${L_SOURCES})
    get_filename_component(s "${s}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND sources "${s}")
  endforeach()
  set(tree "${KORVANE_LAYER_TREES}/${target}")
  _korvane_layer_tree("${tree}" ${L_FOLDERS})

  _korvane_layer_target(${target} "" ${kind} "${L_MODULE}" "${L_PROGRAM}" "${tree}" "${sources}" "${L_DEPENDS}")
  set(_made ${target})
  if(kind STREQUAL "core" AND KORVANE_SANITIZE AND NOT L_PROGRAM)
    _korvane_layer_target(${target} sanitized core "" "" "${tree}" "${sources}" "${L_DEPENDS}")
    list(APPEND _made ${target}_sanitized)
  endif()
  if(L_TORCH_ABI_TWIN AND TARGET korvane_torch_abi)
    _korvane_layer_target(${target} torch_abi ${kind} "" "" "${tree}" "${sources}" "${L_DEPENDS}")
    list(APPEND _made ${target}_torch_abi)
  endif()
  # KORVANE_LAYER names the layer a target (or a twin) belongs to.
  set_target_properties(${_made} PROPERTIES KORVANE_LAYER ${target} KORVANE_LAYER_KIND ${kind})

  string(REPLACE ";" " " _f "${L_FOLDERS}")
  string(REPLACE ";" " " _d "${_layer_deps}")
  file(APPEND "${KORVANE_LAYER_MAP}" "${target} | ${_f} | ${_d}\n")
endfunction()
