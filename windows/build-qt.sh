#!/usr/bin/env bash
# Builds the Qt the window links on Windows -- static QtCore, QtGui, QtWidgets
# and QtTest with the qwindows, minimal and offscreen platform plugins and the
# windowsvista style, for x86_64-w64-mingw32 -- into a cache folder outside the
# source tree, once per machine, beside what windows/build-deps.sh builds.
#
#   windows/build-qt.sh               # prints the Qt prefix when done
#   TOVALY_WINDOWS_QT_CACHE=DIR windows/build-qt.sh
#   windows/build-qt.sh --key         # prints the cache folder, builds nothing
#   windows/build-qt.sh --cached      # prints the prefix if built, else fails
#
# The source is Debian's own qt6-base package, the version of the installed
# qt6-base-dev: a cross-build of Qt needs host tools (moc, rcc, uic,
# syncqt.pl) of its own version, and these come from the host through
# QT_HOST_PATH=/usr. The cache key is a hash of the part of this script
# between the qt-key markers and that Debian version, so a change to either
# builds afresh; an interrupted build resumes where it stopped.
#
# Static, as the rest of the Windows build (-static, static GLib and GMime):
# the window is one .exe with no Qt or MinGW DLLs beside it, no platforms/
# folder and no windeployqt (which Debian does not have). Qt's CMake links
# the default plugins (qwindows, windowsvista) into every executable itself;
# a test that wants the offscreen platform imports that plugin by name.
#
# Figures measured on 2 cores (JOBS=2): 33 minutes lightly loaded, 61 shared
# with other builds, 71 under heavy load; about 2.5 GB while it builds, about
# 100 MB kept (the prefix).
#
# Qt is LGPL: a user of the static window may relink it against a Qt of their
# own. This script and the project's source are what that takes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
self=$here/$(basename "$0")
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
NICE="nice -n 19"
HOST=x86_64-w64-mingw32
CACHE=${TOVALY_WINDOWS_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tovaly-windows-qt}
export DEBIAN_FRONTEND=noninteractive
SUDO=$( [ "$(id -u)" = 0 ] || echo sudo )
exec 3>&2   # log lines reach the caller's stderr while a step writes to a file

log() { echo "windows qt: $*" >&3; }
step() { # step NAME COMMAND...: runs it and logs how long it took
  local t0 name=$1; t0=$(date +%s); shift
  log "$name ..."
  "$@"
  log "$name took $(( $(date +%s) - t0 )) s"
}

need_packages() {
  local missing="" p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    log "installing:$missing"
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
  fi
}

#>>> qt-key: everything down to the closing marker goes into the cache key
QT_PACKAGES="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  binutils-mingw-w64-x86-64 ninja-build cmake perl dpkg-dev qt6-base-dev qt6-base-dev-tools"

# Qt modules and features. Off: what the window does not use. testlib stays
# on: the project's find_package asks for Qt6::Test (and its tests use it).
# tabletevent is off because Debian's source drops src/3rdparty/wintab (not
# free), which the Windows plugin's tablet support includes. INPUT_opengl=no,
# not FEATURE_opengl=OFF, which leaves "dynamic OpenGL" on. Every third-party
# library is Qt's bundled copy, and pkg-config is off, so nothing of the
# Linux host's is picked up. FreeType stays on for the offscreen plugin.
QT_CONFIG=(
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Release
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_pkg_config=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF
  -DINPUT_opengl=no -DFEATURE_vulkan=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF -DFEATURE_testlib=ON -DFEATURE_zstd=OFF -DFEATURE_jpeg=OFF
  -DFEATURE_tabletevent=OFF -DFEATURE_direct2d=OFF -DFEATURE_androiddeployqt=OFF
  -DFEATURE_textmarkdownreader=OFF -DFEATURE_textmarkdownwriter=OFF -DFEATURE_textodfwriter=OFF
  -DFEATURE_icu=OFF -DFEATURE_glib=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_doubleconversion=OFF
)

write_qt_toolchain() {
  cat > "$1" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $HOST-gcc-posix)
set(CMAKE_CXX_COMPILER $HOST-g++-posix)
set(CMAKE_RC_COMPILER $HOST-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$HOST)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

patch_qt_source() { # runs in the unpacked source; idempotent
  # Qt 6.4.2 compiles QWindowsDirectWriteFontDatabase into QtGui only with
  # direct2d on (src/gui/CMakeLists.txt), but the Windows plugin refers to it
  # whenever directwrite3 is on: with direct2d off the link of every program
  # fails (undefined QWindowsDirectWriteFontDatabase constructor). Ask for
  # both, as QtGui does.
  sed -i 's/^#if QT_CONFIG(directwrite3)$/#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)/' \
    src/plugins/platforms/windows/qwindowsintegration.cpp
}
#<<< qt-key

