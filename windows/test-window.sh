#!/usr/bin/env bash
# The window's Windows build under Wine, on a virtual display:
#   1. its test suites (CTest label "window"), on Qt's offscreen platform;
#   2. the real window, driven with xdotool: Add Folder on a store, Convert
#      into a new folder, the completion box, Exit; its mailboxes must be the
#      Linux opera2mbox --line-ends=crlf ones byte for byte; screenshots are
#      kept in BUILD/window-check/;
#   3. the setup program installed silently (/S), the installed
#      opera2mbox.exe --version run and the installed window started, then
#      uninstalled silently, leaving no file, shortcut or registry key.
#
#   windows/test-window.sh BUILD LINUX_OPERA2MBOX SETUP_EXE
# Environment: WINEPREFIX (a 64-bit prefix of its own; made when missing),
# DISPLAY_NUM (88), JOBS, STEPS (which of "tests window setup" to run; all).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd) linux_cli=$(readlink -f "$2") setup=$(readlink -f "$3")
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix to use}"
export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all
export DISPLAY=:${DISPLAY_NUM:-88}
JOBS=${JOBS:-2}
STEPS=" ${STEPS:-tests window setup} "
TITLE='Tovaly Opera to MBOX Converter'
work=$build/window-check
mkdir -p "$work"

log() { echo "window check: $*" >&2; }
fail() { log "FAILED: $*"; exit 1; }

