# The Python package calstars2fp (src/python/): the compiled core calstars2fp._core, built with
# pybind11, and the package's Python files, type stub and PEP 561 marker beside it in
# build/python/calstars2fp/, so that PYTHONPATH=build/python imports it as installed.
#
# CALSTARS2FP_PYTHON: AUTO builds it where Python 3 with its development files, NumPy and pybind11 are
# found (Debian: python3-dev python3-numpy pybind11-dev) and leaves it out with a note otherwise; ON
# makes them required; OFF leaves it out. Not for Windows or cross builds: the module is loaded by
# the build machine's Python. The core compiles without NumPy (pybind11 reaches NumPy at run time),
# so a build without its tests (the pip build, pyproject.toml) needs only the interpreter, its
# development files and pybind11; the tests and every import need NumPy.
#
# The interpreter: Python3_EXECUTABLE when given; otherwise the first python3 on PATH, unless it
# lacks NumPy and the system's /usr/bin/python3 has it (a version manager's python3 often comes
# first on PATH without the distribution's packages). Configure says which one it took.
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

find_package(Python3 COMPONENTS Interpreter Development.Module ${python_need})
if(Python3_FOUND)
  find_package(pybind11 CONFIG ${python_need})
endif()
if(NOT Python3_FOUND OR NOT pybind11_FOUND)
  message(STATUS "The Python module is not built: it needs Python 3 with its development files, NumPy and "
                 "pybind11 (Debian: python3-dev python3-numpy pybind11-dev)")
  return()
endif()
execute_process(COMMAND "${Python3_EXECUTABLE}" -c "import numpy; print(numpy.__version__)" RESULT_VARIABLE no_numpy
                OUTPUT_VARIABLE numpy_version OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT no_numpy EQUAL 0)
  if(CALSTARS2FP_PYTHON STREQUAL "AUTO")
    message(STATUS "The Python module is not built: ${Python3_EXECUTABLE} has no NumPy (Debian: python3-numpy; "
                   "or -DPython3_EXECUTABLE=<an interpreter with NumPy>)")
    return()
  elseif(CALSTARS2FP_TESTS)
    message(FATAL_ERROR "The Python module's tests need NumPy, which ${Python3_EXECUTABLE} cannot import "
                        "(Debian: python3-numpy; or -DPython3_EXECUTABLE=<an interpreter with NumPy>)")
  endif()
  set(numpy_version "not importable here; needed to import the module")
endif()
set(BUILD_PYTHON_MODULE ON)

# NO_EXTRAS: no link-time optimisation or stripping here (CPack strips the packaged copy).
set(python_package_dir ${CMAKE_BINARY_DIR}/python/calstars2fp)
# One source file per concept of the module (src/python/bindings/), module.cpp defining the module.
pybind11_add_module(calstars2fp_python MODULE NO_EXTRAS
  src/python/bindings/module.cpp
  src/python/bindings/conversions.cpp
  src/python/bindings/gil.cpp
  src/python/bindings/errors.cpp
  src/python/bindings/records.cpp
  src/python/bindings/reconstitution.cpp
  src/python/bindings/fourproduct.cpp
  src/python/bindings/run.cpp)
set_target_properties(calstars2fp_python PROPERTIES OUTPUT_NAME _core LIBRARY_OUTPUT_DIRECTORY ${python_package_dir})
target_link_libraries(calstars2fp_python PRIVATE calstars2fp_core)
# The static libraries go into a shared object: their code must be position-independent.
set_target_properties(calstars2fp_core PROPERTIES POSITION_INDEPENDENT_CODE ON)
set(python_package_files __init__.py _errors.py _draw.py _core.pyi py.typed)
foreach(file IN LISTS python_package_files)
  configure_file(src/python/calstars2fp/${file} ${python_package_dir}/${file} COPYONLY)
endforeach()

# The package of an editable install (pip install -e ., through the build backend): python-editable/
# holds calstars2fp/ with links to the source's Python files, stub and marker and to the built core,
# so that an edit of a Python file counts at the next import and a rebuild of the core
# (cmake --build <build folder> --target calstars2fp_python) at the next start of the interpreter.
set(python_editable_dir ${CMAKE_BINARY_DIR}/python-editable/calstars2fp)
set(python_editable_links)
foreach(file IN LISTS python_package_files)
  list(APPEND python_editable_links COMMAND ${CMAKE_COMMAND} -E create_symlink
       ${CMAKE_SOURCE_DIR}/src/python/calstars2fp/${file} ${python_editable_dir}/${file})
