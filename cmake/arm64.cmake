# 64-bit Raspberry Pi OS (Pi 3, 4, 5, Zero 2 W): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake
set(ORVCTL_CROSS_TRIPLE aarch64-linux-gnu)
set(ORVCTL_CROSS_PROCESSOR aarch64)
set(ORVCTL_DEB_ARCH arm64)
set(ORVCTL_QEMU qemu-aarch64-static)
# The oldest processor it is for: the Pi 3 and Zero 2 W's.
set(ORVCTL_QEMU_CPU cortex-a53)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
