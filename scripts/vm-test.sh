#!/usr/bin/env bash
# The package and the README's steps for a Pi on a real system, as a user meets them: boots Debian
# Bookworm (systemd, the kernel's loopback sound card snd-aloop) under qemu's software emulation,
# and runs scripts/vm-guest.sh in it: the README's blocks for a Pi line by line as a user with sudo
# (the package installed; both builds from the sources, their build dependencies installed by the
# README's own apt-get line, answered yes, from the image's cache), the group spi and its udev rule,
# the system unit started by the README's own commands, from the package and from /usr/local, its
# journal, its restart after a kill, its stop by SIGINT, orvctl stopped by SIGINT from a script's
# background, the options file through remove, reinstall and purge, and the bcm2835 build through
# sudo playing as the user through the user's PipeWire, and docs/icecast.md's blocks streaming to
# an Icecast server on the system, for listeners whose audio is checked here. The board is a stand-in of /dev/spidev0.0
# preloaded into orvctl, or the bcm2835 library's stand-in, playing the simulated board's ramp;
# what reached the loopback card's other end is checked here afterwards: the ramp in order, nothing
# lost or altered (single-sample edits allowed: an emulated system's clocks are not a sound card's,
# so nothing here is a claim about timing), and the silence of a stop in orvctl's first seconds
# worked off by as many samples dropped.
#
#   scripts/vm-test.sh [BUILD]
#
# BUILD is a build folder of the package (default build-package-host, as scripts/package.sh host
# leaves it) with its tests built: the package, the stand-in boards and the checker come from
# there; the sources are this working tree's. The system's image is made once by debootstrap, with
# the README's build dependencies in its package cache (the system has no network), and kept in
# $ORVCTL_VM_CACHE (default ~/.cache/orvctl-vm). Needs root (debootstrap); about 4 minutes for the
# image, 15 for the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

build=${1:-build-package-host}
package=$(ls "$build"/orvctl_*_amd64.deb 2>/dev/null | head -1)
preload=$build/testing/liborvtest_spidev_preload.so
fakelib=$build/testing/orvctl-fakelib-board
checker=$build/testing/orvctl-stream-check
for file in "$package" "$preload" "$fakelib" "$checker"; do
  [ -f "$file" ] || {
    echo "vm-test.sh: no ${file:-package} in $build: run scripts/package.sh host first" >&2
    exit 2
  }
done
scripts/deps.sh vm
# playwright-core for the host's Chromium on the system's page.
[ -d tests/page/node_modules/playwright-core ] ||
  (cd tests/page && npm ci --no-audit --no-fund --loglevel=error)

# The system, made once: Debian's minimal base with systemd, a kernel, ALSA's tools, and PipeWire
# with its ALSA plugin and a user's session (a desktop's sound server, every user's ALSA default).
packages=systemd,systemd-sysv,udev,kmod,dbus,linux-image-amd64,alsa-utils,sudo,pipewire-alsa,wireplumber,dbus-user-session,libpam-systemd
# An Icecast server and a client of it (curl), and what docs/icecast.md's first block installs:
# installed here already, as unpacking ffmpeg's libraries on the emulated system would take minutes.
packages=$packages,icecast2,curl,$(copied_block docs/icecast.md icecast-install |
  sed -n 's/^sudo apt-get install //p' | tr ' ' ',')
# What docs/monitoring.md's blocks install (node-exporter, Prometheus), there already for the same
# reason; they start only when those blocks start them (below).
packages=$packages,$(for block in monitoring-exporter monitoring-rules; do
  copied_block docs/monitoring.md "$block" | sed -n 's/^sudo apt-get install //p'
done | tr ' ' ',' | paste -sd,),$(copied_block docs/page.md page-install |
  sed -n 's/^sudo apt-get install //p' | tr ' ' ',')
