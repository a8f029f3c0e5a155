#!/bin/bash
# The Windows programs we ship (the i686 build), under Wine in the real-kernel
# tier's guest, against its drives through Wine's own pass-through: Wine
# turns IOCTL_SCSI_PASS_THROUGH on a CD drive letter into SG_IO on the sr
# node behind it. Runs chrooted in the host's root (guest.sh mounts it) and
# prints one "KT ok|FAIL name" line per check, then "KT end". What a drive
# received is asked of the host, which reads QEMU's trace; our drive (E:)
# keeps its own journal in /tmp/vd.journal.
#   wine-guest.sh CHECKOUT
set -u
checkout=$1
win=$checkout/build/win32
out=/ktier-out
export WINEPREFIX=$checkout/build/kernel/wineprefix WINEARCH=win32 WINELOADER=/usr/lib/wine/wine
export WINEDEBUG=-all LANG=zh_TW.UTF-8 LC_ALL=zh_TW.UTF-8
wine=$WINELOADER

exec 8<>/dev/ttyS1
host() { echo "$*" >&8; answer=; read -r -t 20 answer <&8; }
uptime() { cut -d' ' -f1 /proc/uptime; }
say() { echo "KT $*"; }
begin() { name=$1 why= said= started=$(uptime); host mark; rm -f /tmp/out; }
no() { why="$why${why:+; }$*"; }
# The check's line names what the drives received, as the host's trace
# and our drive's journal have it.
end() {
  local took; took=$(awk -v a="$started" -v b="$(uptime)" 'BEGIN { printf "%.1f", b - a }')
  if [ -z "$why" ]; then say "ok   $name ($took s)${said:+: $said}"; return; fi
  say "FAIL $name ($took s): $why${said:+; $said}"
  [ -s /tmp/out ] && sed 's/\r$//; s/^/    out: /' /tmp/out
}
# What TARGET got since begin, added to the check's line.
note_received() { # target label
  host received "$1"
  said="$said${said:+; }$2 received ${answer:-?}"
}
want_sent() { # target ops expected [length]
  host count "$1" "$2" "${4:-}"
  [ "$answer" = "$3" ] || no "drive got ${answer:-?} commands $2${4:+ of $4 bytes}, not $3"
}
# The program's own words on the check's line: its first line with TEXT,
# whose words from Windows come in the code page of the locale (Big5).
told() { said="$said${said:+; }said \"$(flat_out | grep -a -m1 -- "$1" | iconv -f CP950 -t UTF-8)\""; }
want_rc() { [ "$rc" = "$1" ] || no "exit $rc, not $1"; }
# The programs wrap their lines between words at 80 columns, the rest of
# a line indented: read as one line again.
flat_out() { tr -d '\r' </tmp/out | awk 'NR > 1 && /^ / { sub(/^ +/, " "); printf "%s", $0; next } NR > 1 { print "" } { printf "%s", $0 } END { if (NR) print "" }'; }
want_out() { flat_out | grep -qF -- "$1" || no "no \"$1\""; }
# Our drive's commands since its journal was emptied, as "12h x1, 55h x2".
vd_summary() {
  awk '/^CMD/ { if (!($2 in n)) o[++k] = $2; n[$2]++ }
    END { for (i = 1; i <= k; i++) { printf "%s%sh x%d", s, o[i], n[o[i]]; s = ", " }; if (!k) printf "nothing" }' /tmp/vd.journal
}
vd_received() { said="$said${said:+; }our drive received $(vd_summary)"; }
# The console program, never longer than two minutes.
cli() { timeout -s KILL 120 "$wine" "$win/flashtool-cli.exe" "$@" >/tmp/out 2>&1 </dev/null; rc=$?; }

