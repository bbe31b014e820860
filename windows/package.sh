#!/usr/bin/env bash
# Makes the Windows downloads from a cross-build of the window:
#   OUT/TovalyOpera2MBOXConverter-VERSION-setup.exe    the NSIS setup program
#   OUT/TovalyOpera2MBOXConverter-VERSION-portable.zip the same files in a folder
#   OUT/TovalyOpera2MBOXConverter-VERSION-source.tar.gz the source they came
#       from (git archive of HEAD), which the LGPL notice points to
#
#   windows/package.sh BUILD_DIR OUT_DIR VERSION
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$1 out=$2 version=$3
name=TovalyOpera2MBOXConverter-$version
HOST=x86_64-w64-mingw32
stage=$build/package/$name
rm -rf "$build/package"
mkdir -p "$stage" "$out"
out=$(cd "$out" && pwd)

# The programs without their debugging symbols, the manual and the notice.
$HOST-strip -o "$stage/TovalyOpera2MBOXConverter.exe" "$build/app/TovalyOpera2MBOXConverter.exe"
$HOST-strip -o "$stage/opera2mbox.exe" "$build/cli/opera2mbox.exe"
cp "$here/../docs/manual.html" "$stage/manual.html"
sed "s/VERSION/$version/" "$here/license-notice.txt" | sed 's/$/\r/' > "$stage/LICENSE-NOTICE.txt"
cp "$here/../app/windows/app.ico" "$build/package/app.ico"

makensis -V2 -NOCD -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out/$name-setup.exe" \
  "$here/installer.nsi" >&2
rm -f "$out/$name-portable.zip"
(cd "$build/package" && zip -q -X -r "$out/$name-portable.zip" "$name")
if git -C "$here/.." rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$here/.." archive --format=tar.gz --prefix="$name-source/" -o "$out/$name-source.tar.gz" HEAD
fi
for f in "$out/$name"-*; do
  echo "$(basename "$f"): $(stat -c %s "$f") bytes" >&2
done
