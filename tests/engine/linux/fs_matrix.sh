#!/usr/bin/env bash
# Backups onto a real file system of the kind users back up to, made in a
# small image and mounted here: ext4, xfs (with reflink), btrfs through a loop
# device, exFAT, FAT32 and NTFS through their FUSE drivers.
#
#   fs_matrix.sh TANDREL-CLI ext4|xfs|btrfs|exfat|fat32|ntfs
#
# On the mounted volume it checks, with tandrel-cli:
#  - a Directory Copy of a small tree (non-ASCII names among them) without
#    Overwrite copies every file the file system can name, whole, and fails
#    each one it can't name (FAT and exFAT refuse : ? * " < > | \ and control
#    characters, fusefat every non-ASCII name) with a message naming it;
#  - the modification times survive, to the file system's granularity, also
#    after the volume was mounted again;
#  - a repeat without Overwrite fails every file and changes none;
#  - a repeat with Overwrite brings changed and new files over; one with
#    nothing changed leaves every copy in place (same inode);
#  - a full volume fails the files that don't fit, one by one: no partial
#    target, an earlier copy that was to be replaced stays whole, the files
#    that fit are copied;
#  - the copies Overwrite replaces are kept in the versions folder with
#    their times, and an unchanged repeat keeps nothing;
#  - on exFAT and the share, a folder deleted from the source is restored
#    from the volume whole, with its times, and a file as it was at a time
#    before the last backup replaced it;
#  - a link in the source is copied as a link where the file system holds
#    links, else as the file it leads to; a link planted in the destination
#    is never followed; on exFAT, a source folder swapped for a link while
#    backups run never brings over what the link leads to;
#  - where names do not differ by case (exFAT, FAT), of two twins that do
#    the first keeps the name and the other fails saying why, and a source
#    renamed in case only gets its target respelled; so also for twins by
#    Unicode's case (É é, Σ σ ς, ß ẞ) and, where the volume takes them for
#    one name, the two forms of é; no file is lost on any kind;
#  - a backup while the volume is not mounted fails and writes nothing under
#    its bare mount point;
#  - two backups of one tree into one destination at once both end well;
#  - no temporary file (.~tandrel-XXXXXXXXXXXX.tmp) is ever left behind, and
#    where copies are written under such names, one that a killed backup
#    left goes with the next backup.
#
# It needs root, the file system's tools and a kernel (or /dev/fuse) that lets
# it mount; without them it says why and ends with 77, which CTest reports as
# skipped. It mounts, unmounts and detaches only what it made itself.
set -uo pipefail

cli=${1:?usage: fs_matrix.sh TANDREL-CLI FILESYSTEM}
fs=${2:?usage: fs_matrix.sh TANDREL-CLI FILESYSTEM}
SKIP=77
skip() { echo "SKIPPED ($fs): $*"; exit $SKIP; }

# What the message of a file the destination can't name says.
refused_words="does not allow the name"

# Per file system: the tools it takes, the image size, the granularity of the
# modification times it keeps (ns), what it refuses in names.
specials=no nonascii=no fuse=no links=yes modes=yes folds=no
case $fs in
  ext4)  tools="mkfs.ext4";             size=64M;  grain=1 ;;
  xfs)   tools="mkfs.xfs";              size=320M; grain=1 ;;  # xfs takes 300 MiB at least
  btrfs) tools="mkfs.btrfs";            size=128M; grain=1 ;;
  exfat) tools="mkfs.exfat mount.exfat-fuse"; size=64M; grain=2000000000 specials=yes fuse=yes links=no modes=no folds=yes ;;
  fat32) tools="mkfs.vfat fusefat";     size=64M;  grain=2000000000 specials=yes nonascii=yes fuse=yes links=no modes=no folds=yes ;;
  ntfs)  tools="mkfs.ntfs ntfs-3g";     size=64M;  grain=100 fuse=yes modes=no ;;
  smb)   tools="smbd smbnetfs smbpasswd smbclient ss"; size=64M; grain=1000000000 specials=yes fuse=yes links=no modes=no folds=yes ;;
  *) echo "unknown file system '$fs'" >&2; exit 2 ;;
