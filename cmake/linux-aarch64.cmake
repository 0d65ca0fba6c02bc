# Static Linux build for 64-bit ARM with Debian's cross compiler (g++-aarch64-linux-gnu), run
# under qemu-aarch64-static (package qemu-user-static) by the cross stage; packaged as arm64.
# Use: cmake -S . -B build/linux-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CROSS_TRIPLET aarch64-linux-gnu)
set(CROSS_QEMU qemu-aarch64-static)
set(DEBIAN_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
