#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks that a user gets both
# programs, the manual beside the window, and (on Linux) a valid desktop
# entry whose icon is installed in every size. With "no-window" as the third
# argument (a build without Qt) it checks opera2mbox alone, and that nothing
# of the window is installed.
set -u
build=$1 prefix=$2 window=${3:-window}
fail() { echo "install check: $*"; exit 1; }
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log"; fail "cmake --install failed"; }

[ -x "$prefix/bin/opera2mbox" ] || fail "bin/opera2mbox is not installed as a program"
version=$("$prefix/bin/opera2mbox" --version) || fail "installed opera2mbox does not run"
[ "$version" = "opera2mbox 1.00" ] || fail "installed opera2mbox says '$version'"

if [ "$window" = no-window ]; then
  for f in bin/TovalyOpera2MBOXConverter bin/manual.html share/applications/tovaly-opera2mbox.desktop; do
    [ ! -e "$prefix/$f" ] || fail "$f is installed by a build without the window"
  done
  echo "ok: installed into $prefix (command line only)"
  exit 0
fi
[ -x "$prefix/bin/TovalyOpera2MBOXConverter" ] || fail "bin/TovalyOpera2MBOXConverter is not installed as a program"
[ -s "$prefix/bin/manual.html" ] || fail "the manual is not beside the window"

if [ "$(uname -s)" = Linux ]; then
  desktop=$prefix/share/applications/tovaly-opera2mbox.desktop
  [ -f "$desktop" ] || fail "no desktop entry"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop entry does not validate"
  fi
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  exe=$(sed -n 's/^Exec=//p' "$desktop")
  [ -x "$prefix/bin/$exe" ] || fail "desktop entry runs '$exe', which is not installed"
  for size in 16 24 32 48 256; do
    png=$prefix/share/icons/hicolor/${size}x${size}/apps/$icon.png
    [ -f "$png" ] || fail "icon $png missing"
  done
fi
echo "ok: installed into $prefix"