esac

[ "$(id -u)" -eq 0 ] || skip "mounting takes root"
[ -x "$cli" ] || { echo "no tandrel-cli at $cli" >&2; exit 2; }
for t in $tools mountpoint losetup; do
  command -v "$t" > /dev/null || skip "$t is not installed (make deps installs it)"
done
if [ $fuse = yes ]; then
  [ -c /dev/fuse ] || skip "there is no /dev/fuse"
  grep -qw fuse /proc/filesystems || skip "the kernel has no FUSE"
else
  grep -qw "$fs" /proc/filesystems || skip "the kernel has no $fs"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tandrel-fs-$fs.XXXXXX")
# Where tandrel-cli remembers each destination's drive: the test's own.
export XDG_CONFIG_HOME="$work/config"
img=$work/volume.img
mnt=$work/mnt
src=$work/src
log=$work/driver.log
# shellcheck source=fs_volumes.sh
. "$(dirname "$0")/fs_volumes.sh"
mkdir -p "$mnt" "$src"

cleanup() {
  volume_unmount
  volume_detach
  # Never delete through a volume that is still mounted.
  mountpoint -q "$mnt" || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

volume_make "$fs" "$size" || skip "mkfs failed: $(tail -n 2 "$log")"
volume_attach "$fs" || skip "no loop device: $(cat "$log")"
volume_mount "$fs" || skip "could not mount: $(tail -n 3 "$log")"
findmnt -n -o FSTYPE,OPTIONS "$mnt" | sed "s/^/$fs mounted: /"

# shellcheck source=checks.sh
. "$(dirname "$0")/checks.sh"
status_is() {  # EXPECTED OUTPUT-NAME
  [ "$status" -eq "$1" ] || echo "tandrel-cli ended with $status, not $1: $(head -c 600 "$work/$2.err")"
}

# ---- The source: a small tree with non-ASCII names and odd times, and names
# that FAT and exFAT can't hold.
ctl=$(printf 'ctl\001char.txt')
mkdir -p "$src/Tree/sub/deep" "$src/Tree/été" "$src/Tree/日本" "$src/Names"
echo "plain" > "$src/Tree/plain.txt"
: > "$src/Tree/empty.dat"
echo "spaced" > "$src/Tree/with space.txt"
echo "umlaut" > "$src/Tree/Ärger.txt"
echo "accented" > "$src/Tree/été/café.txt"
echo "cjk" > "$src/Tree/日本/語.txt"
head -c 65536 /dev/urandom > "$src/Tree/sub/deep/random.bin"
head -c 300000 /dev/urandom > "$src/Tree/sub/medium.bin"
echo "allowed" > "$src/Names/allowed.txt"
echo "colon" > "$src/Names/colon:name.txt"
echo "question" > "$src/Names/what?.txt"
echo "pipe" > "$src/Names/a|b.txt"
echo "control" > "$src/Names/$ctl"
# Odd seconds and nanoseconds: what FAT rounds, and what exFAT and NTFS cut.
n=0
while IFS= read -r -d '' f; do
  n=$((n + 1))
  touch -h -d "@$((1700000001 + 2 * n)).$(printf '%09d' $((987654321 - n * 1111)))" "$f"
done < <(find "$src" -type f -print0)

# Which source files (relative to $src) the destination can name.
refused_name() {  # RELATIVE-PATH: true when this file system can't name it
  [ $specials = yes ] && LC_ALL=C grep -q '[?:*"<>|\[:cntrl:]]' <<< "$1" && return 0
  [ $nonascii = yes ] && LC_ALL=C grep -q '[^ -~]' <<< "$1" && return 0
  return 1
}
expected=$work/expected refused=$work/refused
: > "$expected"; : > "$refused"
while IFS= read -r -d '' rel; do
  if refused_name "$rel"; then printf '%s\n' "$rel" >> "$refused"; else printf '%s\n' "$rel" >> "$expected"; fi
done < <(cd "$src" && find . -type f -printf '%P\0')
sort -o "$expected" "$expected"
some_refused=0; [ -s "$refused" ] && some_refused=1
echo "$fs: $(wc -l < "$expected") files to copy, $(wc -l < "$refused") the file system can't name"

dest=$mnt/backup
entries=("$src/Tree" "$src/Names")

# Problems of the backup in $dest against the sources: missing, extra or
# different files, temporaries left.
tree_problems() {
  local rel
  comm -3 "$expected" <(cd "$dest" 2> /dev/null && find . -type f ! -path ./.tandrel-lock ! -path ./.tandrel-hashes ! -path ./.tandrel-index ! -path './Tandrel Versions/*' -printf '%P\n' | sort) |
    sed 's/^\t/extra: /; t; s/^/missing: /'
  while IFS= read -r rel; do
    [ -f "$dest/$rel" ] && ! cmp -s "$src/$rel" "$dest/$rel" && echo "differs: $rel"
  done < "$expected"
}
temporaries() {
  # On a share, what the server holds: the client's listing may lag behind.
  find "${smb_share:-$mnt}" -name '.~tandrel-*' 2> /dev/null | sed 's/^/temporary left: /'
}
time_problems() {  # copies whose modification time is off by a grain or more
  local rel s t
  while IFS= read -r rel; do
    [ -f "$dest/$rel" ] || continue
    s=$(stat -c %.9Y "$src/$rel"); t=$(stat -c %.9Y "$dest/$rel")
    awk -v s="$s" -v t="$t" -v g="$grain" 'BEGIN {
      split(s, a, "."); split(t, b, ".")
      d = (a[1] - b[1]) * 1000000000 + (a[2] - b[2]); if (d < 0) d = -d
      exit !(d >= g) }' && echo "$rel: source $s, copy $t"
  done < "$expected"
}
inodes() { (cd "$dest" && while IFS= read -r rel; do stat -c "%i $rel" "$rel" 2> /dev/null; done < "$expected"); }
message_problems() {  # OUTPUT-NAME: each refused file failed with a message naming what was refused
  local rel name part parts
  while IFS= read -r rel; do
    # The first name on the way that the file system refuses: a folder's, or the file's own.
    name=${rel##*/}
    IFS=/ read -r -a parts <<< "$rel"
    for part in "${parts[@]}"; do
      if refused_name "$part"; then name=$part; break; fi
    done
    grep -qF -- "$refused_words '$name'" "$work/$1.err" ||
      echo "no \"$refused_words '$name'\" for $rel (the message: $(grep -F -- "$rel" "$work/$1.err" | head -n 1))"
  done < "$refused"
}

# ---- 1. The first backup, without Overwrite.
backup first --dest "$dest" "${entries[@]}"
check "first backup without Overwrite: every nameable file copied, whole" \
      "$(status_is $some_refused first; tree_problems)"
if [ $some_refused = 1 ]; then
  check "names the file system refuses fail with a message that says so" "$(message_problems first)"
fi
check "no temporary files after the first backup" "$(temporaries)"
check "the summary says whether owners and permissions are kept ($modes)" \
      "$(grep -q 'keeps no owners or permissions' "$work/first.out" && [ $modes = yes ] && echo "said they are not"
         grep -q 'keeps no owners or permissions' "$work/first.out" || [ $modes = yes ] || echo "did not say so")"
