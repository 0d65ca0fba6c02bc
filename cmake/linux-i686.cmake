# 32-bit x86 Linux build with the multilib compilers (Debian: gcc-multilib g++-multilib), linked
# statically so that a user-mode emulator (qemu-i386) runs it without any i386 libraries installed.
# It does its arithmetic in SSE2 like the 32-bit Windows build (CMakeLists.txt adds -msse2
# -mfpmath=sse for this processor), so running it checks 32-bit x86 code generation where the
# kernel cannot start 32-bit programs.
# Use: cmake -S . -B build/linux-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# 64-bit file offsets and times come from the project itself (cmake/large_files.cmake), as for every
# 32-bit POSIX build.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
