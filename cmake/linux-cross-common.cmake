# Shared part of the Linux cross toolchain files, which set CMAKE_SYSTEM_PROCESSOR, CROSS_TRIPLET (the
# Debian cross compilers' prefix), CROSS_QEMU (the user-mode emulator of that processor) and
# DEBIAN_ARCHITECTURE (the architecture of the Debian package that cpack makes).
# The programs are linked statically, so the emulator runs them without any of the target's libraries
# installed; with the emulator found, ctest runs the unit tests under it.
set(CMAKE_SYSTEM_NAME Linux)
find_program(CMAKE_C_COMPILER NAMES ${CROSS_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${CROSS_TRIPLET}-g++ REQUIRED)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(CROSS_QEMU_PROGRAM NAMES ${CROSS_QEMU})
if(CROSS_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU_PROGRAM})
endif()
# Libraries and headers of the target only: the host's libpng or CFITSIO must never be linked into a
# target program. Debian puts the target's files under /usr/<triplet> and, for packages of a foreign
# architecture, under /usr/lib/<triplet>.
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLET})
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
