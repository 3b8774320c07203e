#!/usr/bin/env bash
# Kills tandrel-cli with SIGKILL at random moments of an overwrite backup
# over an earlier one, until 50 runs were killed before they ended. After
# every kill each target holds, whole, either the copy it held before or the
# source's new content, and nothing else appears in the destination.
# Temporary files of the recognisable name (".~tandrel-" + 12 hex digits +
# ".tmp") that a killed run leaves are removed by the next backup that writes
# to their folder, and only those: look-alikes and leftovers in folders the
# backup does not write to stay.
#
#   interrupted_backup.sh TANDREL-CLI [KILLS=50] [SEED]
set -euo pipefail

cli=$1
kills=${2:-50}
seed=${3:-$(( $(date +%s) % 32768 ))}
RANDOM=$seed
echo "interrupted backups: $kills kills, seed $seed (pass it as the third argument to repeat them)"

# In memory when it can: what is tested is what the program leaves behind
# when killed, and the disk's own speed would only make the rounds slower.
base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/tandrel-interrupt.XXXXXX")
export XDG_CONFIG_HOME="$work/config"  # the test's own memory of destinations
trap 'rm -rf "$work"' EXIT
src=$work/src/Data
dest=$work/dest
fail() { echo "FAILED (seed $seed): $*" >&2; exit 1; }

# 20 small files, 10 medium ones and 2 large ones, in three folders. Every
# version of a file starts with its own line, and a cut-off copy is shorter.
files=()
for i in $(seq -w 1 20); do files+=("a/s$i"); done
for i in $(seq -w 1 10); do files+=("b/m$i"); done
files+=("c/l1" "c/l2")
sources=("${files[@]/#/$src/}")
targets=("${files[@]/#/$dest/Data/}")

write_version() {  # VERSION: gives every source file new content, of a new size
  perl -e '
    my ($root, $seed, $version, @names) = @ARGV; srand($seed * 1000 + $version);
    for my $name (@names) {
      my $size = $name =~ m{^a/} ? 4096 + int(rand(60)) * 1024
               : $name =~ m{^b/} ? 131072 + int(rand(8)) * 32768 : 2097152 + int(rand(8)) * 131072;
      my $head = "$name version $version\n";
      my $body = substr(($head x (1 + int($size / length($head)))), 0, $size - length($head));
      open(my $f, ">", "$root/$name") or die "$root/$name: $!"; print $f $head, $body; close $f or die; }' \
    "$src" "$seed" "$1" "${files[@]}"
}

# Compares the targets with what they held before ($work/before, "name
# digest" lines) and with the sources; writes what they hold now to
# $work/now and prints "targets old new" and the names of any other content.
compare() {
  { md5sum "${sources[@]}" "${targets[@]}" 2> /dev/null || true; } |
    awk -v src="$src/" -v dst="$dest/Data/" -v now="$work/now" '
      FNR == NR { old[$1] = $2; next }
      { digest = substr($0, 1, 32); path = substr($0, 35)
        if (index(path, src) == 1) new[substr(path, length(src) + 1)] = digest
        else held[substr(path, length(dst) + 1)] = digest }
      END { for (name in held) {
              seen++; d = held[name]; print name, d > now
              if (d == new[name]) n++; else if (d == old[name]) o++; else bad = bad " " name }
            print seen + 0, o + 0, n + 0, bad }' "$work/before" -
}

# A pause without starting a process (that alone takes milliseconds here):
# a read that times out on a pipe nobody writes to.
exec {never}<> <(:)
pause() { read -r -t "$1" -u "$never" _ || true; }
backup() {
  "$cli" --overwrite --on-error stop --jobs 4 --dest "$dest" "$src" > /dev/null 2> "$work/stderr"
}

