# Cross build for ARM Linux with Debian's cross compiler for HOST_CROSS_TRIPLET;
# the toolchain file of each target sets it. The station's libraries are
# Debian's own for that architecture, installed beside the native ones
# (multiarch: /usr/lib/HOST_CROSS_TRIPLET), found through their pkg-config
# files there.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${HOST_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${HOST_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${HOST_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${HOST_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
# The C++ runtime goes into the programs, so that they need only the C library
# of the board's system (and, for the station, its libraries).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
