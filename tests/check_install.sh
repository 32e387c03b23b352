#!/bin/sh
# What `cmake --install` of this build installs (into a DESTDIR): the programs, the man pages,
# the README, the alerting rules and the station's page always; the service units, their options file, the group spi,
# its udev rule and the bus's lock only from a spidev build, since a bcm2835 build needs root and
# could not run as the service; and a bcm2835 build refuses to install over a spidev build's
# service.
#
#   check_install.sh CMAKE BUILD SPI    (SPI: spidev or bcm2835, as the build was configured)
set -eu
destdir=$(mktemp -d)
trap 'rm -rf "$destdir"' EXIT
DESTDIR=$destdir "$1" --install "$2" >/dev/null
files=$(cd "$destdir" && find . -type f | sort)
status=0
has() {
  if ! echo "$files" | grep -q "$1\$"; then
    echo "not installed: $1"
    status=1
  fi
}
for file in /bin/orvctl /bin/orvctl-sim /bin/orvctl-record /man1/orvctl.1.gz /man1/orvctl-sim.1.gz \
  /man1/orvctl-record.1.gz /doc/orvctl/README.md /share/orvctl/orvctl-rules.yml /share/orvctl/www/index.html \
  /share/orvctl/www/page.js /share/orvctl/www/page.css /share/orvctl/lighttpd/50-orvctl.conf; do
  has "$file"
done
service_files="/lib/systemd/system/orvctl@.service /lib/systemd/user/orvctl@.service
/lib/sysusers.d/orvctl.conf /lib/udev/rules.d/60-orvctl-spidev.rules
/etc/default/orvctl"
if [ "$3" = spidev ]; then
  for file in $service_files; do
    has "$file"
  done
elif echo "$files" | grep -e systemd -e sysusers -e tmpfiles -e udev -e default/orvctl; then
  echo "installed by a $3 build, which cannot run as the service"
  status=1
else
  # Over a spidev build's service (its unit under the same prefix), a bcm2835 build refuses to
  # install anything, and says why.
  over=$(mktemp -d)
  unit=$over/usr/local/lib/systemd/system/orvctl@.service
  mkdir -p "${unit%/*}"
  : >"$unit"
  if DESTDIR=$over "$1" --install "$2" --prefix /usr/local >/tmp/over.$$ 2>&1; then
    echo "a $3 build installed over a spidev build's service"
    status=1
  elif ! tr -s " \n" "  " </tmp/over.$$ | grep -q "is the service of a spidev build or of the package" ||
    [ -e "$over/usr/local/bin/orvctl" ]; then
    echo "over a spidev build's service, a $3 build did not refuse before installing:"
    cat /tmp/over.$$
    status=1
  fi
  rm -rf "$over" /tmp/over.$$
fi
exit $status
