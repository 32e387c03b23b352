#!/bin/sh
# systemd-analyze verify on the service units, as installed but for the paths of this build (its
# orvctl, a test options file): it must have nothing at all to say, for the system unit and for
# the user unit. systemd-analyze runs without a running systemd; without it the check is skipped.
#
#   verify_units.sh UNITS      (UNITS holds system/, user/ and man/, as tests/CMakeLists.txt makes it)
set -eu
units=$1
command -v systemd-analyze >/dev/null || exit 77
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
export MANPATH="$units/man" XDG_RUNTIME_DIR="$runtime"
status=0
for mode in system user; do
  said=$(systemd-analyze --"$mode" verify "$units/$mode/orvctl@145500.service" 2>&1) || status=1
  if [ -n "$said" ]; then
    echo "$mode unit: $said"
    status=1
  fi
done
exit $status
