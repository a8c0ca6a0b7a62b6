# Cross-compiling the 32-bit (PE32) product with Debian's mingw-w64.
# The posix thread model, whose C++ library has the threads GoogleTest needs; the product
# uses no threads and links its runtimes statically, so no threading DLL comes with it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(SCARVEL_SUBSYSTEM_VERSION 5.01)
# The test bed's probe is a 64-bit program in this build too.
set(SCARVEL_HELPER_CXX_64 x86_64-w64-mingw32-g++-posix)
