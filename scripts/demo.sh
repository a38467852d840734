#!/usr/bin/env bash
# Corvalith Updater against simulated modules and a local update server:
# discovers the modules over TCP/IP and behind a routing module, lists the
# builds the server offers for one of them, then, on an emulated USB bus
# (corvalith-usb-sim), discovers the USB modules, fetches the current build
# into a local store, updates the hub's firmware with it over USB and
# discovers again to show the new version. Last, a bare LPC chip (the
# simulated boot ROM corvalith-lpc-rom, flash erased) gives its fingerprint,
# which is registered with the update server, and is recovered from there.
#
#   scripts/demo.sh             installs packages, builds build/normal if needed
#   scripts/demo.sh BUILD_DIR   uses the programs already built in BUILD_DIR
#
# TCP/IP discovery multicasts its request, so everything runs inside a
# private network namespace (scripts/netns-run); the USB part needs none. Every process the demo starts is
# stopped and its temporary directory removed when it ends, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-}
if [[ -z $build ]]; then
  scripts/setup.sh
  if ! log=$(scripts/build.sh normal Updater corvalith-sim corvalith-usb-sim corvalith-lpc-rom corvalith-update-server \
    birdtool 2>&1); then
    echo "$log" >&2
    exit 1
  fi
  build=build/normal
fi
bin=$(cd "$build" && pwd)

if [[ ${NETNS_PRIVATE:-} != 1 ]]; then
  exec scripts/netns-run "$0" "$bin"
fi

