#!/usr/bin/env bash
# scripts/setup.sh [run|all]: installs the Debian packages the project needs (only what is
# missing). Run as root. "run" is what scripts/run.sh needs to build and run the tools and the
# program; "all" (the default) adds what the tests, benchmarks, fuzz targets and the lab need.
set -euo pipefail
profile=${1:-all}
case "$profile" in run | all) ;; *) echo "usage: $0 [run|all]" >&2; exit 2 ;; esac
# To build and run: libudev is bound at run time by name (no headers needed); Qt 6 Widgets for
# the program and Qt's SVG plugins for its icon; libxkbcommon-dev reads keyboard layouts for
# qvcomm type (xkb-data, its layouts, comes with it); libmosquitto publishes codes to an MQTT
# broker. cpack -G DEB, which works right after scripts/run.sh, asks file and dpkg-shlibdeps
# (dpkg-dev) what the binaries are and need.
packages=(cmake ninja-build g++ pkg-config qt6-base-dev libqt6svg6 libxkbcommon-dev libmosquitto-dev file dpkg-dev)
# To test: GoogleTest and Google Benchmark; Xvfb and xdotool run the program on a virtual display
# for the desktop check. ser2net serves a pseudo-terminal on the network for the network port
# tests and benchmark; python3-serial is the peer client the benchmark compares with, Qt's serial
# port module the reader that the desktop path is compared with (bench/gui_path). clang and its
# runtime build the fuzz targets (scripts/fuzz.sh); locales gives the log tests a second date
# format; the tests and the benchmark run mosquitto and its clients. The serial lab
# (scripts/lab.sh) boots Debian's kernel in QEMU with a busybox initramfs and runs udevd there.
# The package check (scripts/package_check.sh) checks the Debian packages with lintian and
# installs them into a minimal Debian made by debootstrap.
if [[ $profile == all ]]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev xvfb xdotool ser2net python3-serial qt6-serialport-dev
             clang-14 libclang-rt-14-dev locales mosquitto mosquitto-clients qemu-system-x86 busybox-static udev
             python3 lintian debootstrap)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
[[ $profile == all ]] || exit 0
# The log's date-format tests also run in a German locale.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  echo "Generating the locale de_DE.UTF-8"
  localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
