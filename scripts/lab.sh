#!/usr/bin/env bash
# scripts/lab.sh [plain|asan] [TEST...]: runs the lab tests (build/<kind>/tests/lab/lab_*, or
# the named ones) inside a QEMU guest on Debian's kernel, against the kernel's real 8250 UART,
# ftdi_sio USB-serial, uinput and evdev drivers, with the host's root read-only over 9p so the guest
# runs the binaries built here. Ends with "N passed, N failed"; fails when the guest cannot boot.
# QV_LAB_FILTER: a GoogleTest filter for the cases; QV_LAB_CACHE: where the kernel package is
# kept (fetched once); QV_LAB_TIMEOUT: seconds for the whole run; QV_LAB_ACCEL: kvm to try it
# (a KVM boot hung on these machines: TCG is the default).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
kind=plain
case "${1:-}" in plain | asan) kind=$1; shift ;; esac
build=$root/build/$kind
cache=${QV_LAB_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qvcomm-lab}
timeout=${QV_LAB_TIMEOUT:-540}
fail() {
  echo "lab: $*" >&2
  echo "0 passed, 1 failed"
  exit 1
}
for tool in qemu-system-x86_64 busybox python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/setup.sh"
done
[ -x /lib/systemd/systemd-udevd ] || fail "systemd-udevd is missing: run scripts/setup.sh"