tmp=$(mktemp -d -t corvalith-demo.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

# wait_for_line PID FILE PATTERN: waits up to 10 s for a line of FILE to match
# PATTERN while the process PID that writes it is still running.
wait_for_line() {
  local pid=$1 file=$2 pattern=$3 deadline=$((SECONDS + 10))
  until grep -qs "$pattern" "$file"; do
    if ! kill -0 "$pid" 2>/dev/null || ((SECONDS >= deadline)); then
      echo "demo: no '$pattern' from process $pid:" >&2
      cat "$file" >&2
      exit 1
    fi
    sleep 0.1
  done
}

# run HEADING COMMAND...: shows the heading and the command, then runs it.
run() {
  printf '\n=== %s\n$ %s\n' "$1" "${*:2}"
  "$bin/Updater" "${@:3}"
}

router=D272031D
device=40F5849A
store=$tmp/store

# Two builds published for the hub, made the way the README shows: a loader
# that runs from RAM and 48 KiB of firmware for the flash.
mkdir -p "$tmp/served/$device"
head -c 1024 /dev/urandom >"$tmp/loader.bin"
head -c 49152 /dev/urandom >"$tmp/firmware.bin"
for release in 3020:2.10.4 3140:2.11.0; do
  "$bin/tools/birdtool" pack -o "$tmp/served/$device/${release%%:*}.bird" --build "${release%%:*}" \
    --version "${release#*:}" --model "HubLink 4" --serial "$device" --loader "0x10000000:$tmp/loader.bin" \
    --firmware "0x00010000:$tmp/firmware.bin" >/dev/null
done

# The TCP/IP modules: a routing module with two modules on its I2C bus and
# a meter on 2.11.0.
cat >"$tmp/modules.conf" <<EOF
[module]
serial = $router
model = 25
address = 6
version = 2.15.0
build = 3140
name = Rack router
tcp = 0
[module]
serial = 2181F0EE
behind = $router
model = 17
address = 4
version = 2.12.0
build = 2950
[module]
serial = 2181F0EF
behind = $router
model = 18
address = 8
version = 2.10.3
build = 2410
[module]
serial = 40F5849B
model = 21
version = 2.11.0
build = 3020
name = Meter left
tcp = 0
EOF
# The USB modules: the hub on firmware 2.10.3 (before device names), whose
# update is the demo's, and a second meter.
cat >"$tmp/usb.conf" <<EOF
[module]
serial = $device
model = 4
version = 2.10.3
build = 2410
name = Bench hub
flash-file = $tmp/flash.bin
reboot-bird = $tmp/served/$device/3140.bird
[module]
serial = 40F5849C
model = 21
version = 2.12.0
build = 3140
name = Meter right
EOF
"$bin/sim/corvalith-sim" --config "$tmp/modules.conf" --discovery all --lifetime 600 >"$tmp/sim.out" &
pids+=($!)
wait_for_line "${pids[-1]}" "$tmp/sim.out" '^READY$'

"$bin/server/corvalith-update-server" --root "$tmp/served" --port 0 >"$tmp/server.out" &
pids+=($!)
wait_for_line "${pids[-1]}" "$tmp/server.out" '^LISTEN '
url=http://$(sed -n 's/^LISTEN //p' "$tmp/server.out" | head -n 1)/cgi/u

run "Discover the modules on TCP/IP" Updater -D -t TCP -i "$store"
run "Discover the modules behind the routing module $router" Updater -D -r "$router" -i "$store"
run "Builds the update server offers for $device" Updater -B -d "$device" -u "$url" -i "$store"

# The USB part: one emulated bus for all its steps, so the hub keeps its new
# firmware between them. The steps run in a script under corvalith-usb-sim,
# which ends with the script's exit status.
cat >"$tmp/usb-steps.sh" <<'STEPS'
set -euo pipefail
bin=$1 store=$2 url=$3 device=$4
run() {
  printf '\n=== %s\n$ %s\n' "$1" "${*:2}"
  "$bin/Updater" "${@:3}"
}
run "Discover the modules on USB" Updater -D -i "$store"
run "Fetch the current build and update the hub with it over USB" Updater -G -U -d "$device" -u "$url" -i "$store"
run "Builds held in the local store" Updater -L -d "$device" -i "$store"
# The hub restarts into its new firmware and re-enumerates; wait (10 s at
# most) until it is on the bus again.
for ((i = 0; i < 100; i++)); do
  lsusb -d 24ff:0004 >/dev/null 2>&1 && break
  sleep 0.1
done
run "Discover again: the hub runs the new firmware" Updater -D -i "$store"
STEPS
printf '\n=== The USB modules, on an emulated bus\n$ corvalith-usb-sim --config usb.conf -- STEPS\n'
"$bin/sim/corvalith-usb-sim" --config "$tmp/usb.conf" --lifetime 600 -- \
  bash "$tmp/usb-steps.sh" "$bin" "$store" "$url" "$device"
if cmp -s -n 49152 -i 0:65536 "$tmp/firmware.bin" "$tmp/flash.bin"; then
  printf '\nThe simulated flash holds the new firmware at 0x00010000, byte for byte.\n'
else
  echo "demo: the simulated flash does not hold the new firmware" >&2
  exit 1
fi

# Recovery: a module whose LPC17xx lost its firmware, its boot ROM on a
# serial port. Its fingerprint names it to the update server, which serves
# an image keyed to that chip.
lpc_device=2181F0F0
lpc_uid="5F1C0A33 8E6B22D1 0B39C4A7 61D2E85C"
start_lpc_rom() {
  "$bin/sim/corvalith-lpc-rom" --uid "$lpc_uid" --state "$tmp/lpc.json" >"$tmp/lpc.out" &
  pids+=($!)
  wait_for_line "${pids[-1]}" "$tmp/lpc.out" '^READY '
  lpc_port=$(sed -n 's/^READY //p' "$tmp/lpc.out" | head -n 1)
}
# stop_lpc_rom: ends the ROM, which then writes its state (flash and commands).
stop_lpc_rom() {
  kill "${pids[-1]}"
  wait "${pids[-1]}" || true
  unset 'pids[-1]'
}
start_lpc_rom
shown=$(run "Fingerprint of the bare chip on $lpc_port" Updater -N -s "$lpc_port" -i "$store")
printf '%s\n' "$shown"
fingerprint=$(sed -n 's/^\[ \(.*\) \]$/\1/p' <<<"$shown")
if [[ $fingerprint != "$lpc_uid" ]]; then
  echo "demo: expected the fingerprint [ $lpc_uid ], got [ $fingerprint ]" >&2
  exit 1
fi
# The chip stays synchronised after -N; a real board is reset into its
# boot loader before the recovery, so the ROM starts afresh (flash erased).
stop_lpc_rom
head -c 20000 /dev/urandom >"$tmp/lpc-firmware.bin"
mkdir -p "$tmp/served/$lpc_device"
"$bin/tools/birdtool" pack -o "$tmp/served/$lpc_device/4100.bird" --build 4100 --version 2.12.0 \
  --model "Meter 2" --serial "$lpc_device" --firmware "0x00000000:$tmp/lpc-firmware.bin" \
  --chip-key "$fingerprint" >/dev/null
printf '%s %s 4100\n' "$fingerprint" "$lpc_device" >>"$tmp/served/fingerprints"
start_lpc_rom
run "Recover the chip from the update server by its fingerprint" \
  Updater -U -t RECOVER -s "$lpc_port" -u "$url" -i "$store"
stop_lpc_rom
flash=$(sed -n 's/^  "flash": "\([0-9a-f]*\)"$/\1/p' "$tmp/lpc.json")
expected=$(od -An -v -tx1 "$tmp/lpc-firmware.bin" | tr -d ' \n')
if [[ ${flash:0:${#expected}} == "$expected" ]]; then
  printf '\nThe LPC flash holds the recovered firmware at 0x00000000, byte for byte.\n'
else
  echo "demo: the LPC flash does not hold the recovered firmware" >&2
  exit 1
fi
printf '\n=== Done\n'
