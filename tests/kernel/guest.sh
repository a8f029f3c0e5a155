#!/bin/busybox sh
# PID 1 of the real-kernel tier's VM: finds the drives, runs flashtool
# against each and prints one "KT ok|FAIL name" line per check. What a drive
# received is asked of the host, which reads QEMU's trace ("mark" starts a
# check's count, "count TARGET OPS" answers it, "unplug ID" pulls a drive).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mkdir -p /run && mount -t tmpfs -o mode=755 run /run
dmesg -n 1
while read -r m; do
  [ "$m" = scsi_debug.ko ] || insmod "/modules/$m" || echo "insmod $m failed"
done </modules/load.list
# "ktier.wine=CHECKOUT" on the command line: the Windows programs' stage
# (wine-guest.sh in that checkout) instead of flashtool's checks.
wine_checkout=$(sed -n 's/.*ktier\.wine=\([^ ]*\).*/\1/p' /proc/cmdline)
[ -n "$wine_checkout" ] || insmod /modules/scsi_debug.ko ptype=5 max_luns=1 num_tgts=1 dev_size_mb=8

# Our own virtual drive, which checks every block's order and checksum,
# behind the kernel's SCSI target: a user backstore (target_core_user,
# served by tcmu_vdrive through /dev/uioN) on the loopback fabric, which
# the kernel scans like any SCSI host. The nexus comes before the LUN, or
# the scan finds nobody to ask.
mount -t configfs configfs /sys/kernel/config
vd_core=/sys/kernel/config/target/core/user_1/vdrive
vd_tpg=/sys/kernel/config/target/loopback/naa.5001405000000001/tpgt_1
printf '[drive vd]\nserial=KT0001\ndelay_ms=100\n' >/tmp/vd.cfg
# For the Windows programs our drive refuses every download from its
# second on (INVALID FIELD IN PARAMETER LIST).
[ -n "$wine_checkout" ] &&
  printf 'fail_at=1\nfail_count=0\ncheck_condition=70 00 05 00 00 00 00 0A 00 00 00 00 26 00\n' >>/tmp/vd.cfg