# The lab programs and the command-line tool they drive.
[ -f "$build/build.ninja" ] || scripts/build.sh "$kind" >/dev/null
cmake --build "$build" --target lab_tests qvcomm >/dev/null || fail "the lab tests do not build"
tests=()
if (($#)); then
  for t in "$@"; do tests+=("$build/tests/lab/$t"); done
else
  tests=("$build"/tests/lab/lab_*)
fi
for t in "${tests[@]}"; do [ -x "$t" ] || fail "no lab test program $t"; done

# Debian's kernel, fetched once.
mkdir -p "$cache"
if [ ! -f "$cache/kernel/ok" ]; then
  kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}'; }
  package=$(kernel_package)
  [ -n "$package" ] || { apt-get update -qq >/dev/null 2>&1 && package=$(kernel_package); }
  [ -n "$package" ] || fail "no kernel package found (apt-get update first?)"
  echo "lab: fetching $package into $cache"
  rm -rf "$cache/kernel" && mkdir -p "$cache/kernel"
  (cd "$cache/kernel" && apt-get download "$package" >/dev/null 2>&1) || fail "cannot download $package"
  dpkg-deb -x "$cache"/kernel/*.deb "$cache/kernel/x" && rm -f "$cache"/kernel/*.deb
  touch "$cache/kernel/ok"
fi
vmlinuz=$(ls "$cache"/kernel/x/boot/vmlinuz-* | head -1)
moddir=$(ls -d "$cache"/kernel/x/lib/modules/* | head -1)

# The initramfs: busybox, the modules in load order, the init script.
# Under the build tree, which the guest sees where it is.
mkdir -p "$build/lab"
run=$(mktemp -d "$build/lab/run.XXXXXX")
qemu_pid= host_pid= tail_pid=
cleanup() {
  for p in $tail_pid $host_pid $qemu_pid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
modules=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio uinput evdev virtio_ring virtio
         virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console netfs fscache
         9pnet 9pnet_virtio 9p)
img=$run/initramfs
mkdir -p "$img"/{bin,modules,proc,sys,dev,host}
cp /bin/busybox "$img/bin/busybox"
cp tests/lab/init.sh "$img/init"
for m in "${modules[@]}"; do
  f=$(find "$moddir/kernel" -name "$m.ko" -o -name "$m.ko.xz" | head -1)
  [ -n "$f" ] || fail "the kernel has no module $m"
  case "$f" in *.xz) xz -dc "$f" >"$img/modules/$m.ko" ;; *) cp "$f" "$img/modules/$m.ko" ;; esac
  echo "$m" >>"$img/modules.list"
done
(cd "$img" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$run/initramfs.gz"

# The run script the guest executes in its chroot of the host's root.
{
  echo "cd $root"
  echo "export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
  [ -z "${QV_LAB_FILTER:-}" ] || echo "export GTEST_FILTER='$QV_LAB_FILTER'"
  echo "export QV_LAB=1 QVCOMM=$build/tools/qvcomm SYSTEMD_IGNORE_CHROOT=1"
  for t in "${tests[@]}"; do
    echo "echo 'lab: running $(basename "$t")'"
    # A program that hangs is ended, so the ones after it still run.
    echo "timeout -k 5 ${QV_LAB_PROGRAM_TIMEOUT:-240} $t --gtest_color=no; echo \"lab: $(basename "$t") exited \$?\""
  done
  echo "echo 'lab: done'"
} >"$run/run.sh"

# The host side: the UART's terminal and the sockets behind the other devices.
python3 tests/lab/host.py "$run" 2>"$run/host.log" &
host_pid=$!
for _ in $(seq 100); do [ -s "$run/uart.path" ] && break; sleep 0.1; done
[ -s "$run/uart.path" ] || fail "the host side did not start: $(cat "$run/host.log")"

accel=${QV_LAB_ACCEL:-tcg}
echo "lab: booting Debian's kernel $(basename "$moddir") ($accel), ${#tests[@]} test program(s)"
: >"$run/console.log"
qemu-system-x86_64 -accel "$accel" -m 1024 -smp 2 -display none -no-reboot -nodefaults \
  -kernel "$vmlinuz" -initrd "$run/initramfs.gz" \
  -append "console=ttyS0 quiet panic=-1 8250.nr_uarts=5 lab.root=$root lab.run=$run/run.sh" \
  -chardev file,id=con,path="$run/console.log" -serial chardev:con \
  -chardev serial,id=u1,path="$(cat "$run/uart.path")" -serial chardev:u1 \
  -chardev socket,id=tel,path="$run/telnet.sock",server=on,wait=off,telnet=on \
  -device pci-serial,chardev=tel \
  -device qemu-xhci -chardev socket,id=usb,path="$run/usb.sock",server=on,wait=off \
  -device usb-serial,chardev=usb,serial=QVLAB0001 \
  -device virtio-serial -chardev socket,id=ctl,path="$run/control.sock",server=on,wait=off \
  -device virtserialport,chardev=ctl,name=lab \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -monitor unix:"$run/monitor.sock",server=on,wait=off -D "$run/trace.log" \
  >"$run/qemu.log" 2>&1 &
qemu_pid=$!
tail -n +1 -f --pid="$qemu_pid" "$run/console.log" &
tail_pid=$!
deadline=$((SECONDS + timeout))
while kill -0 "$qemu_pid" 2>/dev/null; do
  if ((SECONDS > deadline)); then
    kill "$qemu_pid" 2>/dev/null || true
    echo "lab: the guest did not finish within $timeout s" >&2
    break
  fi
  sleep 1
done
wait "$tail_pid" 2>/dev/null || true
tail_pid=
log=$run/results.log
tr -d '\r' <"$run/console.log" >"$log"
grep -q '^lab-guest: up' "$log" ||
  fail "the guest did not boot: $(tail -5 "$run/qemu.log" "$log" 2>/dev/null)"
# A test program that ended without its own FAILED line (a crash, a hang) counts once.
passed=$(grep -c '^\[       OK \]' "$log" || true)
failed=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log" || true)
while read -r name rc; do
  [ "$rc" = 0 ] && continue
  grep -q "^lab: running $name\$" "$log" || continue
  if ! sed -n "/^lab: running $name\$/,/^lab: $name exited/p" "$log" | grep -qE '^\[  FAILED  \] .* \([0-9]+ ms\)$'; then
    echo "lab: $name ended with status $rc outside a test" >&2
    failed=$((failed + 1))
  fi
done < <(sed -n 's/^lab: \(.*\) exited \([0-9]*\)$/\1 \2/p' "$log")
if ! grep -q '^lab: done' "$log"; then
  echo "lab: the guest stopped before the end: $(grep '^lab-guest:' "$log" | tail -1)" >&2
  failed=$((failed + 1))
fi
if [ -s "$run/host.log" ]; then sed 's/^/  /' "$run/host.log" >&2; fi
echo "$passed passed, $failed failed"
((failed == 0 && passed > 0))
