# Sourced by the scripts that build and run the test configuration (test.sh, soak.sh,
# measure-heap.sh, measure-cpu.sh): its one build folder and options, and the test ALSA
# configuration, each written once. try.sh builds build/ on its own, without the tests. deps.sh
# and vm-test.sh fetch from Debian's mirror through it.

# The test configuration's build folder: tests, the benchmark, warnings as errors.
test_build=build-test

configure_test_build() {
  cmake -S . -B "$test_build" -DBUILD_TESTING=ON -DORVCTL_WERROR=ON -DORVCTL_BENCH=ON "$@"
}

# Installs what the measurements need and builds orvctl-sim, the test suite's sound card and the
# checker of captured audio.
build_for_measuring() {
  scripts/deps.sh measure >/dev/null
  configure_test_build >/dev/null
  cmake --build "$test_build" -j"$(nproc)" --target orvctl-sim asound_module_pcm_orvtest \
    orvctl-stream-check >/dev/null
}

# write_test_asound_conf FILE PCMS: an ALSA configuration that declares the test suite's sound
# card (type orvtest), then the PCMs. Point ALSA_CONFIG_PATH at FILE to have ALSA read it alone.
write_test_asound_conf() {
  printf 'pcm_type.orvtest { lib "%s" }\n%s\n' \
    "$PWD/$test_build/testing/libasound_module_pcm_orvtest.so" "$2" >"$1"
}

# copied_block DOCUMENT NAME: the block of the README marked "<!-- copy: NAME -->" as a user copies
# it, without its fences.
copied_block() {
  awk -v marker="<!-- copy: $2 -->" '$0 == marker { inside = 1; next }
    inside == 1 && /^```/ { inside = 2; next }
    inside == 2 && /^```$/ { exit }
    inside == 2 { print }' "$1"
}

# from_the_mirror COMMAND...: runs a command that reads Debian's mirror, and again while it fails,
# five times in all, waiting 15, 30, 45 and 60 s between them ($mirror_wait, in seconds, is the
# first wait). A mirror being synced serves for some minutes indexes that do not match its Release
# file, and apt-get update then fails ("File has unexpected size ... Mirror sync in progress?").
# Returns the last run's status.
from_the_mirror() {
  local first=${mirror_wait:-15} wait=${mirror_wait:-15} attempt status command="$*"
  for attempt in 1 2 3 4 5; do
    status=0
    "$@" || status=$?
    [ $status -eq 0 ] && return 0
    [ $attempt -eq 5 ] && break
    echo "${command:0:60} failed (exit $status, attempt $attempt of 5): again in $wait s" \
      "(a mirror being synced mends in minutes)" >&2
    sleep "$wait"
    wait=$((wait + first))
  done
  return $status
}