if mkdir -p $vd_core && echo -n dev_config=vdrive/kt,dev_size=1048576 >$vd_core/control &&
   echo -n 1 >$vd_core/enable; then
  uio=$(grep -l '^tcm-user/1/vdrive/' /sys/class/uio/*/name | cut -d/ -f5)
  tcmu_vdrive /dev/$uio /tmp/vd.journal /tmp/vd.cfg 2>/tmp/vd.err &
  mkdir -p $vd_tpg/lun/lun_0 && echo naa.5001405000000002 >$vd_tpg/nexus &&
    ln -s $vd_core $vd_tpg/lun/lun_0/vdrive
fi

stty -F /dev/ttyS1 raw -echo

# The host's root, read-only over 9p, made writable by a tmpfs overlay: Wine,
# Xvfb and the programs we ship run in it as they do on the host, against
# this kernel's drives. What the stage writes out goes to the second share.
if [ -n "$wine_checkout" ]; then
  new=/newroot
  mkdir -p /host /overlay $new
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose hostroot /host &&
    mount -t tmpfs -o mode=755 overlay /overlay && mkdir /overlay/upper /overlay/work &&
    mount -t overlay overlay -o lowerdir=/host,upperdir=/overlay/upper,workdir=/overlay/work $new ||
    echo "KT FAIL the host's root cannot be mounted"
  mount -t proc proc $new/proc
  mount -t sysfs sys $new/sys
  mount -o bind /dev $new/dev
  mount -t devpts devpts $new/dev/pts 2>/dev/null
  # The checkout may lie under /tmp, which the guest's own /tmp covers in the
  # new root: it is reached at a path of its own.
  mkdir -p $new/ktier-checkout && mount -o bind "$new$wine_checkout" $new/ktier-checkout ||
    echo "KT FAIL the checkout $wine_checkout cannot be reached"
  mount -o bind /tmp $new/tmp  # our drive's journal and the images
  mount -t tmpfs -o mode=755 run $new/run
  mkdir -p $new/ktier-out && mount -t 9p -o trans=virtio,version=9p2000.L results $new/ktier-out
  # Download images: QEMU's drive takes /data/block.bin as mode
  # parameters; ours wants blocks that sum to 0100h (see below).
  for _ in 1 2 3 4; do cat /data/block.bin; done >/tmp/img4.bin
  for _ in $(seq 64); do cat /tmp/img4.bin; done >/tmp/img256.bin
  { head -c 256 /dev/zero | tr '\0' '\1'; head -c 40704 /dev/zero; } >/tmp/vdblock
  for _ in 1 2 3 4; do cat /tmp/vdblock; done >/tmp/imgvd.bin
  chroot $new /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb \
    /bin/bash /ktier-checkout/tests/kernel/wine-guest.sh /ktier-checkout
  sync
  reboot -f
fi
exec 8<>/dev/ttyS1
host() { echo "$*" >&8; answer=; read -r -t 20 answer <&8; }

passed=0 failed=0 name= why=
say() { echo "KT $*"; }
uptime() { cut -d' ' -f1 /proc/uptime; }
begin() { name=$1 why= show= started=$(uptime); host mark; rm -f /tmp/out /tmp/err; }
no() { why="$why${why:+; }$*"; }
end() {
  took=$(awk -v a="$started" -v b="$(uptime)" 'BEGIN { printf "%.1f", b - a }')
  if [ -z "$why" ]; then say "ok   $name ($took s)"; return; fi
  say "FAIL $name ($took s): $why"
  for f in ${show:-/tmp/out /tmp/err}; do [ -s $f ] && awk -v f=${f#/tmp/} '{ print "    " f ": " $0 }' $f; done
  show=
}

# The program wraps its lines between words at 80 columns, the rest of a
# line indented: each read as one line again.
flatten() {
  for f in "$@"; do
    [ -f "$f" ] || continue
    awk 'NR > 1 && /^ / { sub(/^ +/, " "); printf "%s", $0; next } NR > 1 { print "" } { printf "%s", $0 } END { if (NR) print "" }' "$f" >"$f.flat" && mv "$f.flat" "$f"
  done
}
# flashtool in the foreground, never longer than a minute.
ft() { timeout -s KILL 60 flashtool "$@" >/tmp/out 2>/tmp/err </dev/null; rc=$?; flatten /tmp/out /tmp/err; }
# flashtool in the background ($pid), with a watchdog; collect() waits.
ft_bg() {
  flashtool "$@" >/tmp/out 2>/tmp/err </dev/null &
  pid=$!
  (sleep 60; kill -9 $pid) 2>/dev/null &
  dog=$!
}
collect() { wait $pid; rc=$?; kill $dog 2>/dev/null; flatten /tmp/out /tmp/err; }
# Until flashtool has sent its first block (a progress line), 10 s at most.
first_block() {
  for _ in $(seq 200); do grep -q 'Written' /tmp/out /tmp/err 2>/dev/null && return 0; usleep 50000; done
  return 1
}

want_rc() { for c in "$@"; do [ "$rc" = "$c" ] && return; done; no "exit $rc, not $*"; }
want_err() { grep -qiF -- "$1" /tmp/err || no "stderr lacks \"$1\""; }
want_out() { grep -qF -- "$1" /tmp/out || no "stdout lacks \"$1\""; }
# Commands that reached TARGET since begin, by QEMU's count.
want_sent() { # target ops(hex,...) expected
  host count "$1" "$2"
  [ "$answer" = "$3" ] || no "drive got ${answer:-?} commands $2, not $3"
}
want_downloads() { want_sent "$1" 55 "$2"; }

# Where each drive is: its sr node, its sg node and its QEMU target.
sr_of() { for b in /sys/block/sr*; do [ "$(sed 's/ *$//' $b/device/model)" = "$1" ] && echo /dev/${b##*/}; done; }
sg_of() { echo /dev/$(ls /sys/block/${1#/dev/}/device/scsi_generic); }
for _ in $(seq 300); do
  [ -n "$(sr_of 'USB CD')" ] && [ -n "$(sr_of scsi_debug)" ] && [ -n "$(sr_of 'VIRTUAL CD-RW')" ] &&
    [ -e /sys/block/sda ] && break
  usleep 100000
done
FAST=1 EMPTY=3 DISK=4 USB=0
fast=$(sr_of 'FAST CD') empty=$(sr_of 'EMPTY CD')
ide=$(sr_of 'QEMU DVD-ROM') usb=$(sr_of 'USB CD') dbg=$(sr_of scsi_debug) vd=$(sr_of 'VIRTUAL CD-RW')
echo "drives at $(uptime) s: fast $fast, empty $empty, ide $ide, usb $usb, scsi_debug $dbg, ours $vd"
[ -n "$vd" ] || { echo "our drive is not there:"; cat /tmp/vd.err; dmesg | grep -i 'tcm\|target\|uio\|4:0' | tail -n 20; }

cat /data/block.bin >/tmp/img1
for _ in 1 2 3 4 5 6 7 8; do cat /data/block.bin; done >/tmp/img8
cat /tmp/img8 /tmp/img8 >/tmp/img16
for _ in $(seq 16); do cat /tmp/img16; done >/tmp/img256
: >/tmp/empty
# For our drive: the kernel's target sizes a CDB by its operation code, so
# the 12-byte download command (55h, a 10-byte group) reaches the drive
# without bytes 10 and 11, the checksum's low byte among them. Blocks that
# each sum to 0100h keep that byte 0, and the drive checks the rest.
{ head -c 256 /dev/zero | tr '\0' '\1'; head -c 40704 /dev/zero; } >/tmp/vdblock
for _ in $(seq 16); do cat /tmp/vdblock; done >/tmp/imgvd

# --- what the drives are, as sg_inq reads them
inq() { sg_inq "$1" | sed -n "s/^ *$2: *//p" | sed 's/ *$//'; }
json_field() { # device key: its value in list.json, "<none>" without the key
  awk -v dev="$1" -v key="$2" '
    /^ *\{/ { split("", f); next }
    /^ *"[a-z]+": / { k = $0; sub(/^ *"/, "", k); sub(/".*/, "", k)
      v = $0; sub(/^ *"[a-z]+": */, "", v); sub(/,$/, "", v)
      if (v ~ /^".*"$/) v = substr(v, 2, length(v) - 2); f[k] = v; next }
    /^ *\}/ { if (f["device"] == dev) print ((key in f) ? f[key] : "<none>") }' /tmp/list.json
}
timeout -s KILL 60 flashtool list >/tmp/list.txt 2>/tmp/list.err; list_rc=$?
timeout -s KILL 60 flashtool list --json >/tmp/list.json 2>>/tmp/list.err; json_rc=$?
for sr in $fast $empty $ide $usb $dbg $vd; do
  begin "list: $sr ($(sed 's/ *$//' /sys/block/${sr#/dev/}/device/model)) as sg_inq reads it"
  sg=$(sg_of $sr) vendor=$(inq $sr 'Vendor identification') product=$(inq $sr 'Product identification')
  revision=$(inq $sr 'Product revision level')
  # The address and the bus as sysfs has them.
  address=$(basename "$(readlink /sys/block/${sr#/dev/}/device)")
  case $sr in "$usb") bus=usb ;; "$ide") bus=ata ;; *) bus=scsi ;; esac
  line=$(grep "^$sr " /tmp/list.txt)
  awk -v line="$line" -v fields="$sg|$address|$bus|$vendor|$product|$revision" 'BEGIN {
    n = split(fields, f, "|"); at = 1
    for (i = 1; i <= n; i++) { p = index(substr(line, at), " " f[i]); if (!p) exit 1; at += p + length(f[i]) }
  }' || no "list line \"$line\", not $sg, $address, $bus, $vendor, $product, $revision"
  for kv in "sg=$sg" "address=$address" "bus=$bus" "vendor=$vendor" "product=$product" "revision=$revision"; do
    got=$(json_field $sr ${kv%%=*})
    [ "$got" = "${kv#*=}" ] || no "--json ${kv%%=*} \"$got\", not \"${kv#*=}\""
  done
  show="/tmp/list.txt /tmp/list.err /tmp/list.json"
  end
