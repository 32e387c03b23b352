#!/usr/bin/env bash
# Builds the Debian packages of orvctl into dist/, for the host and for the Raspberry Pi's arm64,
# armhf and armel: scripts/package.sh [host] [arm64] [armhf] [armel] (default: all four).
#
# Each package carries orvctl on the spidev link, which works on every Raspberry Pi without root,
# built with Debian's flags (dpkg-buildflags, hardening included) for the prefix /usr. Before
# packing, the whole test suite runs on that build (a foreign one under qemu, as the oldest
# processor the package is for: a Pi 3's Cortex-A53 for arm64, a Pi 2's Cortex-A7 for armhf, a Pi 1's
# ARM1176 for armel), and a cross build also links orvctl on the bcm2835 library for that
# architecture. After packing, the package's contents and dependencies are checked, lintian must
# find nothing to say, and its orvctl-sim is run on that processor. The armhf package must refuse
# to install on an ARMv6 processor (a Pi 1 or Zero), and does so on a system that looks like one.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(host arm64 armhf armel)
foreign=()
for target in "${targets[@]}"; do
  case "$target" in
    host) ;;
    arm64 | armhf | armel) foreign+=("$target") ;;
    *)
      echo "package.sh: unknown target \"$target\" (host, arm64, armhf, armel)" >&2
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
      arm64) run=(qemu-aarch64-static -cpu cortex-a53) ;;
      armhf) run=(qemu-arm-static -cpu cortex-a7) ;;
      armel) run=(qemu-arm-static -cpu arm1176) ;;
    esac
    run+=(-L "$PWD/build-sysroot-$target")
  fi
  # A foreign architecture's libraries are not installed but in a sysroot (scripts/deps.sh): the
  # package's dependencies are read off the programs against the sysroot's library packages, as
  # dpkg-shlibdeps reads them against the installed ones for the host.
  depends=()
  if [ "$target" != host ]; then
    depends=(-DORVCTL_DEB_DEPENDS=pending)
  fi

  # Debian's compiler and linker flags for the architecture (CMake reads CXXFLAGS and LDFLAGS
  # when it first configures a folder, and knows no CPPFLAGS).
  (
    eval "$(DEB_HOST_ARCH=$architecture DEB_BUILD_MAINT_OPTIONS=hardening=+all \
      dpkg-buildflags --export=sh)"
    export CXXFLAGS="$CPPFLAGS $CXXFLAGS"
    rm -rf "$build"
    cmake -S . -B "$build" "${cross[@]}" "${depends[@]}" -DORVCTL_SPI=spidev -DORVCTL_WERROR=ON \
      -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
  )
  cmake --build "$build" -j"$jobs"
  # The minutes-long relay runs are scripts/test.sh's; under qemu they skip themselves anyway.
  ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs" -LE long
  if [ "$target" != host ]; then
    cmake -S . -B "$build-bcm2835" "${cross[@]}" -DBUILD_TESTING=OFF -DORVCTL_WERROR=ON \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build-bcm2835" -j"$jobs" --target orvctl
  fi

  if [ "$target" != host ]; then
    shlibs=$(mktemp -d)
    mkdir "$shlibs/debian"
    printf 'Source: orvctl\n\nPackage: orvctl\nArchitecture: any\n' >"$shlibs/debian/control"
    libraries=()
    for library in libc6 libstdc++6 libgcc-s1 libasound2 zlib1g libsystemd0 libflac12; do
      dpkg-deb -R build-sysroot-"$target"/var/cache/apt/archives/"$library"_*_"$target".deb \
        "$shlibs/$library"
      libraries+=(-S"$shlibs/$library")
    done
    programs=("$PWD/$build/orvctl" "$PWD/$build/orvctl-sim" "$PWD/$build/orvctl-record")
    found=$(cd "$shlibs" && DEB_HOST_ARCH=$target dpkg-shlibdeps -O "${libraries[@]}" \
      "${programs[@]}" 2>/dev/null)
    rm -rf "$shlibs"
    [[ "$found" == shlibs:Depends=* ]] || fail "no dependencies found for $target: $found"
    cmake -S . -B "$build" -DORVCTL_DEB_DEPENDS="${found#shlibs:Depends=}" >/dev/null
  fi
  (cd "$build" && cpack -G DEB >/dev/null)
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  package=$build/orvctl_${version}_$architecture.deb
  [ -f "$package" ] || fail "$package was not built"

  # What the package holds and needs.
  contents=$(dpkg-deb -c "$package")
  echo "$contents"
  for path in ./usr/bin/orvctl ./usr/bin/orvctl-sim ./usr/bin/orvctl-record \
    ./usr/share/man/man1/orvctl.1.gz ./usr/share/man/man1/orvctl-sim.1.gz \
    ./usr/share/man/man1/orvctl-record.1.gz ./usr/share/doc/orvctl/copyright \
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
  grep -q 'libflac12' <<<"$depends" || fail "$package does not depend on libflac12 (orvctl-record)"
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
    arm64) echo aarch64 ;; armhf) echo 'ARM, EABI5.*ld-linux-armhf' ;;
    armel) echo 'ARM, EABI5.*ld-linux\.so\.3' ;; amd64) echo x86-64 ;; *) echo ELF ;; esac)" ||
    fail "$package holds a program for another architecture"
  output=$(ORVSIM_SPI_HZ=0 "${run[@]}" "$unpacked/usr/bin/orvctl-sim" -w 700)
  # The banner carries the project's version; 1.04 is the simulated board's firmware.
  expected="Orvane RF tuning utility v$version"$'\n\nFirmware version is 1.04\nTuning to 700 kHz\nVHF/UHF, Wide Band FM'
  [ "$output" = "$expected" ] || fail "the packed orvctl-sim printed: $output"
  rm -rf "$unpacked"

  if [ "$target" = armhf ]; then
    # On an ARMv6 processor the package refuses to install, and nothing of it is left; on ARMv7 it
    # installs. Into a root of their own, each with the machine name its check reads.
    for machine in armv6l armv7l; do
      root=$(mktemp -d)
      mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
      touch "$root/var/lib/dpkg/status"
      said=$(ORVCTL_MACHINE=$machine dpkg --root="$root" --force-script-chrootless \
        --force-architecture --force-depends --force-not-root -i "$package" 2>&1) && installed=1 || installed=0
      left=$(find "$root" -path "$root/var" -prune -o -type f -print | wc -l)
      state=$(dpkg --root="$root" -s orvctl 2>/dev/null | sed -n 's/^Status: //p')
      rm -rf "$root"
      if [ $machine = armv6l ]; then
        [ $installed = 0 ] && [ "$left" = 0 ] &&
          { [ -z "$state" ] || [ "$state" = "install ok not-installed" ]; } &&
          grep -q "this processor is armv6l" <<<"$said" ||
          fail "$package did not refuse an ARMv6 processor cleanly ($state, $left files): $said"
        echo "On an ARMv6 processor: $(grep '^orvctl: ' <<<"$said")"
      else
        [ $installed = 1 ] && [ "$state" = "install ok installed" ] ||
          fail "$package did not install on an ARMv7 processor: $said"
      fi
    done
  fi

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
