# Installation and packages: the programs, their manual pages and the Slurm script (component
# "tools"; the Python package is the component "python", cmake/python.cmake); a Debian package per
# component on Linux, a ZIP of the .exe files on Windows.
#
# The Debian packages are made as a distribution would take them: manual pages compressed with
# gzip -9n, a copyright file (with Highway's licence where Highway is compiled in) and a changelog in
# /usr/share/doc/<package>/, and lintian clean of errors (.ci/python_package.sh runs it).
include(GNUInstallDirs)

# Who answers for the packages, in their Maintainer field, copyright file and changelog: a site or a
# distribution that builds them names itself here.
set(CALSTARS2FP_PACKAGE_MAINTAINER "calstars2fp developers <calstars2fp@example.org>" CACHE STRING
    "Maintainer of the Debian packages: name <address>")

install(TARGETS calstars2fp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET fpview)
  install(TARGETS fpview RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(NOT WIN32)
  # The Slurm batch script: one camera-night per task of a job array.
  install(PROGRAMS scripts/calstars2fp-array.sbatch DESTINATION ${CMAKE_INSTALL_DATADIR}/calstars2fp)

  # The manual pages are templates that carry the version; the filled pages are installed compressed,
  # as man reads them. Like the changelog below, they are written when the build is configured (the
  # templates' changes configure it again), so that every install finds them, whatever was built.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  # Writes <file>.gz beside <file> with gzip -9n: no name or time in the header, so the same text
  # gives the same bytes.
  function(compress_for_install file)
    execute_process(COMMAND ${GZIP_PROGRAM} -9 -n -c ${file} OUTPUT_FILE ${file}.gz RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "gzip could not compress ${file}")
    endif()
  endfunction()
  set(manual_pages calstars2fp)
  if(TARGET fpview)
    list(APPEND manual_pages fpview)
  endif()
  set(compressed_pages)
  foreach(page IN LISTS manual_pages)
    configure_file(man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
    compress_for_install(${CMAKE_BINARY_DIR}/man/${page}.1)
    list(APPEND compressed_pages ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  endforeach()
  install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The copyright file and the changelog of each package. A Highway compiled in from its source tree
  # is part of the programs and the Python module, so its licence goes with them.
  set(copyright_highway "")
  if(CALSTARS2FP_HIGHWAY_SOURCE)
    file(STRINGS ${CALSTARS2FP_HIGHWAY_SOURCE}/hwy/highway.h highway_version_lines
         REGEX "^#define HWY_(MAJOR|MINOR|PATCH) [0-9]+")
    string(REGEX REPLACE "[^;]* ([0-9]+);[^;]* ([0-9]+);[^;]* ([0-9]+)" "\\1.\\2.\\3" highway_version
           "${highway_version_lines}")
    configure_file(packaging/copyright-highway.in ${CMAKE_BINARY_DIR}/packaging/copyright-highway @ONLY)
    file(READ ${CMAKE_BINARY_DIR}/packaging/copyright-highway copyright_highway)
  endif()
  configure_file(packaging/copyright.in ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY)
  # The changelog's date: SOURCE_DATE_EPOCH where the build sets it (reproducible packages), else now.
  string(TIMESTAMP package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
  compress_for_install(${CMAKE_BINARY_DIR}/packaging/changelog)
  set(package_documents ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${package_documents} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/calstars2fp)
  # A static program (the cross builds') is one on purpose: the override says so to lintian.
  if(CMAKE_EXE_LINKER_FLAGS MATCHES "(^| )-static( |$)")
    install(FILES packaging/lintian-overrides-static RENAME calstars2fp DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)
  endif()
  if(BUILD_PYTHON_MODULE)
    install(FILES ${package_documents} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-calstars2fp COMPONENT python)
  endif()
endif()

set(CPACK_PACKAGE_NAME calstars2fp)
set(CPACK_PACKAGE_VENDOR "calstars2fp developers")
set(CPACK_PACKAGE_CONTACT "${CALSTARS2FP_PACKAGE_MAINTAINER}")
# Each package's description is its own: its first line the summary, then lines of at most 80
# characters, which Debian shows as they are written.
set(package_summary "Synthesises four-product star-field images from CALSTARS star lists")
set(CPACK_PACKAGE_DESCRIPTION "calstars2fp reads the CALSTARS star lists of a sky-camera pipeline (each
star's position, intensity and background, one frame record per image) and
writes, for every record, a four-product file of four 8-bit planes (peak value,
frame index of the peak, mean value, standard deviation) that looks like a
capture of that star field. A folder is processed by several workers with the
same bytes as by one, and a Slurm batch script runs an archive of nights as a
job array.")
if(TARGET fpview)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
fpview exports the four-product files as PNG mosaics and FITS cubes.")
endif()
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  # The packages' files are staged under DESTDIR with the prefix /usr itself, so that install rules
  # that depend on the prefix (the Python package's folder, cmake/python.cmake) see the one the
  # package installs into.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  # dpkg-shlibdeps turns the programs' shared libraries (libpng, CFITSIO, libstdc++) into Depends.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Two packages: the programs in calstars2fp, the Python package in python3-calstars2fp, which
  # needs the interpreter it was built for (its compiled core fits one Python version) and NumPy,
  # and suggests astropy for FourProduct.to_hdulist. dpkg-shlibdeps adds each one's libraries.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME calstars2fp)
  set(CPACK_COMPONENT_TOOLS_DESCRIPTION "${package_summary}\n${CPACK_PACKAGE_DESCRIPTION}")
  if(BUILD_PYTHON_MODULE)
    list(APPEND CPACK_COMPONENTS_ALL python)
    math(EXPR python_next_minor "${Python3_VERSION_MINOR} + 1")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-calstars2fp)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
        "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${python_next_minor}), python3-numpy")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS python3-astropy)
    set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python package of calstars2fp: star lists and four-product planes as arrays
The Python package calstars2fp gives the CALSTARS star lists, the synthesised
four-product planes and the four-product files as NumPy arrays, byte for byte
what the program calstars2fp writes: it runs the same code in the same process.
Star fields can also come from any catalogue's table (a NumPy structured array,
an astropy Table, a pandas DataFrame) and be drawn for any image size.")
  endif()
  # A cross build is packaged for its target (the toolchain file names it), not for the build machine.
  if(CMAKE_CROSSCOMPILING AND DEBIAN_ARCHITECTURE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DEBIAN_ARCHITECTURE})
  endif()
  # A package linked with Debian's shared Highway starts slower (CMakeLists.txt, the Highway part):
  # cpack says so to whoever makes it.
  if(NOT CALSTARS2FP_HIGHWAY_SOURCE)
    set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/shared_highway_note.cmake)
  endif()
endif()
include(CPack)
