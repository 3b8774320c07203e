# Small volumes of the file systems of the test matrix, made from an image
# file and mounted for a test or a benchmark. Sourced; the caller sets
#   img  the image file, mnt  an empty folder to mount on, log  a file for
#        what the tools say,
# and these functions keep in `dev` the loop device they attached and in
# `daemon` the FUSE driver they started, so that only those are ended.
# FUSE drivers run in the foreground (-d, -f, no_detach) to have their pid.
# "smb" is a share of a Samba server of its own on 127.0.0.1 (in a folder
# beside the image, on a tmpfs of the size asked for), mounted through
# smbnetfs: the share is bind-mounted on $mnt.
dev=""
daemon=""
server=""
smb_share=""

volume_make() {  # FS SIZE: the image, with a fresh file system on it
  truncate -s "$2" "$img" || return 1
  case $1 in
    ext4)  mkfs.ext4 -q -F "$img" ;;
    xfs)   mkfs.xfs -q -m reflink=1 "$img" ;;
    btrfs) mkfs.btrfs -q "$img" ;;
    exfat) mkfs.exfat "$img" ;;
    fat32) mkfs.vfat -F 32 "$img" ;;
    ntfs)  mkfs.ntfs -F -f -q "$img" ;;
    smb)   smb_make "$2" ;;
    *) echo "unknown file system $1"; false ;;
  esac > "$log" 2>&1
}

smb_make() {  # SIZE: the server's folders, configuration, user and share
  # Every such server listens on port 445 of 127.0.0.1: one at a time on the
  # machine (tests of two builds at once), or the second one, unable to
  # listen, leaves its test writing into the first one's share. The lock is
  # held by this shell and what it starts (the server among them).
  exec {smb_lock}> /tmp/tandrel-smb-445.lock || return 1
  flock -w 150 "$smb_lock" || { echo "another test's Samba server kept port 445 for 150 s"; return 1; }
  smb=$(dirname "$img")/smb
  mkdir -p "$smb"/{share,private,state,cache,lock,pid,home/.smb,fuse} || return 1
  mount -t tmpfs -o "size=$1" tandrel-share "$smb/share" || return 1
  smb_share="$smb/share"
  printf '%s\n' "[global]" "  interfaces = lo" "  bind interfaces only = yes" \
    "  server role = standalone server" "  disable netbios = yes" "  smb ports = 445" \
    "  private dir = $smb/private" "  state directory = $smb/state" "  cache directory = $smb/cache" \
    "  lock directory = $smb/lock" "  pid directory = $smb/pid" "  log file = $smb/smbd.log" \
    "  passdb backend = tdbsam:$smb/private/passdb.tdb" "  map to guest = never" "  load printers = no" \
    "  printcap name = /dev/null" "  disable spoolss = yes" \
    "[backup]" "  path = $smb/share" "  read only = no" "  force user = root" > "$smb/smb.conf"
  id tandrelsmb > /dev/null 2>&1 || useradd -M -N tandrelsmb || return 1
  printf 'tandrel\ntandrel\n' | smbpasswd -c "$smb/smb.conf" -a -s tandrelsmb || return 1
  printf '[global]\n  client min protocol = SMB2\n' > "$smb/home/.smb/smb.conf"
  # smbnetfs ignores an auth line in a file that others may read.
  printf 'auth "127.0.0.1" "tandrelsmb" "tandrel"\nsmb_query_browsers "false"\n' > "$smb/home/.smb/smbnetfs.conf"
  chmod 600 "$smb/home/.smb/smbnetfs.conf"
}

smb_listener() {  # what listens on port 445 of 127.0.0.1 (ss's lines, with the pids)
  ss -Hltnp 'sport = :445' 2> /dev/null
}

volume_attach() {  # FS: a loop device for the image (fusefat takes the file itself)
  [ "$1" = fat32 ] && return 0
  if [ "$1" = smb ]; then
    # A server that did not take the lock (an older test's) may hold the port.
    local i
    for i in $(seq 150); do [ -z "$(smb_listener)" ] && break; sleep 1; done
    [ -z "$(smb_listener)" ] || { echo "port 445 is taken: $(smb_listener)"; return 1; }
    # In a session of its own: on shutdown smbd signals its process group.
    setsid smbd -F --no-process-group -s "$smb/smb.conf" >> "$log" 2>&1 & server=$!
    for i in $(seq 300); do
      # Our own server's answer: one that could not listen has ended.
      kill -0 "$server" 2> /dev/null || return 1
      smb_listener | grep -q "pid=$server," &&
        smbclient -s "$smb/smb.conf" //127.0.0.1/backup -U tandrelsmb%tandrel -c ls > /dev/null 2>&1 && return 0
      sleep 0.1
    done
    return 1
  fi
  dev=$(losetup -f --show "$img" 2> "$log") || { dev=""; return 1; }
}

volume_mount() {  # FS: mounts on $mnt; nonzero, unmounted, when it could not
  case $1 in
    ext4|xfs|btrfs) mount -t "$1" "$dev" "$mnt" >> "$log" 2>&1 ;;
    exfat) mount.exfat-fuse -d "$dev" "$mnt" >> "$log" 2>&1 & daemon=$! ;;
    fat32) fusefat -f -o rw+ "$img" "$mnt" >> "$log" 2>&1 & daemon=$! ;;
    ntfs)  ntfs-3g -o no_detach "$dev" "$mnt" >> "$log" 2>&1 & daemon=$! ;;
    smb)   HOME="$smb/home" smbnetfs "$smb/fuse" -f -o smb_query_browsers=false >> "$log" 2>&1 & daemon=$!
           local j
           for j in $(seq 300); do [ -d "$smb/fuse/127.0.0.1/backup" ] && break; sleep 0.1; done
           mount --bind "$smb/fuse/127.0.0.1/backup" "$mnt" >> "$log" 2>&1
           # The share answers a moment after smbnetfs has mounted.
           for j in $(seq 300); do ls "$mnt" > /dev/null 2>&1 && break; sleep 0.1; done ;;
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
  if [ -n "$smb_share" ] && mountpoint -q "$smb/fuse"; then umount "$smb/fuse" 2> /dev/null || umount -l "$smb/fuse"; fi
  if [ -n "$daemon" ]; then
    # The driver ends by itself once unmounted; it holds the device till then.
    for i in $(seq 100); do kill -0 "$daemon" 2> /dev/null || break; sleep 0.1; done
    kill "$daemon" 2> /dev/null
    wait "$daemon" 2> /dev/null
    daemon=""
  fi
}

volume_detach() {  # lets go of the loop device (or the server) this script made
  if [ -n "$dev" ]; then losetup -d "$dev" 2> /dev/null; dev=""; fi
  if [ -n "$server" ]; then
    kill -- -"$server" 2> /dev/null || kill "$server" 2> /dev/null
    wait "$server" 2> /dev/null
    server=""
  fi
  if [ -n "$smb_share" ]; then umount "$smb_share" 2> /dev/null || umount -l "$smb_share"; smb_share=""; fi
}
