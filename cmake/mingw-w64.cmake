# Cross-build for 64-bit Windows with mingw-w64 (posix threads variant, for
# std::mutex and std::thread). Everything is linked statically so that the
# executables need no runtime DLLs next to them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RAVLON_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RAVLON_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RAVLON_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RAVLON_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RAVLON_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libz.a, not the import library of zlib1.dll.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run under wine when the build is not on Windows.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(RAVLON_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(RAVLON_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${RAVLON_WINE})
  endif()
endif()
