#!/usr/bin/env bash
# Builds what the Windows cross-build links against -- GLib and GMime as
# static libraries for x86_64-w64-mingw32, from Debian's source packages --
# into a cache folder outside the source tree, once per machine. A change to
# this script changes the cache key, so the next run builds afresh.
#
#   windows/build-deps.sh            # prints the prefix when done
#   TOVALY_WINDOWS_CACHE=DIR windows/build-deps.sh
#
# Notes on the pieces:
# - pcre2 is pinned to the main-archive version: the security pool may lack
#   its source package.
# - Debian has no MinGW gettext; GLib gets a pass-through libintl (we ship no
#   translations), placed where GLib looks for its proxy-libintl subproject.
# - GMime needs iconv(): GLib's win_iconv.c serves, built as libiconv.a with
#   GNU-libiconv names so it cannot clash with the copy inside libglib.
# - GMime's configure cannot run iconv-detect when cross-compiling: it is
#   built and run under Wine instead.
# - The -posix MinGW compilers give std::thread and std::mutex.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
key=$(sha256sum "$here/build-deps.sh" | cut -c1-16)
CACHE=${TOVALY_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tovaly-windows-deps}
WORK=$CACHE/$key
PREFIX=$WORK/prefix
if [ -f "$WORK/done" ]; then
  echo "$PREFIX"
  exit 0
fi

HOST=x86_64-w64-mingw32
SRC=$WORK/src
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
CC=$HOST-gcc-posix
CXX=$HOST-g++-posix
MINGW_SYSROOT=/usr/$HOST
export PKG_CONFIG_LIBDIR=$PREFIX/lib/pkgconfig:$MINGW_SYSROOT/lib/pkgconfig
export PKG_CONFIG_PATH=
export WINEPREFIX=$WORK/wineprefix WINEARCH=win64 WINEDEBUG=-all
export DEBIAN_FRONTEND=noninteractive
APT_SRC="-o Dir::Etc::SourceList=$WORK/src.sources -o Dir::Etc::SourceParts=/dev/null"
SUDO=$( [ "$(id -u)" = 0 ] || echo sudo )

rm -rf "$WORK"
mkdir -p "$WORK" "$SRC" "$PREFIX" "$WORK/build"
cd "$WORK"

log() { echo "windows deps: $*" >&2; }

stage_sources() {
  # A private sources list with deb-src entries, used only through apt options.
  sed 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources > "$WORK/src.sources"
  $SUDO apt-get $APT_SRC update -qq
  cd "$SRC"
  apt-get $APT_SRC source --download-only glib2.0 gmime libffi pcre2=10.42-1 >/dev/null
  for d in *.dsc; do dpkg-source --no-check -x "$d" >/dev/null; done
}

stage_wine() {
  wineboot -i >/dev/null 2>&1 || true
}

stage_libffi() {
  cd "$SRC"/libffi-3.4.4
  ./configure -q --host=$HOST CC=$CC --prefix="$PREFIX" --disable-shared --enable-static \
      --disable-docs --disable-multi-os-directory
  make -s -j$JOBS && make -s install
  # libffi 3.4.4's .pc omits -L when installed without a multi-os directory
  sed -i 's|^Libs: -lffi|Libs: -L${libdir} -lffi|' "$PREFIX"/lib/pkgconfig/libffi.pc
}

stage_pcre2() {
  cd "$SRC"/pcre2-10.42
  ./configure -q --host=$HOST CC=$CC --prefix="$PREFIX" --disable-shared --enable-static \
      --enable-pcre2-8 --disable-pcre2-16 --disable-pcre2-32
  # only the library: pcre2posix_test does not link against a static libpcre2-posix on mingw
  make -s -j$JOBS libpcre2-8.la libpcre2-posix.la
  make -s install-libLTLIBRARIES install-nodist_includeHEADERS install-includeHEADERS install-pkgconfigDATA
}

stage_libintl() {
  # GLib needs libintl; Debian has no mingw gettext. We ship translations nowhere,
  # so a pass-through stub (what GLib's own proxy-libintl fallback does) is enough.
  # It is placed where GLib's meson looks for its 'proxy-libintl' subproject.
  local d="$SRC"/glib2.0-2.74.6/subprojects/proxy-libintl
  mkdir -p "$d"
  cat > "$d"/libintl.h <<'EOF'
#ifndef STUB_LIBINTL_H
#define STUB_LIBINTL_H
#include <locale.h>
#ifndef LC_MESSAGES
#define LC_MESSAGES 1729   /* same value GNU libintl uses on Windows */
#endif
#ifdef __cplusplus
extern "C" {
#endif
#define FA_(n) __attribute__((format_arg(n)))   /* as in GNU libintl.h; glib builds with -Werror=format=2 */
char *gettext(const char *msgid) FA_(1);
char *dgettext(const char *domain, const char *msgid) FA_(2);
char *dcgettext(const char *domain, const char *msgid, int category) FA_(2);
char *ngettext(const char *msgid, const char *plural, unsigned long n) FA_(1) FA_(2);
char *dngettext(const char *domain, const char *msgid, const char *plural, unsigned long n) FA_(2) FA_(3);
char *dcngettext(const char *domain, const char *msgid, const char *plural, unsigned long n, int category) FA_(2) FA_(3);
char *textdomain(const char *domain);
char *bindtextdomain(const char *domain, const char *dir);
char *bind_textdomain_codeset(const char *domain, const char *codeset);
#ifdef __cplusplus
}
#endif
#endif
EOF
  cat > "$d"/libintl.c <<'EOF'
#include "libintl.h"
static char domain_buf[] = "messages";
char *gettext(const char *m) { return (char *) m; }
char *dgettext(const char *d, const char *m) { (void) d; return (char *) m; }
char *dcgettext(const char *d, const char *m, int c) { (void) d; (void) c; return (char *) m; }
char *ngettext(const char *m, const char *p, unsigned long n) { return (char *) (n == 1 ? m : p); }
char *dngettext(const char *d, const char *m, const char *p, unsigned long n) { (void) d; return (char *) (n == 1 ? m : p); }
char *dcngettext(const char *d, const char *m, const char *p, unsigned long n, int c) { (void) d; (void) c; return (char *) (n == 1 ? m : p); }
char *textdomain(const char *d) { (void) d; return domain_buf; }
char *bindtextdomain(const char *d, const char *dir) { (void) d; return (char *) dir; }
char *bind_textdomain_codeset(const char *d, const char *c) { (void) d; return (char *) c; }
EOF
  cat > "$d"/meson.build <<'EOF'
project('proxy-libintl', 'c')
intl_lib = static_library('intl', 'libintl.c', install: true)
install_headers('libintl.h')
intl_dep = declare_dependency(link_with: intl_lib, include_directories: include_directories('.'))
EOF
}

