#!/usr/bin/env bash
# Builds the Debian packages of orvctl into dist/, for the host and for the Raspberry Pi's
# arm64 and armhf: scripts/package.sh [host] [arm64] [armhf] (default: all three).
#
# Each package carries orvctl on the spidev link, which works on every Raspberry Pi without root,
# built with Debian's flags (dpkg-buildflags, hardening included) for the prefix /usr. Before
# packing, the whole test suite runs on that build (a foreign one under qemu), and a cross build
# also links orvctl on the bcm2835 library for that architecture. After packing, the package's
# contents and dependencies are checked, lintian must find nothing to say, and its orvctl-sim is
# run.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(host arm64 armhf)
foreign=()
for target in "${targets[@]}"; do
  case "$target" in
    host) ;;
    arm64 | armhf) foreign+=("$target") ;;
    *)
      echo "package.sh: unknown target \"$target\" (host, arm64, armhf)" >&2
      exit 2
      ;;
  esac
done
scripts/deps.sh test package "${foreign[@]}"
jobs=$(nproc)
mkdir -p dist

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

for target in "${targets[@]}"; do
  echo "=== $target"
  build=build-package-$target
  cross=()
  run=()
  architecture=$(dpkg --print-architecture)
  if [ "$target" != host ]; then
    cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$target.cmake")
    architecture=$target
    case "$target" in
      arm64) run=(qemu-aarch64-static) ;;
      armhf) run=(qemu-arm-static) ;;
    esac
  fi

  # Debian's compiler and linker flags for the architecture (CMake reads CXXFLAGS and LDFLAGS
  # when it first configures a folder, and knows no CPPFLAGS).
  (
    eval "$(DEB_HOST_ARCH=$architecture DEB_BUILD_MAINT_OPTIONS=hardening=+all \
      dpkg-buildflags --export=sh)"
    export CXXFLAGS="$CPPFLAGS $CXXFLAGS"
    rm -rf "$build"
    cmake -S . -B "$build" "${cross[@]}" -DORVCTL_SPI=spidev -DORVCTL_WERROR=ON \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
  )
  cmake --build "$build" -j"$jobs"
  # The minutes-long relay runs are scripts/test.sh's; under qemu they skip themselves anyway.
  ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs" -LE long
  if [ "$target" != host ]; then
    cmake -S . -B "$build-bcm2835" "${cross[@]}" -DBUILD_TESTING=OFF -DORVCTL_WERROR=ON \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build-bcm2835" -j"$jobs" --target orvctl
  fi

  (cd "$build" && cpack -G DEB >/dev/null)
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  package=$build/orvctl_${version}_$architecture.deb
  [ -f "$package" ] || fail "$package was not built"

  # What the package holds and needs.
  contents=$(dpkg-deb -c "$package")
  echo "$contents"
  for path in ./usr/bin/orvctl ./usr/bin/orvctl-sim ./usr/share/man/man1/orvctl.1.gz \
    ./usr/share/man/man1/orvctl-sim.1.gz ./usr/share/doc/orvctl/copyright \
    ./usr/share/doc/orvctl/changelog.gz ./usr/lib/systemd/system/orvctl@.service \
    ./usr/lib/systemd/user/orvctl@.service ./etc/default/orvctl ./usr/lib/sysusers.d/orvctl.conf \
    ./usr/lib/udev/rules.d/60-orvctl-spidev.rules; do
    grep -q " $path\$" <<<"$contents" || fail "$package lacks $path"
  done
  [ "$(dpkg-deb -f "$package" Architecture)" = "$architecture" ] ||
    fail "$package is not for $architecture"
  depends=$(dpkg-deb -f "$package" Depends)
  echo "Depends: $depends"
  grep -q 'libasound2' <<<"$depends" || fail "$package does not depend on libasound2"
  [ "$(dpkg-deb --ctrl-tarfile "$package" | tar -xO ./conffiles)" = /etc/default/orvctl ] ||
    fail "$package does not keep /etc/default/orvctl as a conffile"
  if ! said=$(lintian --fail-on error,warning "$package" 2>&1); then
    grep -v 'running with root privileges' <<<"$said" >&2
    fail "lintian has errors or warnings for $package"
  fi

  # The packed programs run, on their own architecture.
  unpacked=$(mktemp -d)
  dpkg-deb -x "$package" "$unpacked"
  file "$unpacked/usr/bin/orvctl" | grep -q "$(case "$architecture" in
    arm64) echo aarch64 ;; armhf) echo 'ARM, EABI5' ;; amd64) echo x86-64 ;; *) echo ELF ;; esac)" ||
    fail "$package holds a program for another architecture"
  output=$(ORVSIM_SPI_HZ=0 "${run[@]}" "$unpacked/usr/bin/orvctl-sim" -w 700)
  # The banner carries the project's version; 1.04 is the simulated board's firmware.
  expected="Orvane RF tuning utility v$version"$'\n\nFirmware version is 1.04\nTuning to 700 kHz\nVHF/UHF, Wide Band FM'
  [ "$output" = "$expected" ] || fail "the packed orvctl-sim printed: $output"
  rm -rf "$unpacked"

  cp "$package" dist/
  echo "dist/$(basename "$package")"

  if [ "$target" = host ]; then
    # cpack refuses a build that was not configured for a package, and says why.
    cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr/local >/dev/null
    if said=$(cd "$build" && cpack -G DEB 2>&1); then
      fail "cpack packed a build configured for /usr/local"
    fi
    grep -q "configured for the prefix /usr/local" <<<"$said" || fail "cpack did not say why: $said"
  fi
done
