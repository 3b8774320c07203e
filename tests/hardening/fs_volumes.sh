# Small volumes of the file systems of the test matrix, made from an image
# file and mounted for a test or a benchmark. Sourced; the caller sets
#   img  the image file, mnt  an empty folder to mount on, log  a file for
#        what the tools say,
# and these functions keep in `dev` the loop device they attached and in
# `daemon` the FUSE driver they started, so that only those are ended.
# FUSE drivers run in the foreground (-d, -f, no_detach) to have their pid.
dev=""
daemon=""

volume_make() {  # FS SIZE: the image, with a fresh file system on it
  truncate -s "$2" "$img" || return 1
  case $1 in
    ext4)  mkfs.ext4 -q -F "$img" ;;
    xfs)   mkfs.xfs -q -m reflink=1 "$img" ;;
    btrfs) mkfs.btrfs -q "$img" ;;
    exfat) mkfs.exfat "$img" ;;
    fat32) mkfs.vfat -F 32 "$img" ;;
    ntfs)  mkfs.ntfs -F -f -q "$img" ;;
    *) echo "unknown file system $1"; false ;;
  esac > "$log" 2>&1
}

volume_attach() {  # FS: a loop device for the image (fusefat takes the file itself)
  [ "$1" = fat32 ] && return 0
  dev=$(losetup -f --show "$img" 2> "$log") || { dev=""; return 1; }
}

volume_mount() {  # FS: mounts on $mnt; nonzero, unmounted, when it could not
  case $1 in
    ext4|xfs|btrfs) mount -t "$1" "$dev" "$mnt" >> "$log" 2>&1 ;;
    exfat) mount.exfat-fuse -d "$dev" "$mnt" >> "$log" 2>&1 & daemon=$! ;;
    fat32) fusefat -f -o rw+ "$img" "$mnt" >> "$log" 2>&1 & daemon=$! ;;
    ntfs)  ntfs-3g -o no_detach "$dev" "$mnt" >> "$log" 2>&1 & daemon=$! ;;
  esac
  local i
  for i in $(seq 100); do
    mountpoint -q "$mnt" && return 0
    # A driver that ended, or a kernel mount that returned, will not mount.
    if [ -n "$daemon" ]; then kill -0 "$daemon" 2> /dev/null || break; else break; fi
    sleep 0.05
  done
  mountpoint -q "$mnt" && return 0
  volume_unmount
  return 1
}

volume_unmount() {  # unmounts $mnt and waits for the driver; the loop device stays
  local i
  for i in 1 2 3 4 5; do
    mountpoint -q "$mnt" || break
    umount "$mnt" 2> /dev/null && break
    sleep 0.2
  done
  if mountpoint -q "$mnt"; then umount -l "$mnt" 2> /dev/null; fi
  if [ -n "$daemon" ]; then
    # The driver ends by itself once unmounted; it holds the device till then.
    for i in $(seq 100); do kill -0 "$daemon" 2> /dev/null || break; sleep 0.1; done
    kill "$daemon" 2> /dev/null
    wait "$daemon" 2> /dev/null
    daemon=""
  fi
}

volume_detach() {  # lets go of the loop device this script attached
  if [ -n "$dev" ]; then losetup -d "$dev" 2> /dev/null; dev=""; fi
}