stage_iconv() {
  # GMime needs iconv(); mingw has none. GLib's source carries win_iconv.c (Win32 API based).
  # Build it as libiconv.a with GNU-libiconv-style names, so it cannot clash with the
  # iconv* symbols that a static libglib (gconvert.o #includes win_iconv.c) also defines.
  local b="$WORK/build/iconv"; mkdir -p "$b" "$PREFIX/include" "$PREFIX/lib"
  $CC -O2 -c "$SRC"/glib2.0-2.74.6/glib/win_iconv.c -o "$b"/win_iconv.o \
      -Diconv_open=libiconv_open -Diconv=libiconv -Diconv_close=libiconv_close
  $HOST-ar rcs "$PREFIX"/lib/libiconv.a "$b"/win_iconv.o
  cat > "$PREFIX"/include/iconv.h <<'EOF'
#ifndef WIN_ICONV_H
#define WIN_ICONV_H
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
typedef void *iconv_t;
#define iconv_open libiconv_open
#define iconv libiconv
#define iconv_close libiconv_close
iconv_t iconv_open(const char *tocode, const char *fromcode);
int iconv_close(iconv_t cd);
size_t iconv(iconv_t cd, char **inbuf, size_t *inbytesleft, char **outbuf, size_t *outbytesleft);
#ifdef __cplusplus
}
#endif
#endif
EOF
}

write_cross_file() {
  cat > "$WORK"/mingw64.cross <<EOF
[binaries]
c = '$CC'
cpp = '$CXX'
ar = '$HOST-ar'
strip = '$HOST-strip'
windres = '$HOST-windres'
pkgconfig = 'pkg-config'

[properties]
pkg_config_libdir = ['$PREFIX/lib/pkgconfig', '$MINGW_SYSROOT/lib/pkgconfig']

[host_machine]
system = 'windows'
cpu_family = 'x86_64'
cpu = 'x86_64'
endian = 'little'
EOF
}

stage_glib() {
  write_cross_file
  cd "$SRC"/glib2.0-2.74.6
  rm -rf "$WORK"/build/glib
  meson setup "$WORK"/build/glib --cross-file "$WORK"/mingw64.cross --prefix="$PREFIX" \
    --buildtype=release --default-library=static --wrap-mode=nodownload \
    -Dtests=false -Dinstalled_tests=false -Dnls=disabled -Dman=false -Dgtk_doc=false \
    -Dlibmount=disabled -Dselinux=disabled -Dxattr=false -Dsysprof=disabled \
    -Dlibelf=disabled -Ddtrace=false -Dsystemtap=false > "$WORK"/build/glib-setup.log
  ninja -C "$WORK"/build/glib -j$JOBS install > "$WORK"/build/glib-build.log
}

stage_gmime() {
  cd "$SRC"/gmime-3.2.13+dfsg
  [ -x configure ] || NOCONFIGURE=1 ./autogen.sh > "$WORK"/build/gmime-autogen.log 2>&1
  # configure cannot run iconv-detect.c when cross-compiling: build it, run it under Wine.
  $CC -I"$PREFIX"/include iconv-detect.c -o "$WORK"/build/iconv-detect.exe -L"$PREFIX"/lib -liconv
  (cd "$WORK"/build && wine ./iconv-detect.exe) >/dev/null
  cp "$WORK"/build/iconv-detect.h .
  ./configure -q --host=$HOST CC=$CC --prefix="$PREFIX" --disable-shared --enable-static \
    PKG_CONFIG="pkg-config --static" \
    CPPFLAGS="-I$PREFIX/include" LDFLAGS="-L$PREFIX/lib" \
    ac_cv_have_iconv_detect_h=yes \
    --with-libiconv=gnu --disable-crypto --without-libidn --disable-vala \
    --disable-introspection --disable-gtk-doc --disable-largefile
  make -s -j$JOBS -C util && make -s -j$JOBS -C gmime && make -s -C gmime install
  make -s install-pkgconfigDATA
}


for s in sources wine libffi pcre2 libintl iconv glib gmime; do
  t0=$(date +%s)
  log "building $s"
  ( stage_$s ) >"$WORK/build/$s.log" 2>&1 || { log "$s failed; see $WORK/build/$s.log"; tail -20 "$WORK/build/$s.log" >&2; exit 1; }
  log "$s took $(( $(date +%s) - t0 )) s"
done
wineserver -k 2>/dev/null || true
rm -rf "$SRC" "$WORK/build/glib"   # keep the cache small: only the prefix is used
touch "$WORK/done"
echo "$PREFIX"