check "modification times kept to $grain ns" "$(time_problems)"

# ---- 2. What was written is on the volume: mount it again.
volume_unmount
if volume_mount "$fs"; then
  check "after mounting again: the copies and their times" "$(tree_problems; time_problems)"
else
  check "mounting the volume again" "$(tail -n 3 "$log")"
  exit 1
fi

# ---- 2b. The drive not plugged in: its bare mount point gets nothing.
volume_unmount
backup unplugged --overwrite --dest "$dest" "${entries[@]}"
check "a backup while the drive is not mounted writes nothing under its mount point" \
      "$(status_is 1 unplugged
         grep -q 'is on a drive that is not mounted now' "$work/unplugged.err" || echo "no message saying so"
         [ -z "$(ls -A "$mnt")" ] || echo "written under the bare mount point: $(ls -A "$mnt")")"
volume_mount "$fs" || { check "mounting the volume again" "$(tail -n 3 "$log")"; exit 1; }

# ---- 3. A repeat without Overwrite fails every file and changes nothing.
inodes > "$work/inodes.before"
backup again --dest "$dest" "${entries[@]}"
check "repeat without Overwrite: every file fails, no copy changes" \
      "$(status_is 1 again
         n=$(grep -c 'File exists' "$work/again.err"); [ "$n" -eq "$(wc -l < "$expected")" ] ||
           echo "$n files failed as existing, not $(wc -l < "$expected")"
         tree_problems; diff <(inodes) "$work/inodes.before" | sed 's/^/inode changed: /'; temporaries)"

