# The Python module calstars2fp (src/python/), built with pybind11 and NumPy for Python 3.
#
# CALSTARS2FP_PYTHON: AUTO builds it where Python 3 with its development files, NumPy and pybind11 are
# found (Debian: python3-dev python3-numpy pybind11-dev) and leaves it out with a note otherwise; ON
# makes them required; OFF leaves it out. Not for Windows or cross builds: the module is loaded by
# the build machine's Python.
#
# The interpreter: Python3_EXECUTABLE when given; otherwise the first python3 on PATH, unless it
# lacks NumPy and the system's /usr/bin/python3 has it (a version manager's python3 often comes
# first on PATH without the distribution's packages).
set(CALSTARS2FP_PYTHON AUTO CACHE STRING "Build the Python module: AUTO, ON or OFF")

set(BUILD_PYTHON_MODULE OFF)
if(CALSTARS2FP_PYTHON STREQUAL "OFF" OR NOT CALSTARS2FP_PYTHON OR WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()
if(CALSTARS2FP_PYTHON STREQUAL "AUTO")
  # The interpreter is not built with the sanitizers, so it could not load a module built with them.
  if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    message(STATUS "The Python module is not built in a sanitizer build (CALSTARS2FP_PYTHON=ON builds it anyway)")
    return()
  endif()
  set(python_need QUIET)
else()
  set(python_need REQUIRED)
endif()

if(NOT Python3_EXECUTABLE)
  find_program(python_on_path NAMES python3 NO_CACHE)
  foreach(candidate IN ITEMS "${python_on_path}" /usr/bin/python3)
    if(candidate AND EXISTS "${candidate}")
      execute_process(COMMAND "${candidate}" -c "import numpy" RESULT_VARIABLE no_numpy OUTPUT_QUIET ERROR_QUIET)
      if(no_numpy EQUAL 0)
        set(Python3_EXECUTABLE "${candidate}" CACHE FILEPATH "Python 3 interpreter of the module")
        break()
      endif()
    endif()
  endforeach()
endif()

find_package(Python3 COMPONENTS Interpreter Development.Module NumPy ${python_need})
if(Python3_FOUND)
  find_package(pybind11 CONFIG ${python_need})
endif()
if(NOT Python3_FOUND OR NOT pybind11_FOUND)
  message(STATUS "The Python module is not built: it needs Python 3 with its development files, NumPy and "
                 "pybind11 (Debian: python3-dev python3-numpy pybind11-dev)")
  return()
endif()
set(BUILD_PYTHON_MODULE ON)

# The viewer's four-product reader is the module's too (read_fourproduct makes fpview's checks).
# NO_EXTRAS: no link-time optimisation or stripping here (CPack strips the packaged copy).
pybind11_add_module(calstars2fp_python MODULE NO_EXTRAS src/python/calstars2fp_module.cpp)
set_target_properties(calstars2fp_python PROPERTIES OUTPUT_NAME calstars2fp LIBRARY_OUTPUT_DIRECTORY
                      ${CMAKE_BINARY_DIR}/python)
target_link_libraries(calstars2fp_python PRIVATE fourproduct_reader)
# The static libraries go into a shared object: their code must be position-independent.
set_target_properties(calstars2fp_core fourproduct_reader PROPERTIES POSITION_INDEPENDENT_CODE ON)
# Beside the module, so that editors find the stub in the build folder as in the installed one.
configure_file(src/python/calstars2fp.pyi ${CMAKE_BINARY_DIR}/python/calstars2fp.pyi COPYONLY)

# Where the interpreter finds it: its platform-specific site folder, relative to the install prefix.
# On Debian that is lib/python3/dist-packages for the distribution's own packages (prefix /usr); it
# is not on the path under /usr/local, so there lib/python3.X/dist-packages, which is on the path
# under both prefixes, is taken.
if(Python3_SITEARCH MATCHES "/dist-packages$")
  set(python_dir_default lib/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/dist-packages)
else()
  execute_process(COMMAND "${Python3_EXECUTABLE}" -c "import sys; print(sys.prefix)"
                  OUTPUT_VARIABLE python_prefix OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(RELATIVE_PATH python_dir_default "${python_prefix}" "${Python3_SITEARCH}")
endif()
set(CALSTARS2FP_PYTHON_INSTALL_DIR "${python_dir_default}" CACHE STRING
    "Folder of the Python module, relative to the install prefix")
install(TARGETS calstars2fp_python LIBRARY DESTINATION ${CALSTARS2FP_PYTHON_INSTALL_DIR})
install(FILES src/python/calstars2fp.pyi DESTINATION ${CALSTARS2FP_PYTHON_INSTALL_DIR})
