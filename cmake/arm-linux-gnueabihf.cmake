# 32-bit ARM Linux with hardware floating point (Raspberry Pi OS 32-bit, most
# ARMv7 boards). Run here under qemu-arm-static.
set(CMAKE_SYSTEM_PROCESSOR armhf)
set(HOST_CROSS_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-arm-cross.cmake)
