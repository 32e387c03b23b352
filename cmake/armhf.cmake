# 32-bit Raspberry Pi OS on ARMv7 and later (Pi 2, 3, 4, Zero 2 W):
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
set(ORVCTL_CROSS_TRIPLE arm-linux-gnueabihf)
set(ORVCTL_CROSS_PROCESSOR armv7l)
set(ORVCTL_DEB_ARCH armhf)
set(ORVCTL_QEMU qemu-arm-static)
# The oldest processor it is for: the Pi 2's.
set(ORVCTL_QEMU_CPU cortex-a7)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
