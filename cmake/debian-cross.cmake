# Cross-compiling on Debian with its cross compilers and multiarch libraries: the foreign -dev
# packages (dpkg --add-architecture ARCH; apt-get install libasound2-dev:ARCH ...) sit beside the
# host's under /usr/lib/<triple>, so there is no separate sysroot. The including file sets
# ORVCTL_CROSS_TRIPLE, ORVCTL_CROSS_PROCESSOR, ORVCTL_DEB_ARCH and ORVCTL_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ORVCTL_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${ORVCTL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVCTL_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ORVCTL_CROSS_TRIPLE})

# Only the foreign architecture's pkg-config data.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${ORVCTL_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Tests run under qemu's user-mode emulation. No -L: the program's loader and C library are the
# multiarch ones, found at their usual paths, as on the board itself.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${ORVCTL_QEMU})
