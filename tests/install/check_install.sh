#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks that a user gets both
# programs, the manual beside the window, and (on Linux) a valid desktop
# entry whose icon is installed in every size.
set -u
build=$1 prefix=$2
fail() { echo "install check: $*"; exit 1; }
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log"; fail "cmake --install failed"; }

for f in bin/TovalyOpera2MBOXConverter bin/opera2mbox; do
  [ -x "$prefix/$f" ] || fail "$f is not installed as a program"
done
[ -s "$prefix/bin/manual.html" ] || fail "the manual is not beside the window"
version=$("$prefix/bin/opera2mbox" --version) || fail "installed opera2mbox does not run"
[ "$version" = "opera2mbox 1.00" ] || fail "installed opera2mbox says '$version'"

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
