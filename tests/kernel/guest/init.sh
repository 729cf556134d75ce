#!/bin/bash
# Second stage, PID 1 in the guest on the host's programs: devices, udev, the USB device side,
# dm, a system bus with udisks2 when asked, then the job's command; its exit status goes back
# to the host and the guest powers off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8 SYSTEMD_PAGER=cat PAGER=cat SYSTEMD_COLORS=0 PYTHONDONTWRITEBYTECODE=1
umask 022
# Kernel messages go to the guest log, not into the command's output on the console.
echo 1 > /proc/sys/kernel/printk
. /run/job/job.env
LOG=/run/job/guest.log
log() { echo "[$(cut -d' ' -f1 /proc/uptime)] $*" >> "$LOG"; }
poweroff_now() {
    sync
    /bin/busybox poweroff -f
    echo o > /proc/sysrq-trigger
    sleep 10
}
setup_failed() {
    log "set-up failed: $*"
    echo "$*" > /run/job/setup-failed
    dmesg | tail -n 30 >> "$LOG"
    poweroff_now
}

mkdir -p /dev/pts /dev/shm /run/lock /run/user/0 /run/udev
chmod 700 /run/user/0
ln -sfn /proc/self/fd /dev/fd
ln -sf /proc/self/fd/0 /dev/stdin
ln -sf /proc/self/fd/1 /dev/stdout
ln -sf /proc/self/fd/2 /dev/stderr
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /dev/shm
# /tmp is the host's seen through the overlay (the work tree may live there), with the guest's
# writes kept in memory; an X server's leftovers from the host would stop the guest's own.
rm -rf /tmp/.X11-unix /tmp/.X*-lock /tmp/.ICE-unix
modprobe configfs
mount -t configfs configfs /sys/kernel/config || setup_failed "configfs"
hostname penguest
/bin/busybox ip link set lo up
log "mounts done"

SYSTEMD_LOG_LEVEL=err /usr/lib/systemd/systemd-udevd --daemon || setup_failed "systemd-udevd"
udevadm trigger --type=subsystems --action=add
udevadm trigger --type=devices --action=add
log "udev started"

if [ "$UDISKS" = 1 ]; then
    mkdir -p /run/dbus
    dbus-daemon --system --fork --nosyslog >> "$LOG" 2>&1 || setup_failed "system bus"
    /usr/libexec/udisks2/udisksd >> /run/job/udisksd.log 2>&1 &
fi
modprobe dummy_hcd num="$PENS" || setup_failed "dummy_hcd"
modprobe -a libcomposite usb_f_mass_storage usb-storage sd_mod sg vfat nls_cp437 nls_ascii \
    nls_iso8859-1 nls_utf8 loop dm_mod || setup_failed "modules"
log "modules: $(cut -d' ' -f1 /proc/modules | tr '\n' ' ')"
if [ "$UDISKS" = 1 ]; then
    gdbus wait --system --timeout 90 org.freedesktop.UDisks2 || setup_failed "udisksd did not start"
    log "udisksd up"
fi
udevadm settle -t 60

cd "$WORKDIR" || setup_failed "no $WORKDIR"
export XDG_RUNTIME_DIR=/run/user/0 GUEST_JOB=/run/job
log "command starts"
echo "@@GUEST@@ BEGIN" > /dev/console
/bin/bash /run/job/cmd.sh < /dev/null 2>&1 | cat > /dev/console
rc=${PIPESTATUS[0]}
echo "@@GUEST@@ END" > /dev/console
log "command ended: $rc"
dmesg >> "$LOG"
echo "$rc" > /run/job/status
poweroff_now
