#!/usr/bin/env bash
# scripts/package_check.sh: makes the Debian packages in a build of their own (build/package,
# Debian's build flags), checks them with lintian (no errors), installs them into a minimal
# Debian 12 (debootstrap), runs the tools there, builds a program against libqvcomm-dev with
# nothing but -lqvcomm that reads a pseudo-terminal mapped as a COM port, purges them
# and checks that nothing of theirs is left. Run as root. The debootstrap result is kept as
# build/package/bookworm.tar (QV_PACKAGE_CHROOT_TAR names another), so a second run needs the
# network only for the packages' dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build/package
tarball=${QV_PACKAGE_CHROOT_TAR:-$build/bookworm.tar}
fail() { echo "package check: $*" >&2; exit 1; }
step() { echo "package check: $* ($SECONDS s)"; }

scripts/setup.sh all >/dev/null
flags=()
for v in CFLAGS CXXFLAGS CPPFLAGS LDFLAGS; do export "$v=$(dpkg-buildflags --get "$v")"; done
export CXXFLAGS="$CXXFLAGS $CPPFLAGS" CFLAGS="$CFLAGS $CPPFLAGS"
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$PWD
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
step "building"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF -DQV_BENCH=OFF \
  -DQV_WERROR="${QV_WERROR:-OFF}" "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" >"$build/build.log" 2>&1 || { tail -40 "$build/build.log"; fail "build failed"; }
rm -f "$build"/*.deb "$build"/*.ddeb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack failed"; }
debs=("$build"/*.deb)
((${#debs[@]} >= 4)) || fail "expected four packages, made: ${debs[*]##*/}"
for d in "${debs[@]}"; do echo "  $(du -k "$d" | cut -f1) KiB  ${d##*/}"; done
dpkg-deb -f "$build"/qvcomm_*.deb Depends | grep -qi 'qt' && fail "qvcomm depends on Qt"
dpkg-deb -f "$build"/qvbarcode_*.deb Depends | grep -q 'libqt6svg6' || fail "qvbarcode lacks the SVG plugins"

step "lintian"
# Errors fail; warnings are shown (the packages carry overrides for those that do not apply).
lintian --fail-on error "${debs[@]}" "$build"/*.ddeb || fail "lintian reports errors"

step "making the chroot"
root=$(mktemp -d /tmp/qv-chroot-XXXXXX)
cleanup() {
  for m in dev/pts dev proc sys; do umount -l "$root/$m" 2>/dev/null || true; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
if [[ -f $tarball ]]; then
  tar -xf "$tarball" -C "$root"
else
  debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >"$build/debootstrap.log" 2>&1 ||
    { tail -20 "$build/debootstrap.log"; fail "debootstrap failed"; }
  tar -cf "$tarball" -C "$root" .
fi
mount --bind /proc "$root/proc"
mount --bind /sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/tmp/debs"
cp "${debs[@]}" "$root/tmp/debs/"
cp examples/console_reader/console_reader.cpp "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp/home LANG=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }
# apt's downloads run as root: its own user cannot reach the lists of a fresh chroot.
mkdir -p "$root/etc/apt/apt.conf.d"
echo 'APT::Sandbox::User "root";' >"$root/etc/apt/apt.conf.d/99sandbox"
# What was there before the packages and their dependencies, to compare with after the purge.
# (The shadow tools keep a backup of the group files, /etc/group- and /etc/gshadow-.)
snapshot() { in_root sh -c 'find / -xdev \( -path /tmp -o -path /var/cache/apt -o -path /var/lib/apt/lists \
  -o -path /var/log -o -path /var/lib/dpkg -o -path "/etc/*-" \) -prune -o -print | sort'; }

step "installing"
# The packages' dependencies and the compiler first: what the purge must restore is the system
# with them.
deps=$(for d in "${debs[@]}"; do dpkg-deb -f "$d" Depends; echo ,; done | tr ',' '\n' |
  sed 's/|.*//; s/(.*//; s/ //g' | grep -v '^libqvcomm' | sort -u | grep . || true)
in_root apt-get update -qq
# shellcheck disable=SC2086
in_root apt-get install -y -qq --no-install-recommends g++ $deps >"$build/install.log" 2>&1 ||
  { cat "$build/install.log"; fail "the dependencies do not install"; }
before=$(snapshot)
groups_before=$(in_root getent group | cut -d: -f1 | sort)
in_root apt-get install -y -qq --no-install-recommends "${debs[@]/#*\//\/tmp\/debs\/}" >"$build/install.log" 2>&1 ||
  { cat "$build/install.log"; fail "the packages do not install"; }
in_root getent group uinput >/dev/null || fail "postinst made no group uinput"
in_root test -e /usr/lib/x86_64-linux-gnu/qt6/plugins/iconengines/libqsvgicon.so ||
  fail "the SVG icon plugin is not installed with qvbarcode"

step "running"
in_root mkdir -p /tmp/home
in_root qvcomm ports || fail "qvcomm ports failed"
in_root qvbarcode --version || fail "qvbarcode --version failed"
# The virtual scanner maps a pseudo-terminal as PORT and sends two codes once a reader opens it;
# the reader starts once the scanner has named the port. Each reader gets a port number of its
# own.
read_codes() {
  in_root sh -c "rm -f /tmp/sim.out; printf '4006381333931\n5901234123457\n' | qvcomm simulate $1 >/tmp/sim.out 2>/tmp/sim.err & sim=\$!
    for i in 1 2 3 4 5 6 7 8 9 10; do grep -q $1 /tmp/sim.out 2>/dev/null && break; sleep 0.5; done
    timeout 30 $2 $1 >/tmp/read.out 2>/tmp/read.err; kill \$sim 2>/dev/null; wait; cat /tmp/read.out"
}
out=$(read_codes COM9 "qvcomm read") || true
grep -q 5901234123457 <<<"$out" || { in_root cat /tmp/sim.err /tmp/read.err; fail "qvcomm read did not get the codes: $out"; }
in_root g++ -std=c++20 -o /tmp/reader /tmp/console_reader.cpp -lqvcomm || fail "a program does not build with -lqvcomm"
out=$(read_codes COM8 /tmp/reader) || true
grep -q 5901234123457 <<<"$out" || { in_root cat /tmp/sim.err /tmp/read.err; fail "the -lqvcomm program did not read COM8: $out"; }

step "purging"
in_root apt-get purge -y -qq qvcomm qvbarcode libqvcomm1 libqvcomm-dev >"$build/purge.log" 2>&1 ||
  { cat "$build/purge.log"; fail "purge failed"; }
left=$(comm -13 <(echo "$before") <(snapshot))
[[ -z $left ]] || fail "left after the purge: $left"
[[ $(in_root getent group | cut -d: -f1 | sort) == "$groups_before" ]] || fail "the purge left a group behind"
in_root dpkg -l | grep -q qvcomm && fail "a package is still known to dpkg"
step "passed"
