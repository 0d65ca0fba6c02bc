# Static Linux build for big-endian IBM Z (s390x) with Debian's cross compiler (g++-s390x-linux-gnu),
# run under qemu-s390x-static (package qemu-user-static) by the cross stage: the big-endian check.
# Use: cmake -S . -B build/linux-s390x -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/linux-s390x.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CROSS_TRIPLET s390x-linux-gnu)
set(CROSS_QEMU qemu-s390x-static)
set(DEBIAN_ARCHITECTURE s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
