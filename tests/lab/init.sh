#!/bin/busybox sh
# The lab guest's /init: loads the drivers, mounts the host's root read-only over 9p and runs
# the run script named on the kernel command line (lab.run=) in a chroot of it, with the
# guest's own /proc, /sys, /dev and writable /tmp, /run and home. Powers off in every case.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
stop() {
  echo "lab-guest: $*"
  sync
  poweroff -f
}
# In list order, again for those whose dependencies came later, until nothing more loads.
left=$(cat /modules.list)
while [ -n "$left" ]; do
  next=
  for m in $left; do insmod "/modules/$m.ko" 2>/dev/null || next="$next $m"; done
  [ "$(echo $next)" = "$(echo $left)" ] && stop "cannot load the modules:$left"
  left=$next
done
run= root=
for word in $(cat /proc/cmdline); do
  case "$word" in
    lab.run=*) run=${word#lab.run=} ;;
    lab.root=*) root=${word#lab.root=} ;;
  esac
done
mkdir -p /host
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 host /host ||
  stop "cannot mount the host's root"
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
mkdir -p /host/dev/pts /host/dev/shm
mount -t devpts -o ptmxmode=0666 devpts /host/dev/pts
mount -t tmpfs tmpfs /host/dev/shm
# The project stays visible where it is, also when it lives in a folder the guest has its own
# tmpfs for (a clone under /tmp).
mkdir -p /project
[ -z "$root" ] || mount --bind "/host$root" /project || stop "cannot reach the project at $root"
for d in /tmp /run /root /var/tmp; do
  mount -t tmpfs tmpfs "/host$d" || stop "cannot mount a tmpfs on $d"
done
if [ -n "$root" ] && [ ! -d "/host$root/scripts" ]; then
  mkdir -p "/host$root" && mount --bind /project "/host$root" || stop "cannot put the project back at $root"
fi
[ -n "$run" ] || stop "no run script (lab.run=) on the kernel command line"
echo "lab-guest: up after $(cut -d' ' -f1 /proc/uptime) s"
chroot /host /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb /bin/sh "$run"
stop "run script ended ($?)"