qt_key() {
  { sed -n '/^#>>> qt-key/,/^#<<< qt-key/p' "$self"; echo "$QT_DEB_VERSION"; } | sha256sum | cut -c1-16
}

# Without qt6-base-dev there is no version to key on: nothing can be cached.
QT_DEB_VERSION=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
case ${1:-} in
  --key)
    [ -n "$QT_DEB_VERSION" ] || { log "qt6-base-dev is not installed"; exit 1; }
    echo "$CACHE/$(qt_key)"; exit 0 ;;
  --cached)
    [ -n "$QT_DEB_VERSION" ] && [ -f "$CACHE/$(qt_key)/done" ] || exit 1
    echo "$CACHE/$(qt_key)/prefix"; exit 0 ;;
  "") ;;
  *) echo "usage: $0 [--key | --cached]" >&2; exit 2 ;;
esac

need_packages $QT_PACKAGES
QT_DEB_VERSION=$(dpkg-query -W -f='${Version}' qt6-base-dev)   # e.g. 6.4.2+dfsg-10
upstream=${QT_DEB_VERSION%%+*}; upstream=${upstream%%-*}
WORK=$CACHE/$(qt_key)
PREFIX=$WORK/prefix
if [ -f "$WORK/done" ]; then
  echo "$PREFIX"
  exit 0
fi
mkdir -p "$WORK/src" "$WORK/logs"
# One build per cache folder at a time: a second caller waits for the first.
exec 9>"$WORK/lock"
flock 9
if [ -f "$WORK/done" ]; then
  echo "$PREFIX"
  exit 0
fi
srcroot=$WORK/src
build=$WORK/build
APT_SRC="-o Dir::Etc::SourceList=$WORK/src.sources -o Dir::Etc::SourceParts=/dev/null"

# 1. Debian's source package, through a private sources list with deb-src
# entries used only by these apt calls.
if [ ! -f "$srcroot/unpacked" ]; then
  step "qt source $QT_DEB_VERSION" bash -c "
    set -e
    sed 's/^Types: deb\$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources > '$WORK/src.sources'
    $SUDO apt-get $APT_SRC update -qq
    cd '$srcroot'
    apt-get $APT_SRC source --download-only qt6-base=$QT_DEB_VERSION >/dev/null 2>&1
    rm -rf qt6-base-$upstream*/
    dpkg-source --no-check -x qt6-base_*.dsc >/dev/null 2>&1
    rm -f qt6-base_*.orig.tar.* qt6-base_*.debian.tar.*
    touch unpacked"
fi
qtsrc=$(ls -d "$srcroot"/qt6-base-$upstream*/)
(cd "$qtsrc" && patch_qt_source)

# 2. Configure against the host's Qt in /usr for the tools.
write_qt_toolchain "$WORK/toolchain-qt.cmake"
if [ ! -f "$build/build.ninja" ]; then
  step "qt configure" $NICE cmake -S "$qtsrc" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$WORK/toolchain-qt.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" "${QT_CONFIG[@]}" > "$WORK/logs/configure.log" 2>&1 \
    || { tail -30 "$WORK/logs/configure.log" >&2; exit 1; }
fi

# 3. Build (ninja takes up where an interrupted run stopped) and install.
step "qt build" $NICE ninja -C "$build" -j"$JOBS" > "$WORK/logs/build.log" 2>&1 \
  || { grep -A15 '^FAILED' "$WORK/logs/build.log" | head -60 >&2; exit 1; }
step "qt install" $NICE ninja -C "$build" install > "$WORK/logs/install.log" 2>&1
for f in lib/libQt6Core.a lib/libQt6Gui.a lib/libQt6Widgets.a lib/libQt6Test.a \
         plugins/platforms/libqwindows.a plugins/platforms/libqoffscreen.a \
         plugins/styles/libqwindowsvistastyle.a lib/cmake/Qt6/qt.toolchain.cmake; do
  [ -f "$PREFIX/$f" ] || { log "missing after install: $f"; exit 1; }
done
log "sizes: source $(du -sh "$qtsrc" | cut -f1), build $(du -sh "$build" | cut -f1), prefix $(du -sh "$PREFIX" | cut -f1)"
[ "${KEEP_QT_BUILD:-0}" = 1 ] || rm -rf "$srcroot" "$build"
touch "$WORK/done"
echo "$PREFIX"
