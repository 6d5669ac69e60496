# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PARDULO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PARDULO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PARDULO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PARDULO_MINGW_PREFIX}-windres)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${PARDULO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs must start on a machine without the compiler's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run the programs under Wine from the build machine.
find_program(PARDULO_WINE wine)
if(PARDULO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PARDULO_WINE})
endif()

# pkg-config must not hand out the build machine's libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${PARDULO_MINGW_PREFIX}/lib/pkgconfig)