# ---- 4. With Overwrite: a changed file, a file of new size, a new file.
cp "$dest/Tree/plain.txt" "$work/plain.before"; cp "$dest/Tree/with space.txt" "$work/space.before"
old_time=$(stat -c %Y "$dest/Tree/plain.txt")
echo "changed, same size" > "$src/Tree/plain.txt.new"
head -c "$(stat -c %s "$src/Tree/plain.txt")" "$src/Tree/plain.txt.new" > "$src/Tree/plain.txt"
rm "$src/Tree/plain.txt.new"
touch -d "@1700100001.5" "$src/Tree/plain.txt"
echo "now longer than before" >> "$src/Tree/with space.txt"
echo "new" > "$src/Tree/sub/new.txt"
touch -d "@1700100003.25" "$src/Tree/sub/new.txt" "$src/Tree/with space.txt"
printf '%s\n' "Tree/sub/new.txt" >> "$expected"; sort -o "$expected" "$expected"
backup over --overwrite --dest "$dest" "${entries[@]}"
check "backup with Overwrite: changed and new files brought over" \
      "$(status_is $some_refused over; tree_problems; temporaries)"
check "modification times kept to $grain ns after Overwrite" "$(time_problems)"
runs() { find "$dest/Tandrel Versions" -mindepth 1 -maxdepth 1 -type d 2> /dev/null | sort; }
check "the copies Overwrite replaced are kept in the versions folder, with their times" \
      "$([ "$(runs | wc -l)" -eq 1 ] || echo "$(runs | wc -l) run folders, not 1"
         kept=$(runs | head -n 1)
         cmp -s "$work/plain.before" "$kept/Tree/plain.txt" || echo "no previous plain.txt kept"
         cmp -s "$work/space.before" "$kept/Tree/with space.txt" || echo "no previous 'with space.txt' kept"
         [ "$(stat -c %Y "$kept/Tree/plain.txt" 2> /dev/null)" = "$old_time" ] || echo "the kept copy's time changed"
         [ -f "$dest/Tandrel Versions/README.txt" ] || echo "no README in the versions folder"
         [ -e "$kept/Tree/sub/new.txt" ] && echo "a new file's copy was kept as if replaced"
         grep -q "^Kept: 2 previous copies" "$work/over.out" || echo "the summary does not say what was kept")"

# ---- 5. A repeat with Overwrite and nothing changed. Where copies are
# written under temporary names (the FUSE file systems and the share), it
# also removes what a killed backup left, as it visits.
inodes > "$work/inodes.before"
[ $fuse = yes ] && printf 'partial' > "$dest/Tree/.~tandrel-0123456789ab.tmp"
backup repeat --overwrite --dest "$dest" "${entries[@]}"
check "repeat with Overwrite, nothing changed" \
      "$(status_is $some_refused repeat; tree_problems; time_problems; temporaries)"
