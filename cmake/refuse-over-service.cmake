# Run by `cmake --install` of a bcm2835 build before it installs anything: where a spidev build's
# (or the package's) service unit stands under the same prefix, the unit would start this build's
# orvctl, which its sandbox cannot run (the library needs root, the service is a user of its own).
set(orvctl_unit "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/orvctl@.service")
if(EXISTS "${orvctl_unit}")
  message(FATAL_ERROR "${orvctl_unit} is the service of a spidev build or of the package, and it "
    "would start this bcm2835 build's orvctl, which the service cannot run (the library needs "
    "root). Remove that one first (docs/building.md: remove-local; a package: sudo apt remove "
    "orvctl), or install this build under another prefix (-DCMAKE_INSTALL_PREFIX=/opt/orvctl).")
endif()