# What docs/building.md's blocks for building on the board install with apt-get, installed in the
# image.
build_packages=$(for block in build-spidev build-bcm2835; do
  copied_block docs/building.md "$block" | sed -n 's/^sudo apt-get install //p'
done | tr ' ' '\n' | sort -u | tr '\n' ' ')
[ -n "$build_packages" ] || {
  echo "vm-test.sh: docs/building.md's blocks for building on the board install nothing" >&2
  exit 1
}
cache=${ORVCTL_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/orvctl-vm}
image=$cache/bookworm-$(echo "$packages installed: $build_packages" | sha256sum | cut -c1-12).tar
# make_system FOLDER MIRROR: the system made afresh in FOLDER, with the build packages that the
# README's blocks for building on the board name already installed (natively: unpacking a compiler
# under emulation took three and a half minutes of every run); those blocks' apt-get lines then run
# as written and find them there, and a package they do not name is still missing.
make_system() {
  rm -rf --one-file-system "$1"
  mkdir "$1"
  debootstrap --variant=minbase --include="$packages" bookworm "$1" "$2" \
    >>"$cache/debootstrap.log" || {
    tail -20 "$cache/debootstrap.log" >&2
    return 1
  }
  rm -f "$1"/boot/*.dpkg-bak "$1"/boot/*.new "$1"/var/cache/apt/archives/*.deb
  cp /etc/resolv.conf "$1/etc/resolv.conf"
  # shellcheck disable=SC2086
  { chroot "$1" apt-get update -q && chroot "$1" apt-get install -q -y $build_packages &&
    chroot "$1" apt-get clean; } >>"$cache/debootstrap.log" 2>&1 || {
    tail -20 "$cache/debootstrap.log" >&2
    return 1
  }
  : >"$1/etc/resolv.conf"
}

if [ ! -f "$image" ]; then
  echo "Making the system's image (debootstrap) into $image"
  mkdir -p "$cache"
  : >"$cache/debootstrap.log"
  made=$(mktemp -d)
  mirror=$(sed -n 's/^URIs: \(.*\/debian\)$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
    head -1)
  from_the_mirror make_system "$made" "${mirror:-http://deb.debian.org/debian}"
  tar --numeric-owner -C "$made" -cf "$image.part" .
  mv "$image.part" "$image"
  rm -rf "$made"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir "$root"
tar --numeric-owner -C "$root" -xf "$image"

# Prometheus and node-exporter, enabled by their packages, would run (and scrape) through the whole
# test beside the emulated system's busiest phases: they start when docs/monitoring.md's blocks
# start them.
rm -f "$root"/etc/systemd/system/multi-user.target.wants/prometheus*.service
# What the test needs on the system, and the unit that runs it at boot.
install -m 644 "$package" "$root/root/"
install -D -m 644 "$preload" "$root/usr/local/lib/orvtest/liborvtest_spidev_preload.so"
install -m 755 "$fakelib" "$root/root/orvctl-fakelib-board"
install -m 755 scripts/vm-guest.sh "$root/root/vm-guest.sh"
# The sources, as a clone of this working tree has them.
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf "$root/root/sources.tar"
for block in README.md:install-package:sh README.md:first-check:sh README.md:play:sh \
  README.md:service:sh README.md:service-manage:sh README.md:service-options:sh \
  README.md:user-service:sh README.md:update:sh README.md:remove:sh README.md:purge:sh \
  docs/building.md:build-spidev:sh docs/building.md:build-bcm2835:sh \
  docs/building.md:remove-local:sh docs/sound.md:second-card:conf docs/sound.md:device:conf \
  docs/sound.md:shared-card:conf docs/icecast.md:icecast-install:sh docs/icecast.md:icecast-account:sh \
  docs/icecast.md:icecast-flac:conf docs/icecast.md:icecast-run:sh docs/icecast.md:icecast-mp3:conf \
  docs/icecast.md:icecast-mp3-run:sh docs/icecast.md:icecast-card:conf \
  docs/icecast.md:icecast-card-run:sh docs/icecast.md:icecast-service-flac:sh \
  docs/icecast.md:icecast-service-mp3:sh docs/icecast.md:icecast-service-card:sh \
  docs/icecast.md:icecast-service:sh docs/icecast.md:icecast-service-off:sh \
  docs/recording.md:recording-install:sh docs/recording.md:recording-all:conf \
  docs/recording.md:recording-service:sh docs/recording.md:recording-list:sh \
  docs/recording.md:recording-card:conf docs/recording.md:recording-run:sh \
  docs/recording.md:recording-journal:sh docs/recording.md:recording-floor:sh docs/page.md:page-install:sh docs/monitoring.md:monitoring-exporter:sh \
  docs/monitoring.md:monitoring-exporter-record:sh docs/monitoring.md:monitoring-look:sh \
  docs/monitoring.md:monitoring-rules:sh; do
  document=${block%%:*}
  name=${block#*:}
  copied_block "$document" "${name%:*}" >"$root/root/${name/:/.}"
  [ -s "$root/root/${name/:/.}" ] || {
    echo "vm-test.sh: $document has no block \"${name%:*}\"" >&2
    exit 1
  }
done
echo orvtest >"$root/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 orvtest\n' >"$root/etc/hosts"
cat >"$root/etc/systemd/system/orvtest.service" <<'EOF'
[Unit]
Description=orvctl's test on a real system
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/root/vm-guest.sh
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
[Install]
WantedBy=multi-user.target
EOF
ln -s /etc/systemd/system/orvtest.service \
  "$root/etc/systemd/system/multi-user.target.wants/orvtest.service"
ln -sf /dev/null "$root/etc/systemd/system/serial-getty@ttyS0.service"
mkfs.ext4 -q -F -d "$root" "$work/root.img" 5G

echo "Booting the system under emulation"
status=0
# A network card that reaches nothing but this host's forwarded port to its web server (the guest
# brings it up for docs/page.md's page alone): the host's Chromium loads the page there once the
# guest says it is ready, and plays the service's recording.
web=$((20000 + RANDOM % 20000))
timeout 2700 qemu-system-x86_64 -accel tcg -m 1536 -smp 2 -display none -monitor none \
  -no-reboot -nic "user,model=virtio-net-pci,restrict=on,hostfwd=tcp:127.0.0.1:$web-:80" \
  -serial "file:$work/console.log" \
  -kernel "$(ls "$root"/boot/vmlinuz-* | head -1)" -initrd "$(ls "$root"/boot/initrd.img-* | head -1)" \
  -append "root=/dev/vda rw console=ttyS0 panic=-1 quiet systemd.show_status=0" \
  -drive "file=$work/root.img,format=raw,if=virtio" &
emulator=$!
browsed=
while kill -0 "$emulator" 2>/dev/null; do
  if [ -z "$browsed" ] && [ -f "$work/console.log" ] &&
    tr -d '\r' <"$work/console.log" | grep -q '^vm-test: the page is ready'; then
    browsed=yes
    node tests/page/vm-page.mjs "http://127.0.0.1:$web/orvctl/" "$cache/page-in-the-system.png" \
      >"$work/browsed.txt" 2>&1 || true
  fi
  sleep 2
done
wait "$emulator" || status=$?
# The serial line ends its lines with carriage returns.
tr -d '\r' <"$work/console.log" >"$work/console.txt"
sed -n 's/^vm-test: //p' "$work/console.txt"
if [ $status -ne 0 ]; then
  echo "vm-test.sh: the system did not power off by itself (status $status); its console:" >&2
  tail -40 "$work/console.txt" >&2
  exit 1
fi
# A failure on the system is told at the end: the captures are checked all the same.
guest=passed
grep -qx 'vm-test: passed' "$work/console.txt" || guest=failed
echo "The host's Chromium on the system's page (a screenshot: $cache/page-in-the-system.png):"
cat "$work/browsed.txt" 2>/dev/null || echo "FAILED: the system's page was never ready"
if [ ! -s "$work/browsed.txt" ] || grep -q '^FAILED' "$work/browsed.txt"; then
  guest=failed
fi

# What the service played, and orvctl with the README's configurations, as the loopback card's
# other end captured it: at least 2 seconds of the board's ramp, in order. From the service (on the
# README's shared card, with room for two blocks) nothing may be lost, repeated or altered either.
# The service started again by its watchdog after a reset of the board plays the ramp again.
# The second card's own default is ALSA's usual dmix, whose buffer is too small for an emulated
# system's hiccups (orvctl says so), so there the capture shows only that the audio goes where the
# README says: nine tenths of it the ramp. The same for the bcm2835 build through sudo, whose sound
# went through the user's PipeWire.
# What listeners decoded of the Icecast stream (Ogg FLAC: lossless) is the ramp whole, from a run
# in a terminal, from the service, and from the service again once the server came back.
# The service's capture, on the shared card from its start: twice so far the stream's
# first 192 samples came out garbled as the emulated shared card started (the rest whole; not
# chased further); that alone is let pass ("whole-but-start"), said as such.
# refused NAME WHY: a capture the checks refuse, said and kept in the cache for a look (the run's
# folder goes with it).
refused() {
  echo "vm-test.sh: $1.raw $2; kept as $cache/failed-$1.raw" >&2
  cp "$work/$1.raw" "$cache/failed-$1.raw" || true
}
for capture in captured:whole-but-start captured-reset:routed captured-second-card:routed \
  captured-device:routed captured-sudo:routed listened:whole listened-service:whole \
  listened-back:whole listened-card-run:whole; do
  file=$work/${capture%:*}.raw
  mode=${capture#*:}
  debugfs -R "dump /root/${capture%:*}.raw $file" "$work/root.img" 2>/dev/null
  echo "${capture%:*}.raw, at the loopback card's other end:"
  whole=yes
  result=$("$checker" "$file" 145500 ramp) || whole=no
  echo "$result"
  read -r samples lost repeated altered < <(sed -n 's/^samples \([0-9]*\),.* lost \([0-9]*\) in .* repeated \([0-9]*\) in .* altered \([0-9]*\),.*/\1 \2 \3 \4/p' <<<"$result")
  joined=$(sed -n 's/.*after [0-9]* samples of silence, joining at sample \([0-9]*\) of the stream.*/\1/p' <<<"$result")
  if [ $whole = no ] && [ "$mode" = whole-but-start ] && [ -n "$joined" ] && [ "$joined" -le 1024 ] &&
    [ "$lost" = "$joined" ] && [ "$altered" -le "$joined" ] && [ "$repeated" = 0 ]; then
    echo "(the stream's first $joined samples garbled as the card started; the rest whole)"
  elif [ $whole = no ] && [ "$mode" != routed ]; then
    refused "${capture%:*}" "is not the ramp whole"
    guest=failed
  fi
  # A routed capture went through a mixer (the card's dmix, PipeWire) that may convert its values:
  # once, beside a busy host, PipeWire's stream ran dry for 2048 samples and what came after was
  # the ramp, its steps one apart, yet nowhere the board's exact values (380 416 samples
  # "altered"). There, the ramp's own steps (+1, or its wrap) in nine samples of ten say that it
  # reached the card.
  steps=0
  [ "$mode" = routed ] && steps=$(od -An -v -td2 -w2 "$file" |
    awk 'NR > 1 && ($1 - p == 1 || p - $1 == 65535) { n++ } { p = $1 } END { print n + 0 }')
  [ "${samples:-0}" -ge 96000 ] && { [ $((10 * (lost + repeated + altered))) -le "$samples" ] ||
    [ $((10 * steps)) -ge $((9 * samples)) ]; } || {
    echo "vm-test.sh: the board's ramp did not reach the sound card; samples from a second in:" >&2
    od -An -td2 -w32 -j 96000 -N 256 "$file" >&2
    refused "${capture%:*}" "is not the ramp"
    guest=failed
  }
  [ "$mode" = routed ] && [ $((10 * (lost + repeated + altered))) -gt "$samples" ] &&
    echo "(its values converted on the way, yet $steps of its steps the ramp's)"
done
# The streams through the silence between two transmissions (vm-guest.sh's ORVSIM_BURSTS): the
# Ogg FLAC listener's capture and the card's, beside the recordings, the board's samples exactly,
# their sound whole (every sample of the ramp in the transmissions but its own zeros); the MP3 listener's,
# decoded, two stretches of sound where the transmissions were, a minute apart to a frame (1152
# samples) and 2 s long each. This is the emulated system's busiest phase (the card, two encoders,
# the server, the listener and the recorder): beside a busy host it was starved
# long enough for the card to run dry once (61 and 92 ms, in two runs; never on a quiet one). The
# card's capture may therefore pause, which load moves, but loses, repeats and alters nothing;
# the listener's may not even pause.
bursts="15:2000 75:2000"
sound() { od -An -v -td2 -w2 "$1" | awk '$1 != 0' | wc -l; }
# only_paused RESULT: whether the checker's line says that the capture paused and nothing worse.
only_paused() { grep -qE ' lost 0 in 0 gaps, repeated 0 in 0 jumps back, altered 0, paused [0-9]+ in [1-9]' <<<"$1"; }
# What the board overwrote in that phase, its buffer full (the relay's status line): the captures
# may miss that much, within a block, and nothing more; where it is 0 they are whole.
debugfs -R "dump /root/card-stream-status.txt $work/card-stream-status.txt" "$work/root.img" 2>/dev/null
overwritten=$(sed -n 's/.*, \([0-9]*\) samples overwritten on the board$/\1/p' "$work/card-stream-status.txt")
echo "the board overwrote ${overwritten:-?} samples in that phase"
[ -n "$overwritten" ] || {
  echo "vm-test.sh: the phase's status line did not say what the board overwrote" >&2
  guest=failed
}
# only_overwritten RESULT: whether the checker's line says that what was lost was no more than
# the board overwrote (within a block), and nothing was repeated or altered.
only_overwritten() {
  local lost
  lost=$(sed -n 's/.* lost \([0-9]*\) in [0-9]* gaps, repeated 0 in 0 jumps back, altered 0, paused 0 in.*/\1/p' <<<"$1")
  [ -n "$lost" ] && [ "${overwritten:-0}" -gt 0 ] && [ "$lost" -le $((overwritten + 12000)) ]
}
for capture in listened-card-stream:191990 captured-card-stream:191990; do
  file=$work/${capture%:*}.raw
  debugfs -R "dump /root/${capture%:*}.raw $file" "$work/root.img" 2>/dev/null
  echo "${capture%:*}.raw, the transmissions \"$bursts\":"
  heard=$(sound "$file")
  checked=0
  result=$(ORVSIM_BURSTS=$bursts "$checker" "$file" 145500 ramp) || checked=$?
  { [ $checked = 0 ] || only_overwritten "$result" ||
    { [ "${capture%:*}" = captured-card-stream ] && only_paused "$result"; }; } &&
    echo "$result" && echo "its samples of sound: $heard" &&
    # (less the samples the relay left out to follow the card's clock, its edits, and what the
    # board overwrote)
    [ "$heard" -ge $((${capture#*:} - ${overwritten:-0} - $(sed -n 's/^samples [0-9]*, drops \([0-9]*\),.*/\1/p' <<<"$result"))) ] || {
    echo "$result"
    refused "${capture%:*}" "is not both transmissions whole ($heard samples of sound)"
    guest=failed
  }
done
file=$work/listened-silence-mp3.raw
debugfs -R "dump /root/listened-silence-mp3.raw $file" "$work/root.img" 2>/dev/null
# Stretches of sound: louder than 100 somewhere in each millisecond (48 samples), gaps of a second
# or more. (The ramp passes through 0 every 65536 samples, and one of those passings lies at the
# first transmission's start: a coarser level or block would start that stretch late.)
stretches=$(od -An -v -td2 -w2 "$file" | awk '
  { loud = loud || $1 > 100 || $1 < -100 }
  NR % 48 == 0 { if (loud) { if (!on || NR - last > 48000) { if (on) print first, last; first = NR - 48; on = 1 } last = NR }
                 loud = 0 }
  END { if (on) print first, last }')
echo "listened-silence-mp3.raw, stretches of sound (from, to): $(tr '\n' ' ' <<<"$stretches")"
awk '{ n++; from[n] = $1; to[n] = $2 } END {
  ok = n == 2 && (from[2] - from[1] - 2880000) ^ 2 <= 1152 ^ 2
  for (i = 1; i <= n; i++) ok = ok && (to[i] - from[i] - 96000) ^ 2 <= 2000 ^ 2
  exit !ok }' <<<"$stretches" || {
  echo "vm-test.sh: the MP3 listener did not hear two transmissions where they were" >&2
  guest=failed
}
# The card beside the stream from the terminal: what its other end captured, the board's samples
# exactly (the service's capture is above, with its listener's).
file=$work/captured-card-run.raw
debugfs -R "dump /root/captured-card-run.raw $file" "$work/root.img" 2>/dev/null
echo "captured-card-run.raw, at the loopback card's other end:"
"$checker" "$file" 145500 ramp || {
  echo "vm-test.sh: the card beside the stream did not play the ramp whole" >&2
  guest=failed
}
# recording_whole NAME BURSTS AT: a recording the guest kept (/root/NAME.flac) of the transmission
# AT seconds in, 2 s long: the board's samples exactly, from 0.2 s before its first sample to 2 s
# after its last.
recording_whole() {
  debugfs -R "dump /root/$1.flac $work/$1.flac" "$work/root.img" 2>/dev/null
  flac --silent --decode --force-raw-format --endian=little --sign=signed -o "$work/$1.raw" \
    "$work/$1.flac" || {
    echo "vm-test.sh: the recording $1.flac is missing or not FLAC" >&2
    return 1
  }
  ORVSIM_BURSTS=$2 "$checker" "$work/$1.raw" 145500 ramp || return 1
  read -r first value samples < <(od -An -v -td2 -w2 "$work/$1.raw" |
    awk '$1 != 0 && !k { k = NR - 1; v = $1 } END { print k, v, NR }')
  echo "its first sound at sample $first ($value), $samples samples"
  awk -v k="$first" -v v="$value" -v n="$samples" -v at="$3" 'BEGIN {
    ramp = (at * 48000) % 65536; if (ramp >= 32768) ramp -= 65536
    hang = n - k - 2 * 48000
    exit !(k == 9600 && v == ramp && hang == 96000) }'
}
# The service's recording of the second transmission, the first having come while the folder was
# full.
echo "recorded.flac, the service's recording of the transmission at 75 s:"
recording_whole recorded "$bursts" 75 || guest=failed
# From the terminal, the card and the recordings (recording-card): the one transmission, 3 s in,
# whole on the card (its 96000 samples of sound but the ramp's one zero among them, less the
# relay's edits) and in its recording.
echo "recorded-card.flac, the terminal's recording of the transmission at 3 s:"
recording_whole recorded-card 3:2000 3 || guest=failed
file=$work/captured-recording-card.raw
debugfs -R "dump /root/captured-recording-card.raw $file" "$work/root.img" 2>/dev/null
echo "captured-recording-card.raw, at the loopback card's other end:"
result=$(ORVSIM_BURSTS=3:2000 "$checker" "$file" 145500 ramp) && echo "$result" &&
  [ "$(sound "$file")" -ge $((95999 - $(sed -n 's/^samples [0-9]*, drops \([0-9]*\),.*/\1/p' <<<"$result"))) ] || {
  echo "$result"
  echo "vm-test.sh: the card beside the recordings did not play the transmission whole" >&2
  guest=failed
}
# How late the listener in the terminal heard the board: from the board's start (orvctl's
# "Playback enabled") to the listener's end, less the board's time of the last sample heard.
result=$("$checker" "$work/listened.raw" 145500 ramp) || true
joined=$(sed -n 's/.*joining at sample \([0-9]*\) of the stream.*/\1/p' <<<"$result")
samples=$(sed -n 's/^samples \([0-9]*\),.*/\1/p' <<<"$result")
debugfs -R "dump /root/listened.times $work/listened.times" "$work/root.img" 2>/dev/null
read -r started ended <"$work/listened.times" || true
delay=$(awk -v s="${started:-0}" -v e="${ended:-0}" -v j="${joined:-0}" -v n="${samples:-0}" \
  'BEGIN { printf "%.2f", e - s - (j + n) / 48000 }')
echo "the Icecast listener heard the board $delay s late (joined at sample ${joined:-?})"
awk -v d="$delay" 'BEGIN { exit !(d > 0 && d < 30) }' || {
  echo "vm-test.sh: the Icecast listener's delay is not a few seconds: $delay s" >&2
  guest=failed
}
# orvctl stopped for a second on the loopback card: silence where it ran dry, never a sample played
# twice (samples lost where the emulated system held it up longer than the board holds are not the
# card's doing).
file=$work/captured-stopped.raw
debugfs -R "dump /root/captured-stopped.raw $file" "$work/root.img" 2>/dev/null
echo "captured-stopped.raw, at the loopback card's other end:"
result=$("$checker" "$file" 145500 ramp) || true
echo "$result"
read -r samples repeated pauses < <(sed -n 's/^samples \([0-9]*\),.* repeated \([0-9]*\) in .* paused [0-9]* in \([0-9]*\) pauses.*/\1 \2 \3/p' <<<"$result")
[ "${samples:-0}" -ge 96000 ] && [ "${repeated:-1}" = 0 ] && [ "${pauses:-0}" -ge 1 ] || {
  echo "vm-test.sh: stopped, orvctl's card did not play silence alone where it ran dry" >&2
  guest=failed
}
# ... and stopped in its first seconds: the silence worked off, as many samples dropped (net) as
# the card was silent, within 20 ms; or, where the silence was longer than 1000 ppm works off in
# the capture's 170 s after the stop, less 20 s for the relay to find it, at least that many.
file=$work/captured-early.raw
debugfs -R "dump /root/captured-early.raw $file" "$work/root.img" 2>/dev/null
echo "captured-early.raw, at the loopback card's other end:"
result=$("$checker" "$file" 145500 ramp) || true
echo "$result"
read -r drops repeats repeated paused pauses < <(sed -n 's/^samples [0-9]*, drops \([0-9]*\), repeats \([0-9]*\),.* repeated \([0-9]*\) in .* paused \([0-9]*\) in \([0-9]*\) pauses.*/\1 \2 \3 \4 \5/p' <<<"$result")
least=$((${paused:-0} - 960 < 48 * 150 ? ${paused:-0} - 960 : 48 * 150))
[ "${pauses:-0}" -ge 1 ] && [ "${repeated:-1}" = 0 ] &&
  [ $((drops - repeats)) -le $((paused + 960)) ] && [ $((drops - repeats)) -ge "$least" ] || {
  echo "vm-test.sh: stopped in its first seconds, orvctl did not work off the silence" >&2
  guest=failed
}
[ "$guest" = passed ] || {
  echo "vm-test.sh: failed on the system" >&2
  exit 1
}
echo "vm-test.sh: passed"
