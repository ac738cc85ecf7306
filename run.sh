#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and runs the Tavrel window.
#   ./run.sh          the window, for a real device on a serial port
#   ./run.sh --demo   the window against the simulated boot loader on com 1, with a sample
#                     image to select; without a display the same update runs in tavrel-flash
#   ./run.sh --station-demo   eight simulated boot loaders flashed at once by tavrel-flash, in
#                     the terminal
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target tavrel_window tavrel-flash tavrel-devsim >/dev/null

has_display() {
  [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] || [ "${QT_QPA_PLATFORM:-}" = offscreen ]
}

demo=build/demo
mkdir -p "$demo"
# A sample firmware image: 60000 counting bytes, 59 blocks.
python3 -c 'import sys; sys.stdout.buffer.write(bytes(i % 251 for i in range(60000)))' \
  >"$demo/sample-firmware.bin" 2>/dev/null ||
  head -c 60000 /dev/urandom >"$demo/sample-firmware.bin"

if [ "${1:-}" = "--station-demo" ]; then
  rm -f "$demo"/station-*.bin
  # Eight simulated boot loaders, paced like lines of 115200 baud, one pty each.
  build/tavrel-devsim --count 8 --baud 115200 --ack-suffix '\r\n' \
    --out "$demo/station-%d.bin" >"$demo/station-devsim.out" 2>&1 &
  sims=$!
  trap 'kill $sims 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    [ "$(grep -c '^/' "$demo/station-devsim.out" 2>/dev/null)" -ge 8 ] && break
    sleep 0.1
  done
  ports=()
  while read -r port; do ports+=(-p "$port"); done < <(grep '^/' "$demo/station-devsim.out")
  status=0
  build/tavrel-flash "${ports[@]}" --log "$demo/station-log.jsonl" "$demo/sample-firmware.bin" ||
    status=$?
  good=0
  for f in "$demo"/station-*.bin; do
    cmp -s -n 60000 "$f" "$demo/sample-firmware.bin" && good=$((good + 1))
  done
  echo "$good of 8 simulated devices hold the image byte for byte; the log is $demo/station-log.jsonl." >&2
  exit $status
fi

if [ "${1:-}" != "--demo" ]; then
  if has_display; then
    exec build/Tavrel_V1.0
  fi
  echo "There is no display here (DISPLAY and WAYLAND_DISPLAY are unset), so the window cannot" >&2
  echo "open. Running the demo headless instead; ./run.sh --demo under a desktop shows the window." >&2
fi

rm -f "$demo/received.bin"

# The simulated boot loader, paced like a real line at 115200 baud.
build/tavrel-devsim --baud 115200 --ack-suffix '\r\n' --out "$demo/received.bin" >"$demo/devsim.out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  [ -s "$demo/devsim.out" ] && break
  sleep 0.1
done
port=$(head -n 1 "$demo/devsim.out")
export TAVREL_COM1=$port
echo "Simulated boot loader on $port, mapped to com 1 (TAVREL_COM1)." >&2

if has_display && [ "${1:-}" = "--demo" ]; then
  echo "In the window: keep com 1 and 115200, press Open Port, Select  bin and choose" >&2
  echo "  $demo/sample-firmware.bin, then press Write." >&2
  build/Tavrel_V1.0
else
  build/tavrel-flash -p com1 "$demo/sample-firmware.bin"
fi
if [ -f "$demo/received.bin" ] && cmp -s -n 60000 "$demo/received.bin" "$demo/sample-firmware.bin"; then
  echo "The simulated device received the image byte for byte ($demo/received.bin)." >&2
fi
