#!/bin/sh
# The checks inside the test system that scripts/vm-test.sh boots: run once at boot, as root, by
# the unit orvtest.service; each line it prints starts with "vm-test: " and goes to the serial
# console, which vm-test.sh reads. It powers the system off when done.
#
# In /root: the package under test (orvctl_VERSION_amd64.deb), install-on-the-pi.sh, service.sh
# and user-service.sh (the README's blocks of commands, as written there) and NAME.conf, its ALSA configurations second-card, device and shared-card. The stand-in board is /usr/local/lib/orvtest/liborvtest_spidev_preload.so.
set -u
unit=orvctl@145500
preload=/usr/local/lib/orvtest/liborvtest_spidev_preload.so
failures=0

say() { echo "vm-test: $*"; }

# check DESCRIPTION COMMAND...: runs the command, says whether it succeeded, and shows its output
# when it did not.
check() {
  description=$1
  shift
  if "$@" >/tmp/check.out 2>&1; then
    say "ok: $description"
  else
    say "FAILED: $description"
    sed 's/^/vm-test:     /' /tmp/check.out
    failures=$((failures + 1))
  fi
}

# wait_for SECONDS COMMAND...: until the command succeeds, at most that long (an emulated system
# is slow, and its speed varies).
wait_for() {
  limit=$1
  shift
  while ! "$@" >/dev/null 2>&1; do
    [ "$limit" -gt 0 ] || return 1
    limit=$((limit - 1))
    sleep 1
  done
}

property() { systemctl show -p "$1" --value "$unit"; }
in_group() { grep -q "^Groups:.*\b$(getent group "$2" | cut -d: -f3)\b" "/proc/$1/status"; }
journal_has() { journalctl -u "$unit" -o cat | grep -qxF "$1"; }
# What the service's run since its last (re)start printed.
journal_now() { journalctl -u "$unit" -o cat "_SYSTEMD_INVOCATION_ID=$(property InvocationID)"; }
journal_has_now() { journal_now | grep -qxF "$1"; }
no_small_buffer_line() { ! journal_now | grep -q 'too small'; }

finish() {
  if [ "$failures" -eq 0 ]; then
    say "passed"
  else
    say "failed: $failures checks"
  fi
  sync
  systemctl poweroff --no-block
}
trap finish EXIT

say "started on $(uname -r), systemd $(systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')"

# pipewire-alsa is installed, but not ALSA's default until the check of a desktop's sound server.
mv /etc/alsa/conf.d/99-pipewire-default.conf /root/

# The group and its udev rule come with the package, on a system that had neither.
check "the system has no group spi before the package" sh -c '! getent group spi'
# The README's first and last commands for a Pi (the others build from source): the package for
# this machine's architecture instead of arm64.
install_line=$(head -1 /root/install-on-the-pi.sh | sed 's/_arm64\.deb/_amd64.deb/')
run_line=$(tail -1 /root/install-on-the-pi.sh)
check "the README's command installs the package" sh -c "cd /root && $install_line"
check "the package made the system group spi" \
  sh -c 'gid=$(getent group spi | cut -d: -f3) && [ "$gid" -lt 1000 ]'
check "the package's udev rule gives /dev/spidev* to the group spi" \
  grep -qx 'SUBSYSTEM=="spidev", GROUP="spi", MODE="0660"' /usr/lib/udev/rules.d/60-orvctl-spidev.rules
check "the unit starts the package's orvctl" \
  sh -c "systemctl cat $unit | grep -qx 'ExecStart=/usr/bin/orvctl \$ORVCTL_OPTIONS -s %i'"
check "the options file is a conffile in /etc" \
  sh -c 'dpkg-query -W -f="\${Conffiles}" orvctl | grep -q "^ /etc/default/orvctl "'

# The kernel's loopback card is the system's only card: what is played on its device 0 is
# captured on its device 1.
check "the loopback sound card" sh -c 'modprobe snd-aloop && udevadm settle && test -e /dev/snd/pcmC0D0p'
# The board: the stand-in device, preloaded into the service.
mkdir -p "/etc/systemd/system/orvctl@.service.d"
printf '[Service]\nEnvironment=LD_PRELOAD=%s\n' "$preload" \
  >"/etc/systemd/system/orvctl@.service.d/board.conf"
systemctl daemon-reload

# The system's sound: the README's shared card (ALSA's dmix, with room for two blocks), for the
# service and another user of the group audio.
useradd -m -G audio,spi pi
cp /root/shared-card.conf /etc/asound.conf

# The README's run on a Pi, as a user of the group spi, until Ctrl-C.
check "the README's run prints the signal status of each block" sh -c \
  "runuser -u pi -- env LD_PRELOAD=$preload timeout -s INT 6 $run_line >/tmp/run.out; test \$? = 124 &&
   grep -qx 'Playback enabled: Ctrl-C to exit' /tmp/run.out && grep -q '^RSSI = ' /tmp/run.out"

# The README's commands, as written there; the second follows the journal until stopped.
arecord -q -D hw:Loopback,1,0 -f S16_LE -r 48000 -c 1 -t raw /root/captured.raw &
recorder=$!
timeout 30 sh -x /root/service.sh >/root/service.out 2>&1
check "the README's commands start the service, and its journal shows what orvctl prints" \
  grep -q ': Playback enabled: Ctrl-C to exit$' /root/service.out
check "the service is running" test "$(property ActiveState)" = active
pid=$(property MainPID)
check "it runs as a user of its own, in the groups spi and audio" sh -c \
  "uid=\$(awk '/^Uid:/ { print \$2 }' /proc/$pid/status) && [ \$uid -ge 61184 ] && [ \$uid -le 65519 ]"