done
sd=/sys/bus/pseudo/drivers/scsi_debug
# list promises one deadline of 2.5 s for every drive, and ends by it: 1.5 s
# of margin for a guest without hardware help on a busy host.
begin "list: five idle drives and scsi_debug timing out every command: its 2.5 s deadline (+1.5 s), one INQUIRY to each idle drive"
echo 4 >$sd/opts
echo -1 >$sd/every_nth
t0=$(uptime)
timeout -s KILL 60 flashtool list >/tmp/out 2>/tmp/err </dev/null
rc=$?
t1=$(uptime)
echo 0 >$sd/every_nth
echo 0 >$sd/opts
want_rc 0
took=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
awk -v t="$took" 'BEGIN { exit !(t <= 4.0) }' || no "took $took s"
want_err "$dbg: does not answer"
grep -q "^$dbg " /tmp/out || no "the drive that does not answer is not listed"
for target in $FAST $EMPTY $USB ide; do
  want_sent $target 12 1
  want_sent $target 00,4a 0
done
end
begin "list: exit 0, the disk left out"
rc=$list_rc
want_rc 0
rc=$json_rc
want_rc 0
grep -q '/dev/sd' /tmp/list.txt /tmp/list.json && no "a disk is listed"
end
if flashtool --help | grep -q '^ *info '; then
  begin "info: agrees with sg_inq"
  ft info $fast
  want_rc 0
  want_out "$(inq $fast 'Product identification')"
  end
else
  say "skip info: flashtool has no info command"
