#!/bin/sh
# /init of the kernel test's guest (busybox). Mounts what the kernel's
# files need, loads the modules in the order guest_image.sh wrote, starts
# the stream tunnel on the loopback (the guest has no network device), and
# then runs the host's commands from the control port: one command a line,
# each answered by its output and a line "@@rc STATUS". When the host goes,
# the port ends, this script ends and the kernel stops (panic=-1 with
# QEMU's -no-reboot).
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /var/run
say() { echo "halvoren-guest: $*" >/dev/console; }

for m in $(cat /lib/modules/load-order); do
  insmod "/lib/modules/$m" || say "FAIL insmod $m"
done
ip link set lo up

control=
streams=
for p in /sys/class/virtio-ports/*; do
  case "$(cat "$p/name" 2>/dev/null)" in
    halvoren.control) control=/dev/${p##*/} ;;
    halvoren.streams) streams=/dev/${p##*/} ;;
  esac
done
if [ -z "$control" ] || [ -z "$streams" ]; then
  say "FAIL no virtio-serial ports named halvoren.control and halvoren.streams"
  exit 1
fi
ports=$(sed -n 's/.*halvoren\.ports=\([0-9,]*\).*/\1/p' /proc/cmdline | tr , ' ')
tunnel-guest "$streams" $ports </dev/null >/dev/console 2>&1 &

# A virtio-serial port opens once: read and write on one descriptor.
exec 3<>"$control"
exec <&3 >&3 2>&3 3>&-
echo "@@ready $(uname -r)"
while IFS= read -r line; do
  eval "$line" </dev/null
  echo "@@rc $?"
done