check "... in the group spi" in_group "$pid" spi
check "... in the group audio" in_group "$pid" audio
for line in "Orvane RF tuning utility v1.04" "Firmware version is 1.04" "Tuning to 145500 kHz" \
  "VHF/UHF, Narrow Band FM" "Playback enabled: Ctrl-C to exit"; do
  check "its journal: \"$line\"" journal_has "$line"
done
# The service's private /tmp does not keep the two apart: dmix meets in shared memory.
check "another user plays to the shared card beside the service" \
  runuser -u pi -- aplay -q -f S16_LE -r 48000 -c 1 -d 2 /dev/zero
check "... while the service plays on" test "$(property MainPID)" = "$pid"
check "... which has the buffer it needs" no_small_buffer_line
kill -INT "$recorder"
wait "$recorder"

# Killed, it starts again 10 seconds later.
restarts=$(property NRestarts)
systemctl kill -s KILL "$unit"
check "started again after a kill" wait_for 60 sh -c \
  "[ \$(systemctl show -p NRestarts --value $unit) -gt $restarts ] && systemctl is-active -q $unit"
rm /etc/asound.conf

# A desktop's sound server as everyone's default: the service cannot reach it, says so and tries
# again, as the README says.
mv /root/99-pipewire-default.conf /etc/alsa/conf.d/
restarts=$(property NRestarts)
systemctl restart "$unit"
check "with pipewire-alsa the service says \"Playback open error: Host is down\"" \
  wait_for 60 journal_has_now "Playback open error: Host is down"
check "... and tries again" wait_for 60 sh -c "[ \$(systemctl show -p NRestarts --value $unit) -gt $restarts ]"
# There the user unit plays through the user's own PipeWire: the README's command, as written, in
# a session of the user's (kept by lingering, as a desktop's login would).
mkdir -p "/etc/systemd/user/orvctl@.service.d"
cp "/etc/systemd/system/orvctl@.service.d/board.conf" "/etc/systemd/user/orvctl@.service.d/"
loginctl enable-linger pi
as_pi() {
  runuser -u pi -- env XDG_RUNTIME_DIR=/run/user/1000 \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus "$@"
}
check "the user's session with PipeWire" wait_for 60 as_pi wpctl status
check "the README's command starts the user unit" as_pi sh -x -s </root/user-service.sh
check "... which plays through PipeWire to the card" wait_for 60 sh -c \
  "runuser -u pi -- env XDG_RUNTIME_DIR=/run/user/1000 wpctl status | grep -A2 'PipeWire ALSA \[orvctl\]' | grep -q 'Loopback PCM:playback_FL.*active'"
check "... and its journal, as the user reads it, shows what orvctl prints" wait_for 30 sh -c \
  "runuser -u pi -- journalctl --user -u $unit -o cat | grep -qxF 'Playback enabled: Ctrl-C to exit'"
as_pi systemctl --user disable -q --now "$unit"
loginctl disable-linger pi
wait_for 60 sh -c '! pgrep -u pi pipewire'

mv /etc/alsa/conf.d/99-pipewire-default.conf /root/
systemctl restart "$unit"
wait_for 60 journal_has_now "Playback enabled: Ctrl-C to exit"
restarts=$(property NRestarts)
sleep 5
check "... and without it plays to the first card" \
  sh -c "! journalctl -u $unit -o cat _SYSTEMD_INVOCATION_ID=$(property InvocationID) | grep -q error"
check "... without a restart" test "$(property NRestarts)" = "$restarts"

# systemctl stop ends it as Ctrl-C does, and that is a success.
check "systemctl stop ends it by SIGINT" systemctl stop "$unit"
check "... with success" test "$(property Result)" = success
check "... ended by SIGINT" test "$(property ExecMainStatus)" = 2
systemctl disable -q "$unit"

# A script's background job starts with SIGINT ignored; orvctl stops on it all the same.
printf 'pcm.!default { type null }\n' >/root/null.conf
check "orvctl in a script's background stops on SIGINT (status 130)" sh -c \
  "ALSA_CONFIG_PATH=/root/null.conf LD_PRELOAD=$preload orvctl -s 145500 >/dev/null 2>&1 &
   pid=\$!; sleep 5; kill -INT \$pid; wait \$pid; test \$? = 130"

# The README's configurations that choose the second card or one of its devices, in root's
# ~/.asoundrc, with the loopback card second: what orvctl plays is captured for vm-test.sh.
modprobe -r snd-aloop
check "a first card, and the loopback card second" sh -c \
  'modprobe snd-dummy index=0 && modprobe snd-aloop index=1 && udevadm settle && test -e /dev/snd/pcmC1D0p'
for name in second-card device; do
  cp "/root/$name.conf" /root/.asoundrc
  arecord -q -D hw:Loopback,1,0 -f S16_LE -r 48000 -c 1 -t raw "/root/captured-$name.raw" &
  recorder=$!
  sleep 2
  check "the README's $name: orvctl plays to the loopback card" sh -c \
    "LD_PRELOAD=$preload timeout -s INT 8 orvctl -s 145500 >/dev/null; test \$? = 124"
  kill -INT "$recorder"
  wait "$recorder"
done
rm /root/.asoundrc

# The options file: an edit survives remove and reinstall; purge removes it.
echo 'ORVCTL_OPTIONS="-w"' >>/etc/default/orvctl
check "remove" dpkg -r orvctl
check "... keeps the edited options file" grep -qx 'ORVCTL_OPTIONS="-w"' /etc/default/orvctl
check "reinstall" sh -c "cd /root && $install_line"
check "... keeps the edit" grep -qx 'ORVCTL_OPTIONS="-w"' /etc/default/orvctl
check "purge" dpkg -P orvctl
check "... removes the options file" test ! -e /etc/default/orvctl
