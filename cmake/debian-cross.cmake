# Cross-compiling on Debian with its cross compilers and multiarch libraries: the foreign -dev
# packages (dpkg --add-architecture ARCH; apt-get install libasound2-dev:ARCH ...) sit beside the
# host's under /usr/lib/<triple>, or, where ORVCTL_SYSROOT is set, in that sysroot with the same
# layout. The including file sets ORVCTL_CROSS_TRIPLE, ORVCTL_CROSS_PROCESSOR, ORVCTL_DEB_ARCH,
# ORVCTL_QEMU and ORVCTL_QEMU_CPU (the oldest Raspberry Pi processor the build is for, so that a
# build that needs more fails its tests).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ORVCTL_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${ORVCTL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVCTL_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ORVCTL_CROSS_TRIPLE})

# Only the foreign architecture's pkg-config data.
if(ORVCTL_SYSROOT)
  get_filename_component(ORVCTL_SYSROOT ${ORVCTL_SYSROOT} ABSOLUTE)
  if(NOT EXISTS ${ORVCTL_SYSROOT}/usr/lib/${ORVCTL_CROSS_TRIPLE})
    message(FATAL_ERROR "No sysroot for ${ORVCTL_DEB_ARCH} in ${ORVCTL_SYSROOT}: "
      "scripts/deps.sh ${ORVCTL_DEB_ARCH} makes it")
  endif()
  set(CMAKE_SYSROOT ${ORVCTL_SYSROOT})
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ORVCTL_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR}
    "${ORVCTL_SYSROOT}/usr/lib/${ORVCTL_CROSS_TRIPLE}/pkgconfig:${ORVCTL_SYSROOT}/usr/share/pkgconfig")
  set(ORVCTL_QEMU_LOADER -L ${ORVCTL_SYSROOT})
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${ORVCTL_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
  set(ORVCTL_QEMU_LOADER)
endif()
set(ENV{PKG_CONFIG_PATH} "")

# Tests run under qemu's user-mode emulation, on the processor named. Without a sysroot, no -L:
# the program's loader and C library are the multiarch ones, found at their usual paths, as on the
# board itself.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${ORVCTL_QEMU} -cpu ${ORVCTL_QEMU_CPU}
  ${ORVCTL_QEMU_LOADER})