FAST=1 GONE=2
sr_of() { for b in /sys/block/sr*; do [ "$(sed 's/ *$//' $b/device/model)" = "$1" ] && echo /dev/${b##*/}; done; }
for _ in $(seq 100); do
  [ -n "$(sr_of 'FAST CD')" ] && [ -n "$(sr_of 'GONE CD')" ] && [ -n "$(sr_of 'VIRTUAL CD-RW')" ] && break
  sleep 0.1
done
d=$(sr_of 'FAST CD') e=$(sr_of 'VIRTUAL CD-RW') f=$(sr_of 'GONE CD')
echo "drives at $(uptime) s: D: $d, E: $e (ours), F: $f"

# What Wine must be told: the letter is a CD drive (the prefix has
# HKLM\Software\Wine\Drives), and which unix device is behind it.
mkdir -p /tmp/letter
for pair in "d:$d" "e:$e" "f:$f"; do
  ln -sfn "${pair#*:}" "$WINEPREFIX/dosdevices/${pair%%:*}::"
  ln -sfn /tmp/letter "$WINEPREFIX/dosdevices/${pair%%:*}:"
done
# No polling by the kernel: what else the trace shows comes from opening and
# closing the node (the kernel's TEST UNIT READY, GET EVENT STATUS
# NOTIFICATION and ALLOW MEDIUM REMOVAL), from Wine or from the programs.
for sr in $d $e $f; do echo 0 >/sys/block/${sr#/dev/}/events_poll_msecs; done
: >/tmp/vd.journal

# The window program's display, started while the console program runs.
display=:7
Xvfb $display -screen 0 1024x768x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &
xvfb=$!
# One Wine for the whole stage: a program that waits on its input keeps
# Wine's services up, whose start probes every CD drive (READ TOC, READ,
# PREVENT ALLOW MEDIUM REMOVAL...); that happens here, not in the checks.
sleep 600 | "$wine" cmd >/dev/null 2>&1 &
timeout -s KILL 120 "$wine" cmd /c echo >/dev/null 2>&1 || say "FAIL Wine does not start"

begin "console list: D: and E: through Wine's pass-through, each asked its identity"
cli list
want_rc 0
for line in "D: KTIER  *FAST CD" "E: QUOR  *VIRTUAL CD-RW" "F: KTIER  *GONE CD"; do
  tr -d '\r' </tmp/out | grep -q "^${line%% *} .* ${line#* }  *1.00$" || no "no line of ${line%% *} as ${line#* } 1.00"
done
want_sent $FAST 12 1
want_sent $FAST 55 0
told "^D:"
note_received $FAST "D:"
vd_received
end

begin "console info D:"
cli info D:
want_rc 0
want_out "KTIER"
want_out "FAST CD"
want_sent $FAST 55 0
told "FAST CD"
note_received $FAST "D:"
end

begin "console flash D: with 4 blocks: one MODE SELECT(10) per block, each the image's 40960 bytes taken"
cli flash D: 'Z:\tmp\img4.bin' --yes
want_rc 0
want_out "Flashed: the drive took all 4 blocks."
want_out "flashed D: firmware 1.00 -> 1.00"
want_sent $FAST 55 4 40960
want_sent $FAST 55 4
# QEMU's drive answers GOOD only to a block that parses, byte for byte, as
# its own mode pages: no sense built means every block arrived whole.
host received $FAST
case $answer in *"to 55h"*) no "the drive refused a block: $answer" ;; esac
told "^flashed D"
note_received $FAST "D:"
end

begin "console flash E: refused at block 01: exit 1, the drive's reason, nothing after"
: >/tmp/vd.journal
cli flash E: 'Z:\tmp\imgvd.bin' --yes
want_rc 1
want_out "block 01 (2 of the image) failed: SCSI status 02h (Check Condition), sense key 5 (Illegal Request), ASC 26h"
want_out "the drive holds only the blocks before it"
[ "$(grep -c '^CMD 55' /tmp/vd.journal)" = 2 ] || no "our drive got $(grep -c '^CMD 55' /tmp/vd.journal) downloads, not 2"
grep -q '^BLOCK .*idx=00 .*ok' /tmp/vd.journal || no "block 00 did not check out"
told "^failed E"
vd_received
end

begin "console flash F: pulled out during its blocks: a failure, not success"
# The program runs in short steps between stops until the kernel counts a
# few blocks sent to the drive; stopped there, it sees QEMU pull the drive out.
sent_to_f() { echo $(($(cat /sys/block/${f#/dev/}/device/iorequest_cnt 2>/dev/null || echo 0))); }
before=$(sent_to_f)
timeout -s KILL 120 "$wine" "$win/flashtool-cli.exe" flash F: 'Z:\tmp\img256.bin' --yes --ready-timeout 10 \
  >/tmp/out 2>&1 </dev/null &
pid=$!
program=
for _ in $(seq 1000); do
  for p in $(pgrep -f 'flashtool-cli.exe'); do [ "$(cat /proc/$p/comm)" = timeout ] || program=$p; done
  [ -n "$program" ] && break
  sleep 0.01
done
if [ -n "$program" ]; then
  kill -STOP $program
  for _ in $(seq 2000); do
    [ $(($(sent_to_f) - before)) -ge 16 ] && break
    kill -CONT $program; sleep 0.02; kill -STOP $program
  done
fi
host count $GONE 55
blocks=$answer
host unplug cdgone
for _ in $(seq 100); do [ -e /sys/block/${f#/dev/} ] || break; sleep 0.1; done
[ -e /sys/block/${f#/dev/} ] && no "the kernel still has ${f#/dev/}"
[ -n "$program" ] && kill -CONT $program || no "the program was not found"
wait $pid
rc=$?
want_rc 1
flat_out | grep -q "took all" && no "says the flash succeeded"
[ "${blocks:-0}" -ge 1 ] && [ "$blocks" -lt 256 ] || no "${blocks:-?} blocks before the drive went"
told "^failed F"
note_received $GONE "F:"
end

# The window program, driven from outside as the end-to-end tier drives it,
# by a driver that lets FlashTool.exe reach the drives itself. The driver
# says when the list is up; the screenshot is taken then.
host mark
mkdir -p /tmp/window
: >/tmp/vd.journal
(
  for _ in $(seq 1800); do [ -e /tmp/window/listed ] && break; sleep 0.1; done
  [ -e /tmp/window/listed ] && DISPLAY=$display timeout 30 import -window root "$out/kernel-wine-window.png"
  touch /tmp/window/shot
) &
shooter=$!
DISPLAY=$display FLASHTOOL_E2E_SLOWER=4 FLASHTOOL_KTIER_SYNC='Z:\tmp\window' \
  FLASHTOOL_KTIER_IMAGE='Z:\tmp\img4.bin' FLASHTOOL_KTIER_REFUSED_IMAGE='Z:\tmp\imgvd.bin' \
  timeout -s KILL 180 "$wine" "$win/flashtool_kernel_window.exe" "$win/FlashTool.exe" /tmp/window \
  >/tmp/window.out 2>&1 </dev/null
rc=$?
kill $shooter 2>/dev/null
tr -d '\r' </tmp/window.out | sed -n 's/^PASS /ok   window: /p; s/^FAIL /FAIL window: /p' >/tmp/window.checks
host count $FAST 55
window_blocks=$answer
host count $FAST 55 40960
window_whole=$answer
host received $FAST
window_fast=$answer
window_vd=$(vd_summary)
while IFS= read -r line; do
  case $line in
    FAIL*) ;;
    *"flashes D:"*)
      [ "$window_blocks" = 4 ] && [ "$window_whole" = 4 ] && [ "${window_fast#*to 55h}" = "$window_fast" ] ||
        line="FAIL ${line#ok   }: D: got $window_blocks downloads, $window_whole of 40960 bytes, not 4"
      line="$line; D: received $window_fast" ;;
    *"refused"*)
      n=$(grep -c '^CMD 55' /tmp/vd.journal)
      [ "$n" = 1 ] || line="FAIL ${line#ok   }: our drive got $n downloads, not 1"
      line="$line; our drive received $window_vd" ;;
  esac
  say "$line"
done </tmp/window.checks
[ -s /tmp/window.checks ] && [ $rc -le 1 ] ||
  { say "FAIL window: the driver ended with $rc"; sed 's/\r$//; s/^/    /' /tmp/window.out; }
[ -s "$out/kernel-wine-window.png" ] || say "FAIL window: no screenshot"

wineserver -k
kill $xvfb 2>/dev/null
say end
