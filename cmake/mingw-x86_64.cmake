# Cross build for Windows with the MinGW-w64 "posix" thread-model compilers (std::thread; winpthreads
# is linked in statically, so no DLL beyond the system ones is imported).
# Use: cmake -S . -B build/win-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
