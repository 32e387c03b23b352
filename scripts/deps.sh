#!/usr/bin/env bash
# Installs the Debian packages that building orvctl needs, if any are missing, and more for each
# word given: "test" (the test suite), "package" (Debian packages), "fuzz" (the fuzzers),
# "measure" (the measurement scripts), "stream" (scripts/measure-delay.sh), "vm"
# (scripts/vm-test.sh), "arm64", "armhf" or "armel"
# (cross builds, tested under qemu). Uses sudo when not run as root.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

packages=(cmake make g++ pkg-config libbcm2835-dev libasound2-dev libsystemd-dev zlib1g-dev libflac-dev)
sysroots=()
for word in "$@"; do
  case "$word" in
    test) packages+=(libgtest-dev libbenchmark-dev sox systemd multimon-ng direwolf groff-base bsdextrautils flac tzdata
      prometheus prometheus-node-exporter curl chromium lighttpd)
      # (Node.js and npm for the page's browser tests: the machine's own where it has them.)
      command -v npm >/dev/null || packages+=(nodejs npm) ;;
    package) packages+=(dpkg-dev file lintian) ;;
    fuzz) packages+=(libgtest-dev clang libclang-rt-14-dev) ;;
    measure) packages+=(libgtest-dev libbenchmark-dev valgrind time gnuplot-nox espeak-ng sox flac) ;;
    vm) packages+=(debootstrap qemu-system-x86 e2fsprogs chromium)
      command -v npm >/dev/null || packages+=(nodejs npm) ;;
    stream) packages+=(icecast2 flac ffmpeg ezstream curl libgtest-dev libbenchmark-dev) ;;
    arm64 | armhf | armel)
      # The foreign architecture's libraries go into a sysroot of their own, build-sysroot-ARCH,
      # made below from Bookworm's release: installed beside the host's (multiarch) they would have
      # to be the very versions of the host's, which the security updates of the architectures
      # reach at different times (armel's never), and one foreign index that fails to download
      # would stop the install.
      case "$word" in
        arm64) packages+=(g++-aarch64-linux-gnu) ;;
        armhf) packages+=(g++-arm-linux-gnueabihf) ;;
        armel) packages+=(g++-arm-linux-gnueabi) ;;
      esac
      packages+=(qemu-user-static mmdebstrap)
      sysroots+=("$word")
      ;;
    *)
      echo "deps.sh: unknown word \"$word\" (test, package, fuzz, measure, stream, vm, arm64, armhf, armel)" >&2
      exit 2
      ;;
  esac
done

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  # An index that still fails after the retries need not stop the install (another architecture's
  # security updates, say): the install says whether anything it needs is missing.
  from_the_mirror "${sudo[@]}" apt-get update -q ||
    echo "deps.sh: apt-get update failed; installing from the indexes it did fetch" >&2
  from_the_mirror "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    --no-install-recommends "${missing[@]}"
fi

# make_sysroot ARCH FOLDER MIRROR: Bookworm's libraries for ARCH extracted into FOLDER, afresh.
make_sysroot() {
  rm -rf "$2"
  mmdebstrap --quiet --variant=extract --architectures="$1" --skip=cleanup/apt/cache \
    --include=libc6-dev,libstdc++-12-dev,libasound2-dev,libbcm2835-dev,libsystemd-dev,zlib1g-dev,libflac-dev,libgtest-dev \
    bookworm "$2" "$3"
}

# A foreign architecture's libraries, extracted from Bookworm's own packages (kept, for the
# dependencies of a package built against them) into build-sysroot-ARCH of the project: a cross
# build's headers and libraries, and the loader and libraries its programs run with under qemu.
for architecture in "${sysroots[@]}"; do
  sysroot=$(dirname "$0")/../build-sysroot-$architecture
  [ -d "$sysroot/usr/lib" ] && continue
  echo "Making the sysroot of $architecture in $sysroot"
  mirror=$(sed -n 's/^URIs: \(.*\/debian\)$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
    head -1)
  from_the_mirror make_sysroot "$architecture" "$sysroot.part" "${mirror:-http://deb.debian.org/debian}"
  # Links that name a path of the system (libz.so -> /lib/...) point into the sysroot instead.
  find "$sysroot.part" -type l -lname '/*' | while IFS= read -r link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot.part$(readlink "$link")")" \
      "$link"
  done
  mv "$sysroot.part" "$sysroot"
done