check "an unchanged repeat keeps nothing" "$([ "$(runs | wc -l)" -eq 1 ] || echo "$(runs | wc -l) run folders")"
check "repeat with Overwrite leaves up-to-date copies in place (same inodes)" \
      "$(diff <(inodes) "$work/inodes.before" | grep '^<' | sed 's/^< /replaced: /')"
# A file of the same size whose time changed is copied again.
echo "other content" | head -c "$(stat -c %s "$src/Tree/plain.txt")" > "$work/plain"
cp "$work/plain" "$src/Tree/plain.txt"; touch -d "@1700200001.75" "$src/Tree/plain.txt"
backup touched --overwrite --dest "$dest" "${entries[@]}"
check "repeat with Overwrite: a file of the same size and a new time is replaced" \
      "$(status_is $some_refused touched; tree_problems; time_problems; temporaries)"

# ---- 5b. Getting files back from the volume (exFAT and the share): a
# folder deleted from the source, whole and with its copies' times; a file
# as it was before the last backup replaced it, into another folder.
if [ "$fs" = exfat ] || [ "$fs" = smb ]; then
  cp -a "$src/Tree/sub" "$work/sub.before"
  rm -rf "$src/Tree/sub"
  backup restore --restore --dest "$dest" "$src/Tree/sub"
  check "a deleted folder restored from the volume: every file whole, with its copy's time" \
        "$(status_is 0 restore
           diff -r "$work/sub.before" "$src/Tree/sub" > /dev/null || echo "the restored folder differs"
           while IFS= read -r -d '' f; do
             rel=${f#"$src/"}
             [ "$(stat -c %.9Y "$f")" = "$(stat -c %.9Y "$dest/$rel")" ] ||
               echo "$rel: time $(stat -c %.9Y "$f"), its copy's $(stat -c %.9Y "$dest/$rel")"
           done < <(find "$src/Tree/sub" -type f -print0)
           [ -f "$dest/.tandrel-index" ] || echo "no index in the destination"
           temporaries)"
  backup restoreat --restore --dest "$dest" --at "$(date -d @1700150000 '+%Y-%m-%d %H:%M:%S')" \
    --to "$work/then" "$src/Tree/plain.txt"
  then_time=$(stat -c %Y "$work/then/plain.txt" 2> /dev/null || echo none)
  check "a file restored as it was at a time: the copy that the next backup replaced" \
        "$(status_is 0 restoreat
           cmp -s "$(runs | tail -n 1)/Tree/plain.txt" "$work/then/plain.txt" || echo "not the copy kept last"
           [ "$then_time" -ge 1700100000 ] 2> /dev/null && [ "$then_time" -le 1700100002 ] ||
             echo "restored the copy of time $then_time")"
fi

# ---- 6. Links. One in the source is copied as a link where the file system
# holds links, else as the file it leads to (a link of root's leads anywhere);
# one planted in the destination, where the file system holds links, is
# never followed.
mkdir -p "$src/Links" "$work/victim"
echo "linked" > "$src/Links/real.txt"
ln -s real.txt "$src/Links/link.txt"
backup links --dest "$mnt/links" "$src/Links"
check "a link in the source: $([ $links = yes ] && echo "a link" || echo "the file it leads to") in the backup" \
      "$(status_is 0 links
         if [ $links = yes ]; then
           [ "$(readlink "$mnt/links/Links/link.txt")" = real.txt ] || echo "not a link to real.txt"
         else
           cmp -s "$src/Links/real.txt" "$mnt/links/Links/link.txt" || echo "not the linked file's copy"
         fi; temporaries)"
if mkdir -p "$mnt/planted" && ln -s "$work/victim" "$mnt/planted/Links" 2> /dev/null; then
  backup planted --dest "$mnt/planted" "$src/Links"
  check "a link planted in the destination is not followed" \
        "$(status_is 1 planted
           grep -q 'does not follow links inside its destination' "$work/planted.err" || echo "no message saying so"
           [ -z "$(ls -A "$work/victim")" ] || echo "written through the link: $(ls "$work/victim")")"
