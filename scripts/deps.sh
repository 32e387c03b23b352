#!/usr/bin/env bash
# Installs the Debian packages that building orvctl needs, if any are missing, and more for each
# word given: "test" (the test suite), "package" (Debian packages), "fuzz" (the fuzzers),
# "measure" (the measurement scripts), "vm" (scripts/vm-test.sh), "arm64" or "armhf" (cross builds, tested under qemu). Uses sudo when not run as root.
set -euo pipefail

packages=(cmake make g++ pkg-config libbcm2835-dev libasound2-dev zlib1g-dev)
foreign=()
for word in "$@"; do
  case "$word" in
    test) packages+=(libgtest-dev libbenchmark-dev sox systemd multimon-ng direwolf) ;;
    package) packages+=(dpkg-dev file lintian) ;;
    fuzz) packages+=(libgtest-dev clang libclang-rt-14-dev) ;;
    measure) packages+=(libgtest-dev libbenchmark-dev valgrind time) ;;
    vm) packages+=(debootstrap qemu-system-x86 e2fsprogs) ;;
    arm64 | armhf)
      case "$word" in
        arm64) compiler=g++-aarch64-linux-gnu ;;
        armhf) compiler=g++-arm-linux-gnueabihf ;;
      esac
      foreign+=("$word")
      packages+=("$compiler" qemu-user-static libgtest-dev)
      for library in libbcm2835-dev libasound2-dev zlib1g-dev libgtest-dev libstdc++6; do
        packages+=("$library:$word")
      done
      ;;
    *)
      echo "deps.sh: unknown word \"$word\" (test, package, fuzz, measure, vm, arm64, armhf)" >&2
      exit 2
      ;;
  esac
done

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

added=0
for architecture in "${foreign[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
    "${sudo[@]}" dpkg --add-architecture "$architecture"
    added=1
  fi
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && [ $added -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
