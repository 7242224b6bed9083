#!/bin/sh
# install_test.sh BUILD_DIR EXAMPLE_DIR CXX: a staged install (DESTDIR) of the build, then the
# console reader example built against its shared library twice, with find_package(qvcomm) and
# with pkg-config; both must run and report a port that is not there by its name.
set -eu
build=$1 example=$2 cxx=$3
work=$(mktemp -d /tmp/qv-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

DESTDIR="$work/stage" cmake --install "$build" --prefix /opt/qvcomm >"$work/install.log" ||
  { cat "$work/install.log"; fail "cmake --install failed"; }
prefix=$work/stage/opt/qvcomm
for f in include/qvcomm/platform/win32/winbase.h include/qvcomm/comm/serialcomm.h include/qvcomm/ports/qvwin32.h; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
# Public headers only: no platform internals, no test hooks, no header of a Qt-backed part;
# together they compile against the installed tree alone.
leaked=$(cd "$prefix/include/qvcomm" && find . -path '*/internal/*' -o -name testhooks.h -o -name forms.h -o -name qvcommbox.h)
[ -z "$leaked" ] || fail "headers that are not public are installed: $leaked"
# Each is included as <qvcomm/<folder>/x.h> with the prefix's include folder alone on the path.
(cd "$prefix/include" && find qvcomm -name '*.h' | sed 's|^\(.*\)|#include <\1>|') >"$work/all.cpp"
"$cxx" -std=c++20 -fsyntax-only -I"$prefix/include" "$work/all.cpp" ||
  fail "the installed headers do not compile on their own"
for f in lib/udev/rules.d/60-qvcomm-uinput.rules lib/systemd/user/qvcomm-type@.service; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
grep -q "^ExecStart=/opt/qvcomm/bin/qvcomm type %i" "$prefix/lib/systemd/user/qvcomm-type@.service" ||
  fail "the user service does not run the installed qvcomm"
if [ -e "$prefix/bin/qvbarcode" ]; then
  for f in share/applications/qvbarcode.desktop share/icons/hicolor/scalable/apps/qvbarcode.svg; do
    [ -f "$prefix/$f" ] || fail "$f is not installed beside the program"
  done
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/qvbarcode.desktop" || fail "desktop entry is not valid"
  fi
fi

lib=$(find "$prefix/lib" -name libqvcomm.so.1)
[ -n "$lib" ] || fail "libqvcomm.so.1 is not installed"
readelf -d "$lib" | grep -q 'SONAME.*\[libqvcomm\.so\.1\]' || fail "$lib has no SONAME libqvcomm.so.1"
# The staged library is not where the dynamic loader looks.
export LD_LIBRARY_PATH="${lib%/*}"

cmake -S "$example" -B "$work/cmake" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "find_package(qvcomm) failed"; }
cmake --build "$work/cmake" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "example does not build with find_package"; }

pc=$(find "$prefix" -name qvcomm.pc)
[ -n "$pc" ] || fail "qvcomm.pc is not installed"
export PKG_CONFIG_PATH="${pc%/*}"
flags=$(pkg-config --cflags --libs qvcomm) || fail "pkg-config does not know qvcomm"
# shellcheck disable=SC2086
"$cxx" -std=c++20 "$example/console_reader.cpp" -o "$work/reader-pc" $flags ||
  fail "example does not build with pkg-config flags: $flags"

for reader in "$work/cmake/console_reader" "$work/reader-pc"; do
  if XDG_CONFIG_HOME="$work/config" "$reader" COM200 >"$work/out" 2>"$work/err"; then
    fail "$reader opened a port that does not exist"
  fi
  grep -q COM200 "$work/err" || { cat "$work/err"; fail "$reader does not name the missing port"; }
  # The reason goes on its own line: a bare CR would let the terminal overwrite the port's name.
  if grep -q $'\r' "$work/err"; then fail "$reader prints a bare carriage return"; fi
  if "$reader" /dev/ttyS0 >"$work/out" 2>"$work/err"; then fail "$reader took a path for a port"; fi
  grep -q '"/dev/ttyS0" is not a port name' "$work/err" || { cat "$work/err"; fail "$reader does not say a path is no port name"; }
done
echo "install test: staged install, find_package and pkg-config builds work"
