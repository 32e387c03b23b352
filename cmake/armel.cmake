# Debian's armel (ARMv5TE and later, soft float): Raspberry Pi 1, Zero and Zero W under Debian.
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armel.cmake
set(ORVCTL_CROSS_TRIPLE arm-linux-gnueabi)
set(ORVCTL_CROSS_PROCESSOR armv5tel)
set(ORVCTL_DEB_ARCH armel)
set(ORVCTL_QEMU qemu-arm-static)
# The Pi 1's and Zero's processor.
set(ORVCTL_QEMU_CPU arm1176)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
