# Cross-build for 32-bit Windows with Debian's mingw-w64 (i686).
#
# The POSIX-threads variant of the compiler is required: portable code uses
# std::mutex, std::thread and std::atomic, which the win32-threads variant
# of GCC 12 does not provide. Its runtime (libwinpthread) is linked in
# statically by the targets that ship, so nothing beside system DLLs is
# needed at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(MINGW_TRIPLET i686-w64-mingw32)

set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Only the cross sysroot is searched for libraries and headers; programs
# (such as the test driver's tools) come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
