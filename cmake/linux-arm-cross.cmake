# Cross build of host and the agent for ARM Linux with Debian's cross
# compiler for HOST_CROSS_TRIPLET; the toolchain file of each target sets it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${HOST_CROSS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${HOST_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The C++ runtime goes into the programs, so that they need only the C library
# of the board's system.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
