# What a Wine scenario can call. The runner (tests/wine/run) sources this file and then the
# scenario, in a subshell of its own, with these set:
#   SRC       the source tree
#   WIN_BIN   the windows-x64 programs (build/windows-x64/bin)
#   HOST_BIN  the host build's programs (build/linux/bin), for host-side counterparts
#   WORK      this scenario's scratch directory, empty at start (build/wine/scenarios/<name>)
#   TEMPLATE  the seeded template prefix (never written by a scenario)
# A scenario fails when any expect_* failed or when it exits non-zero; the runner then keeps WORK
# for a look and ends the prefix's wineserver whatever happened.

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
FAILURES=0

# Makes this scenario's prefix, $WORK/prefix, a copy of the template (Version winxp64, no
# display driver), and points every later wine call at it. DRIVE_C is its C: drive.
use_prefix() {
  rm -rf "$WORK/prefix"
  cp -a "$TEMPLATE" "$WORK/prefix"
  export WINEPREFIX="$WORK/prefix"
  DRIVE_C="$WINEPREFIX/drive_c"
}

# The Windows version Wine reports: winxp (5.1), winxp64 (5.2), win7, ..., or "default" for
# Wine's own default.
set_wine_version() {
  if [ "$1" = default ]; then
    "$WINE" reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1
  else
    "$WINE" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1
  fi || fail "could not set the Wine version to $1"
}

# The Windows form of an absolute Unix path: every prefix maps Z: to /. Worked out here rather than
# by winepath, a Wine process of its own that, once under load, printed nothing, so that regedit
# was given no file and the key a scenario seeds was silently missing.
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

# wine_run [-t SECONDS] [-C DIR] PROGRAM [ARGS...]: runs a Windows program in the prefix, from DIR
# (default $WORK), its console output in $WORK/stdout and $WORK/stderr. RC is its exit status:
# Linux keeps only the low 8 bits of a Windows result (3012 reads as 196, -30 as 226).
# A program still running after SECONDS (default 60) is a failure.
wine_run() {
  local seconds=60 dir="$WORK"
  while [ $# -gt 0 ]; do
    case $1 in
      -t) seconds=$2; shift 2 ;;
      -C) dir=$2; shift 2 ;;
      *) break ;;
    esac
  done
  RC=0
  (cd "$dir" && timeout -k 5 "$seconds" "$WINE" "$@" >"$WORK/stdout" 2>"$WORK/stderr") || RC=$?
  if [ "$RC" -eq 124 ] || [ "$RC" -eq 137 ]; then
    fail "$(basename "$1") still ran after ${seconds}s"
  fi
  return 0
}

# Imports a .reg file (Unix path) with regedit /s.
reg_import() {
  "$WINE" regedit /s "$(winpath "$1")" >"$WORK/regedit.out" 2>&1 || fail "regedit /s $1 failed: $(cat "$WORK/regedit.out")"
}