fi

# --- a flash into each emulated drive, as each really answers it
begin "flash: scsi-cd without a disc says NOT READY, medium not present"
ft flash $empty /tmp/img8 --yes
want_rc 6
want_err "NOT READY"
want_err "ASC 3Ah"
host count $EMPTY 55
[ "${answer:-9}" -le 1 ] || no "$answer downloads"
end

begin "flash: ATAPI drive (ide-cd) refuses the command, ILLEGAL REQUEST 20h"
ft flash $ide /tmp/img8 --yes
want_rc 6
want_err "ILLEGAL REQUEST"
want_err "ASC 20h"
want_sent ide 55 1
end

begin "flash: CD behind USB mass storage refuses the block, ILLEGAL REQUEST 24h"
ft flash $usb /tmp/img8 --yes
want_rc 6
want_err "ILLEGAL REQUEST"
want_err "ASC 24h"
want_downloads $USB 1
end

fast_sg=$(sg_of $fast)
begin "flash: 256 blocks to the end through $fast, the drive back with its identity"
ft flash $fast /tmp/img256 --yes
want_rc 0
want_out "took all 256 blocks"
want_out "Waiting 5 s before asking the drive"
[ "$(grep -c "^Drive: *$fast *KTIER FAST CD" /tmp/out)" = 2 ] || no "no second identity"
want_sent $FAST 55 256
end

begin "flash: 16 blocks to the end through $fast_sg"
ft flash $fast_sg /tmp/img16 --yes
want_rc 0
want_out "took all 16 blocks"
want_downloads $FAST 16
end

begin "flash: output closed by head -n 1, every block still sent"
(flashtool flash $fast /tmp/img16 --yes 2>/tmp/err </dev/null; echo $? >/tmp/rc) | head -n 1 >/tmp/out
rc=$(cat /tmp/rc)
[ "$rc" -lt 128 ] || no "ended by signal $((rc - 128))"
want_downloads $FAST 16
end

