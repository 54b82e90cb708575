#!/bin/sh
# The emulated router's start-up (inittab's sysinit): the kernel's file
# systems, /tmp in RAM, the modules of the image in the order depmod gave,
# and the data medium mounted at /opt/data (../data/ of /opt/plugsup).
# Every line for the host starts with "ROUTER ".
/bin/busybox --install -s 2>/dev/null
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t tmpfs -o mode=1777 tmpfs /tmp
mkdir -p /opt/data /tmp/router
say() { read -r up _ </proc/uptime; echo "ROUTER $* up=$up"; }
arg() { for word in $(cat /proc/cmdline); do case $word in "router.$1="*) echo "${word#*=}" ;; esac; done; }
while read -r module; do insmod "/lib/modules/$module" || say "insmod-failed $module"; done </etc/modules.order
medium=$(arg medium)
case $medium in
  jffs2)
    # The "User FS" partition of the board's NOR flash; jffs2 takes the MTD
    # device by number, no block layer in between.
    mount -t jffs2 mtd1 /opt/data ;;
  *)
    i=0
    while [ ! -b /dev/vda ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    mount -t ext4 -o data=ordered /dev/vda /opt/data ;;
esac
if [ $? -eq 0 ]; then say "mounted medium=$medium"; else say "mount-failed medium=$medium"; fi
say "booted kernel=$(uname -r) arch=$(uname -m)"
