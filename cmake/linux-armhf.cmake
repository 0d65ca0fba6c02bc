# Static Linux build for 32-bit ARM, hard float, with Debian's cross compiler
# (g++-arm-linux-gnueabihf), run under qemu-arm-static (package qemu-user-static) by the cross stage;
# packaged as armhf.
# Use: cmake -S . -B build/linux-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/linux-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CROSS_TRIPLET arm-linux-gnueabihf)
set(CROSS_QEMU qemu-arm-static)
set(DEBIAN_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
