#!/usr/bin/env bash
# Packs the Unity package (unity/com.vond.sdk) with the built native plugins into a tarball a
# developer adds in Unity's Package Manager with "Add package from tarball...":
#
#   scripts/pack-unity.sh [--allow-missing] [output folder]
#
# The plugins come from the build folders of scripts/test.sh: build/win32 (32-bit Windows
# players), build/win64 (64-bit Windows players and the Windows editor) and build/linux (the
# Linux editor and players). Without --allow-missing every one of them must be there.
# Prints the tarball's path on the last line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
allow_missing=0
if [ "${1:-}" = --allow-missing ]; then
  allow_missing=1
  shift
fi
out=$(realpath -m "${1:-$root/build/unity}")
build=$(realpath -m "${VOND_WINDOWS_BUILD_DIR:-$root/build}")
package="$root/unity/com.vond.sdk"
version=$(sed -nE 's/^  "version": "([^"]+)".*/\1/p' "$package/package.json")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -a "$package" "$stage/package"
missing=0
place() {
  local from=$1 to=$2
  if [ -f "$from" ]; then
    cp "$from" "$stage/package/Runtime/Plugins/$to"
  else
    echo "missing plugin: $from" >&2
    missing=1
    # A plugin without its binary would only confuse Unity.
    rm -f "$stage/package/Runtime/Plugins/$to.meta"
  fi
}
place "$build/win32/vondsdk_mt.dll" x86/vondsdk_mt.dll
place "$build/win64/vondsdk_mt.dll" x86_64/vondsdk_mt.dll
place "${VOND_LINUX_LIBRARY:-$build/linux/libvondsdk_mt.so}" x86_64/libvondsdk_mt.so
if [ "$missing" = 1 ] && [ "$allow_missing" = 0 ]; then
  echo "build the missing plugins first (scripts/test.sh), or pass --allow-missing" >&2
  exit 1
fi

# Unity ignores an asset without a .meta file in an immutable package: every file and folder
# outside the ~ folders needs one.
while IFS= read -r path; do
  [ -f "$path.meta" ] || { echo "no .meta for ${path#"$stage/"}" >&2; exit 1; }
done < <(find "$stage/package" -mindepth 1 \( -name '*~' -prune \) -o ! -name '*.meta' -print)

mkdir -p "$out"
tarball="$out/com.vond.sdk-$version.tgz"
tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner -czf "$tarball" package
echo "$tarball"
