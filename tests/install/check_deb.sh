#!/usr/bin/env bash
# Checks a .deb made by `make package`: its dependencies came from
# dpkg-shlibdeps, it holds what `cmake --install` puts in place, and the
# opera2mbox unpacked from it into a scratch root runs.
#   check_deb.sh PACKAGE.deb SCRATCH_ROOT
set -u
deb=$1 root=$2
fail() { echo "deb check: $*"; exit 1; }
[ -f "$deb" ] || fail "no package $deb"

depends=$(dpkg-deb -f "$deb" Depends) || fail "$deb is not a package"
for lib in libgmime-3.0 libqt6widgets6 libc6 qt6-qpa-plugins; do
  case $depends in
    *"$lib"*) ;;
    *) fail "Depends lacks $lib: $depends" ;;
  esac
done

rm -rf "$root"
dpkg -x "$deb" "$root" || fail "dpkg -x failed"
for f in usr/bin/opera2mbox usr/bin/TovalyOpera2MBOXConverter; do
  [ -x "$root/$f" ] || fail "$f is not in the package as a program"
done
[ -s "$root/usr/bin/manual.html" ] || fail "the manual is not beside the window"
[ -f "$root/usr/share/applications/tovaly-opera2mbox.desktop" ] || fail "no desktop entry"
version=$("$root/usr/bin/opera2mbox" --version) || fail "opera2mbox from the package does not run"
[ "$version" = "opera2mbox 1.00" ] || fail "opera2mbox from the package says '$version'"
echo "ok: $(basename "$deb") ($(stat -c %s "$deb") bytes), Depends: $depends"
