# Cross-compiling on Debian with its cross compilers, against the foreign architecture's libraries
# in a sysroot of the project, build-sysroot-ARCH (scripts/deps.sh ARCH makes it from Bookworm's
# packages). The including file sets ORVCTL_CROSS_TRIPLE, ORVCTL_CROSS_PROCESSOR, ORVCTL_DEB_ARCH,
# ORVCTL_QEMU and ORVCTL_QEMU_CPU (the oldest Raspberry Pi processor the build is for, so that a
# build that needs more fails its tests).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ORVCTL_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${ORVCTL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVCTL_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ORVCTL_CROSS_TRIPLE})

# The sysroot's libraries and only its pkg-config data.
get_filename_component(ORVCTL_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build-sysroot-${ORVCTL_DEB_ARCH}
  ABSOLUTE)
if(NOT EXISTS ${ORVCTL_SYSROOT}/usr/lib/${ORVCTL_CROSS_TRIPLE})
  message(FATAL_ERROR "No sysroot for ${ORVCTL_DEB_ARCH} in ${ORVCTL_SYSROOT}: "
    "scripts/deps.sh ${ORVCTL_DEB_ARCH} makes it")
endif()
set(CMAKE_SYSROOT ${ORVCTL_SYSROOT})
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ORVCTL_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
  "${ORVCTL_SYSROOT}/usr/lib/${ORVCTL_CROSS_TRIPLE}/pkgconfig:${ORVCTL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Tests run under qemu's user-mode emulation, on the processor named, with the sysroot's loader and
# libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${ORVCTL_QEMU} -cpu ${ORVCTL_QEMU_CPU} -L ${ORVCTL_SYSROOT})