fi
rm -rf "$src/Links" "$mnt/links" "$mnt/planted"

# ---- 6a. A folder of the source swapped for a link to another place while
# backups run, over and over (on exFAT, where the report came from): no
# backup ever holds what the link leads to.
if [ "$fs" = exfat ]; then
  mkdir -p "$src/Swap/sub" "$work/elsewhere"
  for f in 0 1 2 3 4 5 6 7; do echo "own $f" > "$src/Swap/f$f.txt"; echo "own sub $f" > "$src/Swap/sub/f$f.txt"; done
  echo "the user's own shadow" > "$src/Swap/sub/shadow"
  secret="secret-$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')"
  for f in shadow f0.txt f1.txt f2.txt; do echo "$secret" > "$work/elsewhere/$f"; done
  chmod 600 "$work/elsewhere/"*
  ( while :; do
      mv "$src/Swap/sub" "$src/Swap/sub.real" && ln -s "$work/elsewhere" "$src/Swap/sub"
      sleep 0.00$((RANDOM % 5))
      rm -f "$src/Swap/sub" && mv "$src/Swap/sub.real" "$src/Swap/sub"
      echo >> "$work/swaps"
    done ) & swapper=$!
  leaked=""
  for round in $(seq 1 20); do
    backup swap --overwrite --dest "$mnt/swap" "$src/Swap"
    grep -rlF "$secret" "$mnt/swap" > /dev/null 2>&1 && leaked="$leaked $round"
  done
  kill $swapper; wait $swapper 2> /dev/null
  [ -L "$src/Swap/sub" ] && rm -f "$src/Swap/sub"
  [ -d "$src/Swap/sub.real" ] && mv "$src/Swap/sub.real" "$src/Swap/sub"
  check "a source folder swapped for a link while 20 backups run: none holds what the link leads to" \
        "$([ -n "$leaked" ] && echo "backups$leaked hold the linked folder's file"
           [ -s "$work/swaps" ] || echo "no swap happened"
           temporaries)"
  rm -rf "$src/Swap" "$mnt/swap" "$work/elsewhere" "$work/swaps"
fi

# ---- 6b. Names that differ only in case, where the file system does not
# tell them apart: the first of two twins keeps the name, the other fails
# saying why; a source renamed in case only gets its target respelled.
if [ $folds = yes ]; then
  mkdir -p "$src/Case/Docs" "$src/Case/docs"
  echo "first twin" > "$src/Case/Photo.jpg"; echo "other twin" > "$src/Case/photo.jpg"
  echo "upper" > "$src/Case/Docs/a.txt"; echo "lower" > "$src/Case/docs/b.txt"
  touch -d "@1700300001" "$src/Case/Photo.jpg" "$src/Case/photo.jpg" "$src/Case/Docs/a.txt" "$src/Case/docs/b.txt"
  backup twins --overwrite --dest "$mnt/case" "$src/Case"
  check "twins of one name in two cases: one is placed, the other fails and says why" \
        "$(status_is 1 twins
           n=$(grep -c 'on this destination, which does not tell upper from lower case' "$work/twins.err")
           [ "$n" -eq 2 ] || echo "$n twins refused, not 2: $(head -c 400 "$work/twins.err")"
           [ "$(find "$mnt/case/Case" -maxdepth 1 -iname photo.jpg | wc -l)" -eq 1 ] || echo "not one photo.jpg"
           placed=$(find "$mnt/case/Case" -maxdepth 1 -iname photo.jpg -printf '%f')
           cmp -s "$src/Case/$placed" "$mnt/case/Case/$placed" || echo "$placed does not hold its own source"
           [ "$(find "$mnt/case/Case" -type f ! -iname photo.jpg | wc -l)" -eq 1 ] || echo "not one of a.txt and b.txt"
           temporaries)"
  placed=$(find "$mnt/case/Case" -maxdepth 1 -iname photo.jpg -printf '%f')
  rm -rf "$src/Case"; mkdir -p "$src/Case"
  echo "first twin" > "$src/Case/PHOTO.JPG"; touch -d "@1700300001" "$src/Case/PHOTO.JPG"
  [ "$placed" = photo.jpg ] && { echo "other twin" > "$src/Case/PHOTO.JPG"; touch -d "@1700300001" "$src/Case/PHOTO.JPG"; }
  backup respell --overwrite --dest "$mnt/case" "$src/Case"
  check "a source renamed in case only: its target is respelled, not copied" \
        "$(status_is 0 respell
           grep -q 'Files: 0 copied, 1 up to date, 0 failed' "$work/respell.out" || echo "$(tail -n 1 "$work/respell.out")"
           [ "$(find "$mnt/case/Case" -maxdepth 1 -iname photo.jpg -printf '%f')" = PHOTO.JPG ] ||
             echo "stored as $(find "$mnt/case/Case" -maxdepth 1 -iname photo.jpg -printf '%f')"
           temporaries)"
  rm -rf "$src/Case" "$mnt/case"
