# 32-bit POSIX builds read folders and files through 64-bit offsets, inode numbers and times. Without
# them the C library's readdir and stat fail with EOVERFLOW on file systems that hand out 64-bit values
# (ext4's directory offsets, the inode numbers of large or network file systems), whatever compiler or
# toolchain file builds the program. _TIME_BITS=64 is added where the C library has it (glibc 2.34 and
# later, which accept it only together with _FILE_OFFSET_BITS=64).
if(NOT WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_DEFINITIONS -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64)
  check_cxx_source_compiles("#include <ctime>
static_assert(sizeof(std::time_t) == 8, \"32-bit time\");
int main() { return 0; }" CALSTARS2FP_HAVE_TIME_BITS_64)
  unset(CMAKE_REQUIRED_DEFINITIONS)
  if(CALSTARS2FP_HAVE_TIME_BITS_64)
    add_compile_definitions(_TIME_BITS=64)
  endif()
endif()