endforeach()
add_custom_target(calstars2fp_python_editable
  COMMAND ${CMAKE_COMMAND} -E make_directory ${python_editable_dir}
  ${python_editable_links}
  COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:calstars2fp_python>
          ${python_editable_dir}/$<TARGET_FILE_NAME:calstars2fp_python>
  DEPENDS calstars2fp_python
  COMMENT "The editable package: links in ${python_editable_dir}")

# The package's metadata (a .dist-info folder without a RECORD, so that pip lists it and
# importlib.metadata finds its version but leaves its removal to what installed it), written by the
# build backend from pyproject.toml and the project's version.
set(python_dist_info ${CMAKE_BINARY_DIR}/python/calstars2fp-${PROJECT_VERSION}.dist-info)
add_custom_command(OUTPUT ${python_dist_info}/METADATA
  COMMAND "${Python3_EXECUTABLE}" ${CMAKE_SOURCE_DIR}/src/python/backend/calstars2fp_build.py dist-info
          ${CMAKE_BINARY_DIR}/python --installer cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/pyproject.toml ${CMAKE_SOURCE_DIR}/src/python/backend/calstars2fp_build.py
          ${CMAKE_SOURCE_DIR}/CMakeLists.txt
  COMMENT "Metadata of the Python package")
add_custom_target(calstars2fp_python_metadata ALL DEPENDS ${python_dist_info}/METADATA)

# Where the interpreter finds it: its platform-specific site folder, relative to the install prefix.
# Debian's Python takes the distribution's packages (prefix /usr, the Debian package's) from
# lib/python3/dist-packages, as its policy for packages asks; that folder is not on the path under
# /usr/local, so under every other prefix lib/python3.X/dist-packages, which is on the path under
# both, is taken. The prefix is known only when installing (cmake --install --prefix, or cpack's
# /usr), so the folder is chosen then, unless CALSTARS2FP_PYTHON_INSTALL_DIR names one.
set(CALSTARS2FP_PYTHON_INSTALL_DIR "" CACHE STRING
    "Folder of the Python package, relative to the install prefix (empty: the interpreter's, for the prefix)")
set(python_version_dir lib/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/dist-packages)
if(CALSTARS2FP_PYTHON_INSTALL_DIR)
  set(python_dir_rule "set(calstars2fp_python_dir \"${CALSTARS2FP_PYTHON_INSTALL_DIR}\")")
  set(python_dir_said "${CALSTARS2FP_PYTHON_INSTALL_DIR}")
elseif(Python3_SITEARCH MATCHES "/dist-packages$")
  set(python_dir_rule "if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
  set(calstars2fp_python_dir lib/python3/dist-packages)
else()
  set(calstars2fp_python_dir ${python_version_dir})
endif()")
  set(python_dir_said "${python_version_dir} (prefix /usr: lib/python3/dist-packages)")
else()
  execute_process(COMMAND "${Python3_EXECUTABLE}" -c "import sys; print(sys.prefix)"
                  OUTPUT_VARIABLE python_prefix OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(RELATIVE_PATH python_site_dir "${python_prefix}" "${Python3_SITEARCH}")
  set(python_dir_rule "set(calstars2fp_python_dir \"${python_site_dir}\")")
  set(python_dir_said "${python_site_dir}")
endif()
# The rule runs before the package's own rules, in the same component; their destinations name the
# variable it sets (escaped here, so the install script reads it).
install(CODE "${python_dir_rule}" COMPONENT python)
set(python_install_dir "\${calstars2fp_python_dir}")
install(TARGETS calstars2fp_python LIBRARY DESTINATION ${python_install_dir}/calstars2fp COMPONENT python)
list(TRANSFORM python_package_files PREPEND ${CMAKE_SOURCE_DIR}/src/python/calstars2fp/ OUTPUT_VARIABLE python_package_sources)
install(FILES ${python_package_sources} DESTINATION ${python_install_dir}/calstars2fp COMPONENT python)
install(DIRECTORY ${python_dist_info} DESTINATION ${python_install_dir} COMPONENT python)

message(STATUS "Python module: built for ${Python3_EXECUTABLE} (Python ${Python3_VERSION}, NumPy ${numpy_version}), "
               "installed into <prefix>/${python_dir_said}")