# Our drive's own journal: a line per command it received, and its verdict
# on each block.
vd_sequence() { awk '/^BLOCK/ { printf "%s%s", sep, $3; sep = " " }' /tmp/vd.journal; }
vd_expected="$(for i in $(seq 0 14); do printf 'idx=%02X ' $i; done)idx=FF"
begin "our drive behind the kernel's SCSI target: 16 blocks through $vd, each checked, back as 2.00"
: >/tmp/vd.journal
ft flash $vd /tmp/imgvd --yes
want_rc 0
want_out "took all 16 blocks"
grep -q "^Drive: *$vd *QUOR VIRTUAL CD-RW, firmware 2.00" /tmp/out || no "not back as 2.00"
[ "$(grep -c '^CMD 55' /tmp/vd.journal)" = 16 ] || no "the drive got $(grep -c '^CMD 55' /tmp/vd.journal) downloads"
[ "$(vd_sequence)" = "$vd_expected" ] || no "blocks $(vd_sequence)"
grep -q ' bad=' /tmp/vd.journal && no "a block did not check out"
grep -q '^FLASHED vd revision=2.00 blocks=16 ' /tmp/vd.journal || no "the drive did not take the download"
show="/tmp/out /tmp/err /tmp/vd.journal"
end
begin "our drive: stopped and continued during its blocks through $(sg_of $vd), each block once and in order"
: >/tmp/vd.journal
ft_bg flash $(sg_of $vd) /tmp/imgvd --yes
for _ in $(seq 200); do grep -q '^CMD 55' /tmp/vd.journal && break; usleep 20000; done
for _ in 1 2 3 4 5 6; do usleep 60000; kill -STOP $pid; usleep 90000; kill -CONT $pid; done
collect
want_rc 0
[ "$(grep -c '^CMD 55' /tmp/vd.journal)" = 16 ] || no "the drive got $(grep -c '^CMD 55' /tmp/vd.journal) downloads"
[ "$(vd_sequence)" = "$vd_expected" ] || no "blocks $(vd_sequence)"
show="/tmp/out /tmp/err /tmp/vd.journal"
end
# flashtool ($pid) stopped with its last block in our drive.
stop_at_last_block() {
  for _ in $(seq 200); do grep -q 'idx=FF' /tmp/vd.journal && break; usleep 20000; done
  kill -STOP $pid
}
# Our drive exported at one more LUN: its node there, once the kernel has it.
vd_lun_appears() {
  mkdir -p $vd_tpg/lun/$1 && ln -s $vd_core $vd_tpg/lun/$1/vdrive
  for _ in $(seq 100); do
    sr_of 'VIRTUAL CD-RW' | grep -vx "$vd" && return
    usleep 50000
  done
}
# Our drive leaves the LUN of its node $vd.
vd_lun_leaves() {
  rm $vd_tpg/lun/$1/vdrive
  for _ in $(seq 100); do [ -e /sys/block/${vd#/dev/} ] || break; usleep 50000; done
}
begin "our drive: polling off during its blocks; a LUN that came meanwhile is not taken for it when it leaves"
# The same drive at a second LUN while the blocks go out, the first LUN gone
# after the last: the node that came before ours left is never the drive.
: >/tmp/vd.journal
echo 2000 >/sys/block/${vd#/dev/}/events_poll_msecs
ft_bg flash $vd /tmp/imgvd --yes --ready-timeout 5
stop_at_last_block
[ "$(cat /sys/block/${vd#/dev/}/events_poll_msecs)" = 0 ] || no "polling on during the blocks"
usleep 300000
moved=$(vd_lun_appears lun_1)
vd_lun_leaves lun_0
kill -CONT $pid
collect
want_rc 5
[ -n "$moved" ] || no "the drive did not appear at a second node"
grep -q "came back" /tmp/out && no "took the node that came during the blocks for the flashed drive"
vd=$moved
show="/tmp/out /tmp/err /tmp/vd.journal"
end
begin "our drive: back under another node after a good flash, found by its serial number"
# It leaves, then comes back at another LUN: that node is the drive.
: >/tmp/vd.journal
ft_bg flash $vd /tmp/imgvd --yes --ready-timeout 20
stop_at_last_block
vd_lun_leaves lun_1
kill -CONT $pid
sleep 2
moved=$(vd_lun_appears lun_0)
[ -n "$moved" ] || moved=$(sr_of 'VIRTUAL CD-RW')
collect
want_rc 0
[ -n "$moved" ] || no "the drive did not come back"
[ "$moved" = "$vd" ] || want_out "The drive came back as $moved."
grep -q "^Drive: *$moved *QUOR VIRTUAL CD-RW, firmware 2.00" /tmp/out || no "no identity at $moved"
vd=$moved
show="/tmp/out /tmp/err /tmp/vd.journal"
end
begin "our drive: leaves after its last block beside its twin, which is not taken for it"
# The same drive at a second LUN before the flash: what was there all
# along is never the drive that comes back.
twin=$(vd_lun_appears lun_2)
: >/tmp/vd.journal
ft_bg flash $vd /tmp/imgvd --yes --ready-timeout 5
stop_at_last_block
vd_lun_leaves lun_0
kill -CONT $pid
collect
want_rc 5
[ -n "$twin" ] || no "no twin"
grep -q "came back" /tmp/out && no "took the twin for the flashed drive"
want_err "may still be writing its firmware"
grep -qi "switch it off" /tmp/err && no "advises switching it off"
vd=$twin
show="/tmp/out /tmp/err /tmp/vd.journal"
end

# --- refusals: nothing reaches the drive
begin "refused: drives of two models in one run, without --expect"
ft flash $fast $empty /tmp/img8 --yes
want_rc 3
want_err "drives of different models"
want_downloads $FAST 0
want_downloads $EMPTY 0
end
begin "refused: one drive by its sr and its sg node"
ft flash $fast $fast_sg /tmp/img8 --yes
want_rc 2
want_err "are the same drive"
want_downloads $FAST 0
end
for expect in "KTIER OTHER CD" "KTIER" "KTIER FAST" "FAST CD"; do
  begin "refused: --expect \"$expect\" for KTIER FAST CD"
  ft flash $fast /tmp/img8 --yes --expect "$expect"
  want_rc 3
  want_downloads $FAST 0
  end
done
begin "refused: --expect \"\" is a bad argument"
ft flash $fast /tmp/img8 --yes --expect ""
want_rc 2
want_downloads $FAST 0
end
begin "refused: no YES (standard input no terminal)"
ft flash $fast /tmp/img8
want_rc 3
want_downloads $FAST 0
end
begin "refused: empty image"
ft flash $fast /tmp/empty --yes
want_rc 2
want_downloads $FAST 0
end
begin "refused: missing device"
ft flash /dev/sr9 /tmp/img8 --yes
want_rc 2 4
[ -s /tmp/err ] || no "nothing said"
end
begin "refused: /dev/null is no drive"
ft flash /dev/null /tmp/img8 --yes
want_rc 2
end
begin "refused: a disk, by its sd and its sg node"
ft flash /dev/sda /tmp/img8 --yes
want_rc 3
ft flash $(sg_of /dev/sda) /tmp/img8 --yes
want_rc 3
want_downloads $DISK 0
end
# A disc's label under an automounter may hold what a terminal obeys.
disc="/mnt/disc$(printf '\033')[2J"
mkdir -p "$disc"
if mount -t ext4 -o ro $fast "$disc"; then
  begin "refused: a mounted disc, the mount point named, its escape shown as text"
  ft flash $fast /tmp/img8 --yes
  want_rc 4
  want_err '/mnt/disc\x1b[2J'
  grep -q "$(printf '\033')" /tmp/err && no "an escape reached the terminal"
  want_downloads $FAST 0
  end
  umount "$disc"
else
  say "FAIL refused: a mounted disc: cannot mount the disc"
fi
begin "refused: a plain user cannot open the drive; list says why and exits 4"
as_user() { timeout -s KILL 60 su user -s /bin/sh -c "$*" >/tmp/out 2>/tmp/err </dev/null; rc=$?; }
as_user flashtool flash $fast /tmp/img8 --yes
want_rc 4
want_err "Permission denied"
as_user flashtool list
want_rc 4
want_err "Permission denied"
want_downloads $FAST 0
end

# --- signals, the lock and a drive pulled out, in the middle of a flash
# into the drive that takes it
# flashtool in the foreground (an asynchronous command of a shell ignores
# SIGINT and SIGQUIT); its output read through a FIFO, so that the signals
# go out the moment it says it wrote its first tenth.
begin "mid-flash: SIGINT, SIGQUIT, SIGTERM and SIGHUP are held, every block sent, exit 5, polling left off"
echo 2000 >/sys/block/${fast#/dev/}/events_poll_msecs
mkfifo /tmp/said
(p= sent=
 while IFS= read -r line; do
   echo "$line" >>/tmp/err
   [ -n "$p" ] || p=$(pidof flashtool)
   case $line in Written*) [ -n "$sent" ] || for s in INT QUIT TERM HUP; do kill -$s $p; done; sent=1 ;; esac
 done) </tmp/said &
reader=$!
timeout -s KILL 60 flashtool flash $fast /tmp/img256 --yes >/tmp/said 2>&1 </dev/null
rc=$?
wait $reader
rm /tmp/said
want_rc 5
want_downloads $FAST 256
# The drive may still be writing its firmware: the kernel must not ask it
# until it answers; info, as root, puts the polling back once it does.
[ "$(cat /sys/block/${fast#/dev/}/events_poll_msecs)" = 0 ] || no "polling back on after exit 5"
ft info $fast
want_rc 0
[ "$(cat /sys/block/${fast#/dev/}/events_poll_msecs)" = 2000 ] || no "info did not put the polling back"
end

poll=/sys/block/${fast#/dev/}/events_poll_msecs
old_poll=$(cat $poll)
echo 500 >$poll
# A member of group cdrom may open the drive but not switch its polling off.
echo "cdrom:x:24:user" >/tmp/group.new && grep -v '^cdrom:' /etc/group >>/tmp/group.new && cp /tmp/group.new /etc/group
chgrp cdrom $fast $fast_sg && chmod 660 $fast $fast_sg
begin "a user of group cdrom: refused while polling stays on, flashed with --allow-polling"
as_user flashtool flash $fast /tmp/img8 --yes
want_rc 4
want_err "media polling of ${fast#/dev/} cannot be switched off"
want_downloads $FAST 0
as_user flashtool flash $fast /tmp/img8 --yes --allow-polling
want_rc 0
want_downloads $FAST 8
end
chmod 600 $fast $fast_sg
# udev's link, which the kernel resolves to the drive it names.
ln -sf ${fast#/dev/} /dev/cdrom
begin "mid-flash through /dev/cdrom: one lock for the sr and sg node; list leaves the drive alone; nothing else reaches it"
ft_bg flash /dev/cdrom /tmp/img256 --yes
first_block || no "no first block"
kill -STOP $pid
host count $FAST 55
before=$answer
host mark
polled=$(cat $poll)
timeout -s KILL 60 flashtool flash $fast_sg /tmp/img1 --yes >/tmp/out2 2>/tmp/err2 </dev/null
second=$?
[ $second = 4 ] || no "second flash through $fast_sg: exit $second, not 4"
grep -qi busy /tmp/err2 || no "second flash does not say busy"
timeout -s KILL 60 flashtool list --json >/tmp/list.json 2>/dev/null
[ "$(json_field $fast error)" != "<none>" ] || no "list shows no error for the drive being flashed"
sleep 1  # two polling periods, had polling stayed on
want_sent $FAST 12,00,4a 0
kill -CONT $pid
collect
want_rc 0
host count $FAST 55
[ $((before + answer)) = 256 ] || no "$before + $answer downloads, not 256"
end
begin "mid-flash: media polling off during the blocks, put back after"
[ "$polled" = 0 ] || no "events_poll_msecs $polled during the blocks"
[ "$(cat $poll)" = 500 ] || no "events_poll_msecs $(cat $poll) after, not 500"
end
begin "SIGKILL mid-flash leaves polling off; the next run puts it back"
ft_bg flash $fast /tmp/img256 --yes
first_block || no "no first block"
kill -9 $pid
collect
[ "$(cat $poll)" = 0 ] || no "polling $(cat $poll) after the kill, not 0"
ft list
[ "$(cat $poll)" = 500 ] || no "polling $(cat $poll) after the next list, not 500"
end

# What a second user may plant where files of every user go: a FIFO where
# a lock file used to be, a link where root keeps its service log; with the
# kernel's own protection of links in such folders off, as in some
# containers, so that the program's guard is what is tried.
begin "a second user's FIFO and link: the flash goes on, the log is refused, nothing written through the link"
echo 0 >/proc/sys/fs/protected_symlinks
mkdir -p /run/lock && chmod 1777 /run/lock
fast_address=$(basename "$(readlink /sys/block/${fast#/dev/}/device)")
echo "root's own" >/tmp/root.log && chmod 600 /tmp/root.log
as_user "mkfifo /run/lock/flashtool-$fast_address.lock; ln -s /tmp/root.log /tmp/service.jsonl"
ft flash $fast /tmp/img8 --yes --log /tmp/service.jsonl
want_rc 2
want_err "symbolic link"
cp /tmp/err /tmp/err.log
echo 1 >/proc/sys/fs/protected_symlinks
[ "$(cat /tmp/root.log)" = "root's own" ] || no "something was written through the link"
want_downloads $FAST 0
ft flash $fast /tmp/img8 --yes
want_rc 0
want_downloads $FAST 8
show="/tmp/err.log /tmp/out /tmp/err"
end

echo "$old_poll" >$poll

# --- scsi_debug as a CD/DVD drive, its faults switched on one at a time
sd=/sys/bus/pseudo/drivers/scsi_debug
dbg_sg=$(sg_of $dbg)
begin "scsi_debug: block refused, fixed-format sense decoded"
ft flash $dbg /tmp/img1 --yes
want_rc 6
want_err "ILLEGAL REQUEST"
want_err "ASC 24h"
end
begin "scsi_debug: block refused, descriptor-format sense decoded"
echo 1 >$sd/dsense
ft flash $dbg /tmp/img1 --yes
echo 0 >$sd/dsense
want_rc 6
want_err "ILLEGAL REQUEST"
want_err "ASC 24h"
end
begin "scsi_debug: unit attention after sg_reset is cleared before block 00"
sg_reset -d $dbg_sg >/dev/null 2>&1
ft flash $dbg_sg /tmp/img1 --yes
want_rc 6
want_err "ILLEGAL REQUEST"
grep -q "UNIT ATTENTION" /tmp/err && no "failed on the unit attention"
end
begin "scsi_debug: stopped and continued during a slow block 00 through sg, the block sent once"
echo 1 >$sd/opts  # every command's CDB into the kernel log
echo 250 >$sd/delay
dmesg -c >/dev/null
ft_bg flash $dbg_sg /tmp/img1 --yes
for _ in $(seq 200); do dmesg | grep -q 'cmd 55 00 2b 41 50 49' && break; usleep 20000; done
for _ in 1 2 3; do usleep 100000; kill -STOP $pid; usleep 100000; kill -CONT $pid; done
collect
echo 1 >$sd/delay
echo 0 >$sd/opts
want_rc 6
sent=$(dmesg | grep -c 'cmd 55 00 2b 41 50 49')
[ "$sent" = 1 ] || no "scsi_debug got block 00 $sent times"
end
# No command has less than 20 s, and the wait for one ends with the kernel's
# error handling (90 s more): 110 s, and 20 s of margin.
begin "scsi_debug: commands that time out end in a failure, within the time-out and the kernel's error handling"
echo 4 >$sd/opts
echo -1 >$sd/every_nth
t0=$(cut -d. -f1 /proc/uptime)
timeout -s KILL 150 flashtool flash $dbg_sg /tmp/img1 --yes >/tmp/out 2>/tmp/err </dev/null; rc=$?
flatten /tmp/out /tmp/err
t1=$(cut -d. -f1 /proc/uptime)
echo 0 >$sd/every_nth
echo 0 >$sd/opts
want_rc 6 4
grep -q '^flashtool: ' /tmp/err || no "no failure line"
[ $((t1 - t0)) -le 130 ] || no "took $((t1 - t0)) s"
end
begin "scsi_debug: aborted commands end in a failure"
echo 16 >$sd/opts
echo -1 >$sd/every_nth
ft flash $dbg_sg /tmp/img1 --yes
echo 0 >$sd/every_nth
echo 0 >$sd/opts
want_rc 6 4
want_err "ABORTED COMMAND"
end

# A tape: the st driver's node has a SCSI address too, and the kernel
# passes SG_GET_VERSION_NUM on; a request written to it would be a record.
begin "refused: a tape (scsi_debug with st) is no drive, nothing written, at once"
# The kernel scans the new host on its own time, and the type is one
# setting for every scsi_debug device: back to 5 only once the tape is there.
echo 1 >$sd/ptype
echo 1 >$sd/add_host
for _ in $(seq 300); do [ -e /dev/st0 ] && break; usleep 100000; done
echo 5 >$sd/ptype
echo 1 >$sd/opts
dmesg -c >/dev/null
t0=$(cut -d. -f1 /proc/uptime)
for tape in /dev/st0 /dev/nst0; do
  ft flash $tape /tmp/img1 --yes
  want_rc 2
  want_err "not a drive"
  ft info $tape
  want_rc 2
  want_err "not a drive"
done
t1=$(cut -d. -f1 /proc/uptime)
echo 0 >$sd/opts
[ -e /dev/st0 ] || no "no /dev/st0"
dmesg | grep -q 'cmd 0a' && no "the tape got a WRITE"
[ $((t1 - t0)) -le 5 ] || no "took $((t1 - t0)) s"
end

begin "list: a drive whose sr driver is unbound, by its sg node"
empty_address=$(basename "$(readlink /sys/block/${empty#/dev/}/device)")
empty_sg=$(sg_of $empty)
echo $empty_address >/sys/bus/scsi/drivers/sr/unbind
ft list
want_rc 0
grep -q "^$empty_sg  *$empty_sg  *$empty_address  *scsi  *KTIER  *EMPTY CD" /tmp/out || no "no line of $empty_sg"
echo $empty_address >/sys/bus/scsi/drivers/sr/bind
end

begin "mid-flash: the drive pulled out (device_del) ends in a clear failure"
ft_bg flash $fast /tmp/img256 --yes
first_block || no "no first block"
kill -STOP $pid
host unplug cdfast
for _ in $(seq 100); do [ -e /sys/block/${fast#/dev/} ] || break; usleep 100000; done
[ -e /sys/block/${fast#/dev/} ] && no "the kernel still has ${fast#/dev/}"
kill -CONT $pid
collect
want_rc 1
grep -q "took all" /tmp/out && no "says the flash succeeded"
[ -s /tmp/err ] || no "no failure line"
end

# --- without the sg driver: a drive is reached by its sr node alone, whose
# opening has the kernel send commands of its own
if rmmod sg 2>/dev/null; then
  begin "sg unloaded: list and info during a flash send the held drive nothing; list keeps its deadline"
  : >/tmp/vd.journal
  ft_bg flash $vd /tmp/imgvd --yes --allow-polling --settle 30
  for _ in $(seq 200); do grep -q 'idx=FF' /tmp/vd.journal && break; usleep 50000; done
  before=$(grep -c '^CMD' /tmp/vd.journal)
  timeout -s KILL 60 flashtool list >/tmp/list.out 2>/tmp/list.err </dev/null
  flatten /tmp/list.err
  grep -q "$vd: not asked" /tmp/list.err || no "list did not say it left $vd unasked"
  timeout -s KILL 60 flashtool info $vd >/tmp/info.out 2>/tmp/info.err </dev/null
  grep -q "Busy:" /tmp/info.out || no "info did not see the flash"
  after=$(grep -c '^CMD' /tmp/vd.journal)
  [ "$after" = "$before" ] || no "the held drive got $((after - before)) commands"
  kill $pid
  collect
  echo 4 >$sd/opts
  echo -1 >$sd/every_nth
  t0=$(uptime)
  timeout -s KILL 60 flashtool list >/tmp/out 2>/tmp/err </dev/null
  t1=$(uptime)
  echo 0 >$sd/every_nth
  echo 0 >$sd/opts
  took=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
  awk -v t="$took" 'BEGIN { exit !(t <= 4.0) }' || no "list took $took s"
  show="/tmp/list.out /tmp/list.err /tmp/info.out /tmp/info.err /tmp/out /tmp/err"
  end
else
  say "skip sg unloaded: sg is built in or in use"
fi

say end
sync
reboot -f