# reg_query KEY [VALUE]: prints what "reg query" prints (line ends cleaned); fails like it.
reg_query() {
  if [ $# -ge 2 ]; then
    "$WINE" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r'
  else
    "$WINE" reg query "$1" 2>/dev/null | tr -d '\r'
  fi
  return "${PIPESTATUS[0]}"
}

# Waits for every process of the prefix to end and its wineserver to go (at most SECONDS,
# default 30). Fails, and kills this prefix's server, when something is still running.
end_wineserver() {
  local seconds=${1:-30}
  [ -n "${WINEPREFIX:-}" ] || return 0
  if ! timeout "$seconds" "$WINESERVER" -w; then
    fail "processes of the prefix still ran after ${seconds}s: $(prefix_processes | tr '\n' ' ')"
    "$WINESERVER" -k 2>/dev/null || true
  fi
}

# Command lines of the Linux processes that belong to this scenario's prefix.
prefix_processes() {
  local pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline"
    echo
  done
}

# The lines of a log file after their time stamp (level and text), without the CR. A line whose
# stamp is not "dd/mm/yyyy hh:mm:ss.mmm" followed by a tab is kept whole, so that it shows up.
log_tail() {
  tr -d '\r' <"$1" | sed -E 's#^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\t##'
}

# --- Expectations: each failure is reported and counted; the scenario goes on. ---

fail() {
  echo "  FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}

note() { echo "  NOTE: $*"; }

expect_eq() {  # ACTUAL EXPECTED WHAT
  [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"
}

expect_rc() {  # the low 8 bits of the expected Windows result
  expect_eq "$RC" "$(( $1 & 255 ))" "exit status (result $1)"
}

# expect_text WHAT FILE <<EOF ... EOF: the file's whole content, line ends (CR LF or LF) aside,
# is the text on standard input. FILE may be a process substitution such as <(log_tail ...).
expect_text() {
  local what=$1 file=$2
  if [ ! -r "$file" ]; then
    fail "$what: $file is missing"
    cat >/dev/null
    return
  fi
  if ! diff -u - <(tr -d '\r' <"$file") >"$WORK/diff" 2>&1; then
    fail "$what differs (- expected, + got):"
    sed 's/^/    /' "$WORK/diff" >&2
  fi
}

expect_contains() {  # FILE FIXED-TEXT WHAT
  grep -qF -- "$2" "$1" 2>/dev/null || fail "$3: '$2' not in $1"
}

expect_lacks() {  # FILE FIXED-TEXT WHAT
  ! grep -qF -- "$2" "$1" 2>/dev/null || fail "$3: '$2' is in $1"
}

expect_exists() { [ -e "$1" ] || fail "$2: $1 is missing"; }
expect_missing() { [ ! -e "$1" ] || fail "$2: $1 exists"; }

expect_key() {  # KEY WHAT
  reg_query "$1" >/dev/null || fail "$2: key $1 is missing"
}
expect_no_key() {
  ! reg_query "$1" >/dev/null || fail "$2: key $1 exists"
}

# relay_trace MODULE FUNCTION...: the next runs with WINEDEBUG=+pid,+relay write to their stderr
# each call that MODULE (an executable's name without extension) makes to these functions
# ("user32.ShowWindow"), with its arguments and result. Wine's own processes of the session
# (explorer, services) inherit the setting, so relay_calls picks out one process's calls.
relay_trace() {
  local from=$1
  shift
  local IFS=';'
  "$WINE" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d "$*" /f >/dev/null 2>&1 &&
    "$WINE" reg add 'HKCU\Software\Wine\Debug' /v RelayFromInclude /d "$from" /f >/dev/null 2>&1 ||
    fail "could not set up the relay trace"
}
# relay_calls STDERR-FILE DLL: the "Call f(args)" and "Ret  f() retval=..." lines of the process
# that loaded DLL (a name only that program loads, such as "log.dll"), without ids and return
# addresses.
relay_calls() {
  local pid
  pid=$(grep -aF "L\"$2\",reason=PROCESS_ATTACH" "$1" | head -n 1 | cut -d: -f1)
  [ -n "$pid" ] || { fail "no process loaded $2"; return; }
  grep -aE "^$pid:[0-9a-f]+:(Call|Ret) +[a-z0-9_]+\.[A-Za-z0-9_]+\(" "$1" |
    sed -E 's/^[0-9a-f]+:[0-9a-f]+://; s/ ret=[0-9a-f]+$//'
}

# reg_file NAME <<EOF ... EOF: writes the text on standard input as $WORK/NAME.reg, in the
# regedit export format with CR LF line ends, and imports it with regedit /s.
reg_file() {
  { printf 'Windows Registry Editor Version 5.00\n\n'; cat; } | sed 's/$/\r/' >"$WORK/$1.reg"
  reg_import "$WORK/$1.reg"
}

# The spooler's state in the prefix as the registry and the driver directory hold it: the values
# under the keys of printers, drivers, monitors and ports, each with its key, and the files under
# spool. Two snapshots compare equal when nothing of the print system was added or removed (the
# spooler's first use lays out empty keys and folders, which do not count).
print_state() {
  local key
  for key in 'HKLM\System\CurrentControlSet\Control\Print\Printers' \
      'HKLM\System\CurrentControlSet\Control\Print\Environments\Windows x64\Drivers' \
      'HKLM\System\CurrentControlSet\Control\Print\Monitors' \
      'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Ports'; do
    "$WINE" reg query "$key" /s 2>/dev/null | tr -d '\r' |
      awk '/^HKEY_/ { key = $0; next } /REG_/ { print key ": " $0 }'
  done
  (cd "$DRIVE_C/windows/system32/spool" 2>/dev/null && find . -type f | sort)
}
