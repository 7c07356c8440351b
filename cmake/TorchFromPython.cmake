# Locate the tensor library through the Python interpreter that will load our modules,
# so the build matches whatever torch that interpreter imports (Debian's package or a
# pip wheel): headers, libraries, the C++ ABI flag and the pybind11 headers torch ships.
execute_process(
  COMMAND "${Python3_EXECUTABLE}" -c [=[
import os, sys
import torch
root = os.path.dirname(torch.__file__)
inc = os.path.join(root, "include")
libdir = os.path.join(root, "lib")
pyb = os.path.join(inc, "pybind11")
print(inc)
print(os.path.join(inc, "torch", "csrc", "api", "include"))
print(libdir)
abi = getattr(torch._C, "_GLIBCXX_USE_CXX11_ABI", None)  # 1.x and 2.x; newer ones also have:
if abi is None and hasattr(torch, "compiled_with_cxx11_abi"):
    abi = torch.compiled_with_cxx11_abi()
print(int(bool(abi)) if abi is not None else 1)
print(inc if os.path.isdir(pyb) else "")
print(torch.__version__)
]=]
  RESULT_VARIABLE _torch_rc
  OUTPUT_VARIABLE _torch_out
  ERROR_VARIABLE _torch_err
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT _torch_rc EQUAL 0)
  message(FATAL_ERROR "${Python3_EXECUTABLE} cannot import torch:\n${_torch_err}\n"
                      "Run 'make deps' or pass PYTHON=<interpreter with torch>.")
endif()
string(REPLACE "\n" ";" _torch_lines "${_torch_out}")
list(GET _torch_lines 0 TORCH_INCLUDE_DIR)
list(GET _torch_lines 1 TORCH_API_INCLUDE_DIR)
list(GET _torch_lines 2 TORCH_LIBRARY_DIR)
list(GET _torch_lines 3 TORCH_CXX11_ABI)
list(GET _torch_lines 4 TORCH_PYBIND11_INCLUDE_DIR)
list(GET _torch_lines 5 TORCH_VERSION)
message(STATUS "torch ${TORCH_VERSION}: ${TORCH_INCLUDE_DIR} (CXX11 ABI ${TORCH_CXX11_ABI})")

foreach(_lib c10 torch torch_cpu torch_python)
  find_library(TORCH_LIB_${_lib} ${_lib} PATHS "${TORCH_LIBRARY_DIR}" NO_DEFAULT_PATH)
  if(NOT TORCH_LIB_${_lib})
    find_library(TORCH_LIB_${_lib} ${_lib})
  endif()
  if(NOT TORCH_LIB_${_lib})
    message(FATAL_ERROR "lib${_lib} not found next to torch (${TORCH_LIBRARY_DIR})")
  endif()
  list(APPEND TORCH_LINK_LIBRARIES "${TORCH_LIB_${_lib}}")
endforeach()

add_library(korvane_torch INTERFACE)
target_include_directories(korvane_torch SYSTEM INTERFACE "${TORCH_INCLUDE_DIR}" "${TORCH_API_INCLUDE_DIR}")
target_link_libraries(korvane_torch INTERFACE ${TORCH_LINK_LIBRARIES})
# Linked libraries are found next to torch at run time, wherever pip put it.
set(KORVANE_TORCH_RPATH "${TORCH_LIBRARY_DIR}")
target_compile_definitions(korvane_torch INTERFACE _GLIBCXX_USE_CXX11_ABI=${TORCH_CXX11_ABI})
