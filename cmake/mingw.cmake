# Cross build for Windows with Debian's MinGW-w64 (posix thread model).
# FLASHTOOL_WIN_ARCH picks the word size: i686 (the product) or x86_64 (the
# same sources for machines whose Wine can only run 64-bit programs).
if(NOT FLASHTOOL_WIN_ARCH)
  set(FLASHTOOL_WIN_ARCH i686)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FLASHTOOL_WIN_ARCH)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${FLASHTOOL_WIN_ARCH})
set(triple ${FLASHTOOL_WIN_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER   ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER  ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# No run-time type information: nothing in the Windows programs asks for it,
# and the type-info support of the static C++ runtime would add an import
# that the exe never had.
set(CMAKE_CXX_FLAGS_INIT "-fno-rtti")
