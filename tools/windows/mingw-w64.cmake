# Cross-building for 64-bit Windows with Debian's MinGW-w64, the POSIX thread variant
# (the win32 variant has no std::mutex or std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

# Libraries and headers come from the MinGW sysroot and from the prefixes the build
# script installs into (CMAKE_PREFIX_PATH); programs (moc, rcc, pkg-config) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry the compiler's runtime inside them: nothing to ship beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs are run under Wine.
find_program(OVITONE_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(OVITONE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OVITONE_WINE})
endif()
