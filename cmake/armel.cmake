# Debian's armel (ARMv5TE and later, soft float): Raspberry Pi 1, Zero and Zero W under Debian.
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armel.cmake, after scripts/deps.sh armel has made its sysroot.
set(ORVCTL_CROSS_TRIPLE arm-linux-gnueabi)
set(ORVCTL_CROSS_PROCESSOR armv5tel)
set(ORVCTL_DEB_ARCH armel)
set(ORVCTL_QEMU qemu-arm-static)
# The Pi 1's and Zero's processor.
set(ORVCTL_QEMU_CPU arm1176)
# Bookworm's security updates no longer carry armel, so its libraries cannot be installed beside
# the host's (their versions differ): they come from a sysroot of their own.
set(ORVCTL_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build-sysroot-armel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
