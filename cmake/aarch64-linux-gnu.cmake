# 64-bit ARM Linux (a Raspberry Pi 3/4/5 with a 64-bit system, most ARM
# boards). Run here under qemu-aarch64-static.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(HOST_CROSS_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-arm-cross.cmake)