pids=()
cleanup() {
  local p
  wineserver -k 2>/dev/null || true  # this prefix's server and programs only
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

wait_for() { # wait_for SECONDS COMMAND...: until the command succeeds
  local end=$(( $(date +%s) + $1 )); shift
  until "$@"; do [ "$(date +%s)" -lt "$end" ] || return 1; sleep 0.2; done
}
has_window() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
# The main window and a message box over it both carry the program's name.
box_open() { [ "$(xdotool search --onlyvisible --name 'Opera to MBOX Converter' 2>/dev/null | wc -l)" -ge 2 ]; }
main_window() { xdotool search --onlyvisible --name "^$TITLE\$" | head -1; }
no_main_window() { ! has_window "^$TITLE\$"; }
winpath() { echo "Z:$(readlink -f "$1" | tr / '\\')"; }
shot() { import -window root "$work/$1.png"; log "screenshot $work/$1.png"; }
# Types a folder into the folder dialog and presses Enter.
pick_folder() {
  wait_for 60 has_window '^(Select Folder|Choose .*)$' || fail "no folder dialog"
  sleep 1
  xdotool type --delay 20 "$1"; sleep 0.5; xdotool key Return
}

# ---- the display and Wine ----------------------------------------------------
[ ! -e "/tmp/.X11-unix/X${DISPLAY#:}" ] || fail "display $DISPLAY is taken"
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
wait_for 20 test -e "/tmp/.X11-unix/X${DISPLAY#:}" || fail "Xvfb did not start"
openbox >/dev/null 2>&1 & pids+=($!)
[ -d "$WINEPREFIX" ] || wineboot -i </dev/null >/dev/null 2>&1 || true
wineserver -k 2>/dev/null || true   # one started without this display
wineserver -w
# One server and desktop process, started before any test and with no
# standard streams of a test to hold open; no crash dialog to wait on.
wineserver -p
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1

# ---- 1. the test suites ------------------------------------------------------
if [[ $STEPS == *" tests "* ]]; then
t0=$(date +%s)
(cd "$build" && timeout 1500 ctest -L window --output-on-failure --timeout 300 -j "$JOBS") \
  || fail "the window's tests"
log "test suites under Wine: $(( $(date +%s) - t0 )) s"
fi

# ---- 2. the real window ------------------------------------------------------
if [[ $STEPS == *" window "* ]]; then
# The sample store and a generated one of 200 messages in many folders.
store=$work/store
rm -rf "$store" "$work/linux" "$work/windows" "$work"/*.png
mkdir -p "$store"
cp -r "$here/../samples/store/." "$store/"
python3 "$here/../tests/cli/make_test_store.py" --out "$store/generated" --messages 200 --seed 11 >/dev/null
"$linux_cli" -q --line-ends=crlf -o "$work/linux" "$store" >/dev/null || true
mkdir -p "$work/windows"

t0=$(date +%s)
(cd "$build/app" && exec wine TovalyOpera2MBOXConverter.exe) >"$work/wine.log" 2>&1 & pids+=($!)
wait_for 120 has_window "^$TITLE\$" || { cat "$work/wine.log" >&2; fail "the window did not open"; }
sleep 2
shot window-open
# Add Folder having MBS File(s)...: the button's centre (twips / 15)
xdotool mousemove --window "$(main_window)" 252 76 click 1
pick_folder "$(winpath "$store")"
wait_for 300 box_open || fail "Add Folder: no summary box"
sleep 1
shot window-added
xdotool key Return
wait_for 30 bash -c '[ "$(xdotool search --onlyvisible --name "Opera to MBOX Converter" | wc -l)" -lt 2 ]' || true
# Convert Messages to MBOX File (Alt+M), the output folder, the completion box
timeout 10 xdotool windowactivate --sync "$(main_window)" || true
xdotool key alt+m
pick_folder "$(winpath "$work/windows")"
wait_for 600 box_open || fail "Convert: no completion box"
sleep 1
shot window-converted
xdotool key Return; sleep 1
# Exit, Yes
timeout 10 xdotool windowactivate --sync "$(main_window)" || true
xdotool key alt+x; sleep 1; xdotool key Return
wait_for 60 no_main_window || fail "the window did not close on Exit, Yes"
log "window: open, Add Folder, Convert, Exit in $(( $(date +%s) - t0 )) s"

mailboxes=$(find "$work/windows" -name '*.mbox' | wc -l)
[ "$mailboxes" -gt 0 ] || fail "the window wrote no mailbox"
diff -r "$work/linux" "$work/windows" >"$work/diff.txt" \
  || fail "the window's mailboxes differ from the Linux ones (see $work/diff.txt)"
log "$mailboxes mailboxes, byte for byte those of the Linux opera2mbox --line-ends=crlf"
fi

# ---- 3. the setup program ----------------------------------------------------
[[ $STEPS == *" setup "* ]] || exit 0
dir="$WINEPREFIX/drive_c/Program Files/$TITLE"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$TITLE.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TovalyOpera2MBOXConverter'
if [ -e "$dir" ] || [ -e "$shortcut" ]; then  # left by a run that stopped half-way
  log "removing an earlier install"
  rm -rf "$dir" "$shortcut"
  wine reg delete "$key" /f </dev/null >/dev/null 2>&1 || true
fi
timeout 300 wine "$setup" /S </dev/null >/dev/null 2>&1 || fail "the setup program failed"
for f in TovalyOpera2MBOXConverter.exe opera2mbox.exe manual.html LICENSE-NOTICE.txt uninstall.exe; do
  [ -f "$dir/$f" ] || fail "not installed: $f"
done
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
wine reg query "$key" /v DisplayVersion </dev/null 2>/dev/null | tr -d '\r' | grep -q "REG_SZ.*[0-9]" \
  || fail "not registered under Add/Remove Programs"
version=$(timeout 60 wine "$dir/opera2mbox.exe" --version </dev/null 2>/dev/null | tr -d '\r')
[ "$version" = "opera2mbox 1.00" ] || fail "installed opera2mbox.exe --version says '$version'"
(cd "$dir" && exec wine TovalyOpera2MBOXConverter.exe) >"$work/installed.log" 2>&1 & pids+=($!)
wait_for 120 has_window "^$TITLE\$" || fail "the installed window did not open"
sleep 1
shot installed-window
timeout 10 xdotool windowactivate --sync "$(main_window)" || true
xdotool key alt+x; sleep 1; xdotool key Return
wait_for 60 no_main_window || fail "the installed window did not close"
log "silent install: $(ls "$dir" | tr '\n' ' '); opera2mbox.exe --version: $version; the window opened"

# The uninstaller copies itself to the temporary folder, starts that copy
# and returns: wait for the files to go.
timeout 300 wine "$dir/uninstall.exe" /S </dev/null >/dev/null 2>&1 || fail "the uninstaller failed"
wait_for 120 test ! -e "$dir" || fail "left behind: $(ls "$dir" 2>&1 | tr '\n' ' ')"
[ ! -e "$shortcut" ] || fail "the Start-menu shortcut is left behind"
! wine reg query "$key" </dev/null >/dev/null 2>&1 || fail "the Add/Remove Programs entry is left behind"
log "silent uninstall: no file, shortcut or registry key left"