mkdir -p "$src/a" "$src/b" "$src/c" "$dest/Other"
write_version 0
backup || fail "the first backup failed: $(cat "$work/stderr")"
echo "none x" > "$work/before"
read -r seen _ new _ <<< "$(compare)"
[ "$seen" -eq ${#files[@]} ] && [ "$new" -eq ${#files[@]} ] || fail "the first backup did not copy every file"
mv "$work/now" "$work/before"

# Things that look like leftovers but are not, or lie where no backup writes:
# they must all survive every round.
keep=("Data/a/.~tandrel-0123456789AB.tmp" "Data/a/.~tandrel-0123456789abc.tmp" "Data/b/x.~tandrel-0123456789ab.tmp"
      "Data/b/.~tandrel-0123456789ab.tmp.bak" "Data/c/.~tandrel-0123456789ab.TMP" "Other/.~tandrel-0123456789ab.tmp")
for k in "${keep[@]}"; do echo "keep $k" > "$dest/$k"; done

# How long a whole backup of changed files takes (the best of three), to
# spread the kills over. (A backup with nothing changed leaves every copy
# alone and takes far less.)
full_us=0
for i in 1 2 3; do
  write_version $((1000 + i))
  start=${EPOCHREALTIME/[.,]/}
  backup || fail "a backup failed: $(cat "$work/stderr")"
  took=$(( ${EPOCHREALTIME/[.,]/} - start ))
  if [ $full_us -eq 0 ] || [ $took -lt $full_us ]; then full_us=$took; fi
done
compare > /dev/null
mv "$work/now" "$work/before"

folders=(a b c)
killed=0 mixed=0 planted=0 removed=0 round=0
# Rounds go on until enough runs were killed before they ended (a kill can
# come too late); a bound keeps a slow machine from going on for ever.
while [ $killed -lt "$kills" ] && [ $round -lt $((kills * 3)) ]; do
  round=$((round + 1))
  write_version "$round"
  # A leftover of a killed copy, in one of the folders the backup writes to.
  printf -v leftover 'Data/%s/.~tandrel-%04x%04x%04x.tmp' "${folders[RANDOM % 3]}" $RANDOM $RANDOM $RANDOM
  echo "partial" > "$dest/$leftover"
  planted=$((planted + 1))

  delay_us=$(( (RANDOM * 32768 + RANDOM) % full_us ))
  printf -v delay '%d.%06d' $((delay_us / 1000000)) $((delay_us % 1000000))
  "$cli" --overwrite --on-error stop --jobs 4 --dest "$dest" "$src" > /dev/null 2> "$work/stderr" &
  pid=$!
  pause "$delay"
  kill -KILL "$pid" 2> /dev/null || true
  status=0
  { wait "$pid"; } 2> /dev/null || status=$?
  if [ $status -eq 137 ]; then
    killed=$((killed + 1))
  elif [ $status -ne 0 ]; then
    fail "round $round: tandrel-cli ended with $status: $(cat "$work/stderr")"
  fi

  # Every target: present, whole, and the old copy or the new content.
  read -r seen old new bad <<< "$(compare)"
  [ -z "$bad" ] || fail "round $round: neither the old copy nor the new content in:$bad"
  [ "$seen" -eq ${#files[@]} ] || fail "round $round: a target is missing"
  if [ "$old" -gt 0 ] && [ "$new" -gt 0 ]; then mixed=$((mixed + 1)); fi
  # The span the kills are spread over follows the machine's speed, which
  # on a shared machine changes after the first measure: a kill before any
  # copy was placed widens it, a run that ended before its kill narrows it.
  if [ $status -eq 137 ] && [ "$new" -eq 0 ]; then
    full_us=$((full_us * 5 / 4))
  elif [ $status -eq 0 ]; then
    full_us=$((full_us * 4 / 5 + 1))
  fi
  if [ $status -eq 0 ] && [ "$old" -gt 0 ]; then fail "round $round: a backup that finished left old copies"; fi
  mv "$work/now" "$work/before"

  # Nothing else in the destination than the targets, what must be kept,
  # its record of hashes and its index, and leftovers of the recognisable
  # name; a killed backup leaves its lock file, which the next one removes.
  stray=$(find "$dest" -type f | awk -v dest="$dest/" -v allowed="${files[*]/#/Data/} ${keep[*]} .tandrel-lock .tandrel-hashes .tandrel-index" '
    BEGIN { n = split(allowed, list, " "); for (i = 1; i <= n; i++) ok[list[i]] = 1 }
    { rel = substr($0, length(dest) + 1); name = rel; sub(/.*\//, "", name)
      if (!(rel in ok) && rel !~ /^Tandrel Versions\// && !(name ~ /^\.~tandrel-[0-9a-f]+\.tmp$/ && length(name) == 26)) print rel }')
  [ -z "$stray" ] || fail "round $round: stray files: $stray"
  if [ $status -eq 0 ] && [ -e "$dest/.tandrel-lock" ]; then fail "round $round: a finished backup left its lock file"; fi
  if [ -e "$dest/$leftover" ]; then
    if [ $status -eq 0 ]; then fail "round $round: a finished backup left $leftover"; fi
  else
    removed=$((removed + 1))
  fi
done

# One more backup, left to finish, cleans every folder it writes to.
write_version final
backup || fail "the last backup failed: $(cat "$work/stderr")"
read -r seen _ new _ <<< "$(compare)"
[ "$new" -eq ${#files[@]} ] || fail "the last backup did not copy the last version"
left=$(find "$dest/Data" -type f -name '.~tandrel-*.tmp' | awk '{ n = $0; sub(/.*\//, "", n) }
  n ~ /^\.~tandrel-[0-9a-f]+\.tmp$/ && length(n) == 26' | wc -l)
[ "$left" -eq 0 ] || fail "$left leftovers remain after a finished backup"
for k in "${keep[@]}"; do
  [ "$(cat "$dest/$k" 2> /dev/null)" = "keep $k" ] || fail "$k was removed or changed"
done

echo "interrupted backups: $killed of $round runs killed before they ended, $mixed left a mix of old and" \
     "new copies, $removed of $planted planted leftovers removed by the run after them"
[ $killed -ge "$kills" ] || fail "only $killed runs could be killed before they ended"
# Kills spread over whole runs must catch some in the middle of the copy.
if [ $mixed -eq 0 ]; then fail "no kill landed in the middle of a backup"; fi