fi

# ---- 6c. Twins beyond ASCII: names that differ in case by Unicode's tables
# (É é, Ä ä, Σ σ ς, ß ẞ), and the two forms of é (one letter, or e and an
# accent). Of each group, as many files are copied as the volume holds
# entries when all its names are written there; the others fail saying why.
# Nothing is lost, also in a repeat: each file is copied under its own name
# with its own content, or it fails.
nfc=$(printf 'caf\xc3\xa9.txt') nfd=$(printf 'cafe\xcc\x81.txt')
groups=("É.txt é.txt" "Ärger.txt ärger.txt ÄRGER.TXT" "Σ.txt σ.txt ς.txt" "Straße.txt STRAẞE.txt" "$nfc $nfd")
mkdir -p "$src/Uni"
holds=()
for group in "${groups[@]}"; do
  mkdir -p "$mnt/apart/${#holds[@]}"
  for f in $group; do
    printf '%s\n' "$f" > "$src/Uni/$f"
    : 2> /dev/null > "$mnt/apart/${#holds[@]}/$f"
  done
  holds+=("$(find "$mnt/apart/${#holds[@]}" -mindepth 1 -printf x | wc -c)")
done
rm -rf "$mnt/apart"
touch -d "@1700300001" "$src/Uni/"*
unicode_problems() {  # OUTPUT-NAME FIRST-RUN(yes|no)
  local group f kept i=0 copied=0 total=0 listed
  listed=$(find "$mnt/uni/Uni" -mindepth 1 -maxdepth 1 -printf '%f\n' 2> /dev/null)
  for group in "${groups[@]}"; do
    kept=0
    for f in $group; do
      total=$((total + 1))
      if LC_ALL=C grep -qxF -- "$f" <<< "$listed"; then
        kept=$((kept + 1))
        cmp -s "$src/Uni/$f" "$mnt/uni/Uni/$f" || echo "$f holds another file"
      elif ! grep -qF -- "Uni/$f'" "$work/$1.err"; then
        echo "lost: $f (neither copied nor failed)"
      fi
    done
    [ "$kept" -eq "${holds[$i]}" ] || echo "$kept of '$group' copied, where the volume holds ${holds[$i]}"
    copied=$((copied + kept)) i=$((i + 1))
  done
  [ $nonascii = yes ] || [ "$(grep -c 'which does not tell upper from lower case' "$work/$1.err")" -eq $((total - copied)) ] ||
    echo "not $((total - copied)) twins refused: $(head -c 400 "$work/$1.err")"
  if [ "$2" = yes ]; then set -- "$1" "$copied copied, 0 up to date"; else set -- "$1" "0 copied, $copied up to date"; fi
  grep -q "Files: $2, $((total - copied)) failed" "$work/$1.out" || echo "the summary: $(tail -n 1 "$work/$1.out")"
  status_is $((copied < total)) "$1"
}
backup unicode --overwrite --dest "$mnt/uni" "$src/Uni"
check "twins by Unicode's case and the two forms of é (entries: ${holds[*]}): nothing lost" \
      "$(unicode_problems unicode yes; temporaries)"
backup unicode2 --overwrite --dest "$mnt/uni" "$src/Uni"
check "a repeat of them: the same twins fail, every copy up to date and its own" \
      "$(unicode_problems unicode2 no; temporaries)"
rm -rf "$src/Uni" "$mnt/uni"

# ---- 7. Two backups of one tree into one fresh destination at once: one
# waits for the other; both end well, every file whole, no temporaries.
mkdir -p "$src/Twice"
for d in 0 1 2 3 4 5 6 7 8 9; do
  mkdir -p "$src/Twice/d$d"
  for f in $(seq 0 19); do head -c $((f * 97 + d)) /dev/urandom > "$src/Twice/d$d/f$f"; done
done
timeout 120 "$cli" --on-error continue --overwrite --jobs 4 --dest "$mnt/twice" "$src/Twice" \
  > "$work/twice1.out" 2> "$work/twice1.err" & first=$!
timeout 120 "$cli" --on-error continue --overwrite --jobs 4 --dest "$mnt/twice" "$src/Twice" \
  > "$work/twice2.out" 2> "$work/twice2.err"; second=$?
wait $first; first=$?
check "two backups into one destination at once: both end well, every file whole" \
      "$([ $first -eq 0 ] || echo "the first ended with $first: $(head -c 300 "$work/twice1.err")"
         [ $second -eq 0 ] || echo "the second ended with $second: $(head -c 300 "$work/twice2.err")"
         diff -r "$src/Twice" "$mnt/twice/Twice" > /dev/null || echo "the copies differ from the source"
         temporaries)"
rm -rf "$src/Twice" "$mnt/twice"

# ---- 8. A full volume.
# An earlier copy that the full volume must leave whole, then the volume
# filled up to about 2 MiB.
mkdir -p "$src/Full"
head -c 4096 /dev/urandom > "$src/Full/earlier.bin"
echo "first small" > "$src/Full/small1.txt"
backup fullprep --dest "$mnt/full" "$src/Full"
check "a backup into the volume before it is full" "$(status_is 0 fullprep)"
cp "$src/Full/earlier.bin" "$work/earlier.bin"
fill=$mnt/filler
mkdir -p "$fill"
for chunk in 8 1; do
  i=0
  while dd if=/dev/zero of="$fill/$chunk-$i" bs=1M count=$chunk status=none conv=fsync 2> /dev/null; do
    i=$((i + 1))
  done
  rm -f "$fill/$chunk-$i"  # the one that did not fit
done
rm -f "$fill/1-0" "$fill/1-1"
head -c $((8 << 20)) /dev/urandom > "$src/Full/earlier.bin"
head -c $((8 << 20)) /dev/urandom > "$src/Full/huge.bin"
echo "second small" > "$src/Full/small2.txt"
backup full --overwrite --dest "$mnt/full" "$src/Full"
check "full volume: the files that don't fit fail one by one, the others are copied" \
      "$(status_is 1 full
         for f in earlier.bin huge.bin; do grep -qF "Full/$f" "$work/full.err" || echo "no message for $f"; done
         for f in small1.txt small2.txt; do cmp -s "$src/Full/$f" "$mnt/full/Full/$f" || echo "$f not copied"; done)"
check "full volume: nothing partial, the earlier copy whole, no temporaries" \
      "$(cmp -s "$work/earlier.bin" "$mnt/full/Full/earlier.bin" || echo "the earlier copy of earlier.bin changed"
         [ -e "$mnt/full/Full/huge.bin" ] && echo "a partial huge.bin: $(stat -c %s "$mnt/full/Full/huge.bin") bytes"
         temporaries)"
check "full volume: the earlier backup is intact" "$(tree_problems)"

echo "$fs: $failures check(s) failed"
[ $failures -eq 0 ]
