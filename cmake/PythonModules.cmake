# Python extension modules without pybind11's CMake package (a pip-installed torch ships
# pybind11 headers but no CMake files). Prefer the pybind11 headers torch was built with,
# so that our modules and torch's casters agree on pybind11's internals.
execute_process(
  COMMAND "${Python3_EXECUTABLE}" -c [=[
import sysconfig
print(sysconfig.get_config_var("EXT_SUFFIX"))
try:
    import pybind11
    print(pybind11.get_include())
except ImportError:
    print("")
]=]
  OUTPUT_VARIABLE _py_out OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE "\n" ";" _py_lines "${_py_out}")
list(GET _py_lines 0 KORVANE_EXT_SUFFIX)
list(LENGTH _py_lines _n)
set(_pip_pybind11 "")
if(_n GREATER 1)
  list(GET _py_lines 1 _pip_pybind11)
endif()

if(TORCH_PYBIND11_INCLUDE_DIR)
  set(KORVANE_PYBIND11_INCLUDE "${TORCH_PYBIND11_INCLUDE_DIR}")
elseif(EXISTS /usr/include/pybind11/pybind11.h)
  set(KORVANE_PYBIND11_INCLUDE /usr/include)
elseif(_pip_pybind11)
  set(KORVANE_PYBIND11_INCLUDE "${_pip_pybind11}")
else()
  message(FATAL_ERROR "pybind11 headers not found: run 'make deps' (pybind11-dev)")
endif()
message(STATUS "pybind11 headers: ${KORVANE_PYBIND11_INCLUDE}; module suffix ${KORVANE_EXT_SUFFIX}")

add_library(korvane_python INTERFACE)
target_include_directories(korvane_python SYSTEM INTERFACE "${KORVANE_PYBIND11_INCLUDE}" ${Python3_INCLUDE_DIRS})
target_compile_options(korvane_python INTERFACE -fvisibility=hidden)

# Where the package's native modules go: the source tree (the in-place build of `make
# build`), or the staging directory of a pip build (setup.py sets it).
set(KORVANE_PACKAGE_DIR "${CMAKE_SOURCE_DIR}" CACHE PATH "root under which korvane/*/ receives the native modules")

# korvane_python_module(<target> <package dir, relative> sources...)
function(korvane_python_module target outdir)
  add_library(${target} MODULE ${ARGN})
  target_link_libraries(${target} PRIVATE korvane_python)
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX "${KORVANE_EXT_SUFFIX}"
    LIBRARY_OUTPUT_DIRECTORY "${KORVANE_PACKAGE_DIR}/${outdir}"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()
