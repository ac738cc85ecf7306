#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs into a scratch folder and builds the Debian package; checks that both carry the
# programs, the desktop entry, the metainfo and the icons, and that the installed programs run.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >/dev/null
expected=(
  usr/bin/Tavrel_V1.0 usr/bin/tavrel-flash usr/bin/tavrel-devsim usr/bin/tavrel-station
  usr/bin/tavrel-job usr/share/man/man1/tavrel-job.1.gz
  usr/bin/tavrel-records usr/share/man/man1/tavrel-records.1.gz
  usr/share/applications/tavrel.desktop usr/share/applications/tavrel-station.desktop
  usr/share/icons/hicolor/48x48/apps/tavrel-station.png
  usr/share/man/man1/tavrel-flash.1.gz usr/share/man/man1/Tavrel_V1.0.1.gz
  usr/share/man/man1/tavrel-devsim.1.gz usr/share/man/man1/tavrel-station.1.gz
  usr/share/doc/tavrel/copyright usr/share/doc/tavrel/changelog.gz
  usr/share/doc/tavrel/json.md usr/share/doc/tavrel/protocol.md
  usr/share/bash-completion/completions/tavrel-flash
  usr/share/icons/hicolor/scalable/apps/tavrel-station.svg
  usr/share/metainfo/io.github.tavrel.Tavrel.metainfo.xml
  usr/share/icons/hicolor/16x16/apps/tavrel.png usr/share/icons/hicolor/24x24/apps/tavrel.png
  usr/share/icons/hicolor/32x32/apps/tavrel.png usr/share/icons/hicolor/48x48/apps/tavrel.png
  usr/share/icons/hicolor/256x256/apps/tavrel.png usr/share/icons/hicolor/scalable/apps/tavrel.svg
)
for f in "${expected[@]}"; do
  [ -e "$scratch/root/$f" ] || { echo "not installed: $f"; exit 1; }
done
[ "$("$scratch/root/usr/bin/tavrel-flash" --version)" = "tavrel-flash 1.0.0.1" ] || { echo "installed tavrel-flash does not run"; exit 1; }
grep -q '^Exec=Tavrel_V1.0$' "$scratch/root/usr/share/applications/tavrel.desktop"

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null)
deb=$(ls "$scratch"/pkg/tavrel_1.0.0.1_*.deb)
contents=$(dpkg-deb -c "$deb")
for f in "${expected[@]}"; do
  grep -q "\./$f\$" <<<"$contents" || { echo "not in the package: $f"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libqt6serialport6 || { echo "package does not depend on Qt Serial Port"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q libpq5 || { echo "package does not depend on libpq"; exit 1; }
# Debian's own package checker has nothing to say (its note about running as root aside).
said=$(lintian "$deb" 2>/dev/null || true) # it fails when it has something to say
[ -z "$said" ] || { echo "lintian:"; echo "$said"; exit 1; }
# Installed as a user would, without what it only recommends (the CJK font), the programs run
# from where the package put them. Only as root, and the package goes again afterwards.
if [ "$(id -u)" = 0 ] && ! dpkg -s tavrel >/dev/null 2>&1; then
  trap 'dpkg -r tavrel >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
  dpkg -i "$deb" >/dev/null || { echo "the package does not install"; exit 1; }
  for program in tavrel-flash tavrel-devsim tavrel-station; do
    [ "$(env -u DISPLAY -u QT_QPA_PLATFORM "/usr/bin/$program" -V)" = "$program 1.0.0.1" ] ||
      { echo "installed $program -V does not run"; exit 1; }
  done
  QT_QPA_PLATFORM=offscreen /usr/bin/Tavrel_V1.0 & window=$!
  sleep 2
  kill -0 "$window" 2>/dev/null || { echo "the installed window does not stay open"; exit 1; }
  kill "$window"; wait "$window" 2>/dev/null || true
  dpkg -r tavrel >/dev/null
fi
echo "packaging: 1 passed, 0 failed"
