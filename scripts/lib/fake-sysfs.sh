# The system's files about drives as Linux lays them out, for the preload
# library's root (FLASHTOOL_PRELOAD_ROOT), so that a demo or a benchmark
# leaves the machine's own /sys alone: drive N is /dev/srN with its sg node
# /dev/sgN at SCSI address N:0:0:0, polled by the kernel every 2 s.
#   fake_sysfs ROOT COUNT VENDOR PRODUCT REVISION
fake_sysfs() {
  local root=$1 count=$2 n a d
  rm -rf "$root/sys"
  mkdir -p "$root/sys/class/scsi_device" "$root/sys/class/block" "$root/sys/class/scsi_generic" \
    "$root/sys/dev/block" "$root/sys/dev/char" "$root/run"
  for ((n = 0; n < count; n++)); do
    a=$n:0:0:0 d=$root/sys/devices/$n:0:0:0
    mkdir -p "$d/scsi_device/$a" "$d/block/sr$n" "$d/scsi_generic/sg$n" "$root/sys/block/sr$n" \
      "$root/sys/class/scsi_generic/sg$n"
    ln -sfn "../../../$a" "$d/scsi_device/$a/device"
    ln -sfn "../../devices/$a/scsi_device/$a" "$root/sys/class/scsi_device/$a"
    printf '5\n' >"$d/type"
    printf '%s\n' "$3" >"$d/vendor"
    printf '%s\n' "$4" >"$d/model"
    printf '%s\n' "$5" >"$d/rev"
    ln -sfn "../../devices/$a" "$root/sys/block/sr$n/device"
    ln -sfn "../../../devices/$a" "$root/sys/class/scsi_generic/sg$n/device"
    ln -sfn "../../block/sr$n" "$root/sys/class/block/sr$n"
    ln -sfn "../../block/sr$n" "$root/sys/dev/block/11:$n"
    ln -sfn "../../class/scsi_generic/sg$n" "$root/sys/dev/char/21:$n"
    echo 2000 >"$root/sys/block/sr$n/events_poll_msecs"
  done
}
