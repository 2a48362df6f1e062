#!/bin/busybox sh
# First process of the emulated ARM handset (packed as /init into its initial
# RAM file system by sim/armvm). It loads the drivers, mounts /system (the
# first virtio disk), links the userdata partition (the second) where the
# daemon looks for it, starts the device server for /dev/diag, /dev/log/main
# and the PMIC files, captures /dev/kmsg for the host, serves the host's
# commands and starts the daemon as the handset's init would. The host side
# is the 9p folder /share (the state folder's share/).
/bin/busybox --install -s
export PATH=/system/bin:/sbin:/bin:/usr/sbin:/usr/bin LD_LIBRARY_PATH=/system/lib HOME=/
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /tmp /run /share /system
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
while read -r m; do
    insmod "/lib/modules/$m" || echo "init: insmod $m failed" > /dev/kmsg
done < /etc/modules.load
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=none share /share || {
    echo "<3>init: no host share" > /dev/kmsg; poweroff -f; }
R=/share/run
mkdir -p $R /share/cmd /share/records /share/nvkeep
fail() { echo "$*" > $R/failed; echo "<3>init: $*" > /dev/kmsg; exec sleep 100000; }

# The disks, by the serial numbers the host gave them.
sys= ud=
for b in /sys/block/vd*; do
    case "$(cat "$b/serial" 2>/dev/null)" in
        system) sys=${b##*/} ;;
        userdata) ud=${b##*/} ;;
    esac
done
[ -n "$sys" ] || fail "no system disk"
mount -t ext4 -o rw /dev/$sys /system || fail "cannot mount /system (/dev/$sys)"
for d in bin lib etc; do
    mkdir -p /system/$d
    mount --bind /stage/$d /system/$d && mount -o remount,bind,ro /system/$d
done
ln -s /system/qordebug /qordebug
mkdir -p /dev/block/platform/msm_sdcc.1/by-name /dev/log /nvkeep
[ -n "$ud" ] && ln -s /dev/$ud /dev/block/platform/msm_sdcc.1/by-name/userdata
mount --bind /share/nvkeep /nvkeep

# Device server, its files bound where the programs open them.
mkdir -p /run/dev
/stage/tools/simdevd -f /run/dev /share/records > $R/simdevd.log 2>&1 &
n=0
while [ ! -e /run/dev/ctl ]; do
    n=$((n + 1)); [ $n -gt 300 ] && fail "simdevd did not mount /run/dev"
    sleep 0.1
done
[ -f $R/ctl ] && while IFS= read -r line; do echo "$line" > /run/dev/ctl; done < $R/ctl
bindfile() { mkdir -p "${2%/*}"; touch "$2"; mount --bind "/run/dev/$1" "$2"; }
bindfile diag /dev/diag
bindfile log_main /dev/log/main
mount -t tmpfs tmpfs /sys/kernel/debug
mount -t tmpfs tmpfs /sys/devices
bindfile spmi_address /sys/kernel/debug/spmi/spmi-0/address
bindfile spmi_count /sys/kernel/debug/spmi/spmi-0/count
bindfile spmi_data /sys/kernel/debug/spmi/spmi-0/data
bindfile invert /sys/kernel/debug/qpnp_pin/pm8941-gpio/8/invert
bindfile rf_id /sys/devices/qpnp-vadc-f610ec00/rf_id

# Every kernel-log record, for the host (a reader of /dev/kmsg takes nothing
# from /proc/kmsg). When the ring overran the reader, cat ends; the next one
# goes on from the same descriptor, at the oldest record still there, so
# nothing is captured twice.
if [ ! -e $R/no-kmsg-capture ]; then
    (
        exec 3< /dev/kmsg
        while :; do cat <&3 >> /share/kmsg.log 2>/dev/null; done
    ) &
fi

# The host's commands: it writes cmd/ID.sh (and ID.in), then "ID" on the
# console port; the result goes to ID.out, ID.err and, last, ID.rc.
(
    stty -F /dev/hvc0 raw -echo 2>/dev/null
    while :; do
        while read -r id; do
            case "$id" in *[!0-9a-z_-]*|'') continue ;; esac
            c=/share/cmd/$id
            [ -f $c.sh ] || continue
            (
                [ -f $c.in ] || c_in=/dev/null
                cd /
                sh $c.sh < "${c_in:-$c.in}" > $c.out 2> $c.err
                echo $? > $c.rc.new
                mv $c.rc.new $c.rc
            ) &
        done < /dev/hvc0
        sleep 1
    done
) &

uptime_s=$(cut -d' ' -f1 /proc/uptime)
if [ -f $R/cmd ]; then
    (
        set --
        while IFS= read -r a; do set -- "$@" "$a"; done < $R/cmd
        [ -f $R/env ] && while IFS= read -r e; do export "$e"; done < $R/env
        cd /
        "$@" > $R/output.log 2>&1
        echo $? > $R/status.new
        mv $R/status.new $R/status
    ) &
fi
echo "$uptime_s" > $R/booted.new
mv $R/booted.new $R/booted

# PID 1 reaps what its children leave behind.
echo "::sysinit:/bin/true" > /etc/inittab
exec /bin/busybox init
