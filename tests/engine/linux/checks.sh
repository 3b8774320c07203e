# The checks of the file-system matrix scripts. Sourced; the caller sets
#   cli  the tandrel-cli to run, work  a folder for what it prints,
# and may set backup_timeout (seconds, 120 unless set).
failures=0
check() {  # DESCRIPTION PROBLEMS: passes when PROBLEMS is empty
  if [ -z "$2" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1:"
    printf '%s\n' "$2" | head -n 12 | sed 's/^/       /'
    failures=$((failures + 1))
  fi
}
backup() {  # OUTPUT-NAME ARGS...: runs tandrel-cli, leaves its status in $status
  local out=$work/$1; shift
  timeout "${backup_timeout:-120}" "$cli" --on-error continue "$@" > "$out.out" 2> "$out.err"
  status=$?
}
