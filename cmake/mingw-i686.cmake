# Cross build for Windows with the MinGW-w64 "posix" thread-model compilers (std::thread; winpthreads
# is linked in statically, so no DLL beyond the system ones is imported).
# Use: cmake -S . -B build/win-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
