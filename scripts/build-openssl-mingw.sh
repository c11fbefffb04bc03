#!/usr/bin/env bash
# Builds a static OpenSSL 3 for a MinGW-w64 target from Debian's own source package and
# installs it under /var/cache/vondsdk/openssl-<version>-<arch>. Prints that folder on the
# last line of stdout. A folder that is already complete is reused as is.
#
#   scripts/build-openssl-mingw.sh x86_64|i686
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"

arch=${1:?usage: build-openssl-mingw.sh x86_64|i686}
case "$arch" in
  x86_64) target=mingw64 ;;
  i686) target=mingw ;;
  *) echo "unknown architecture: $arch" >&2; exit 2 ;;
esac
cache=${VOND_CACHE_DIR:-/var/cache/vondsdk}
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

need_packages dpkg-dev make perl "g++-mingw-w64-${arch//_/-}-posix" "binutils-mingw-w64-${arch//_/-}"

# The source package's list only exists once deb-src is enabled for the distribution's
# own suites; the tarball upstream ships is all the build needs.
sources=/etc/apt/sources.list.d/debian.sources
if [ -f "$sources" ] && ! grep -q '^Types:.*deb-src' "$sources"; then
  $sudo sed -i 's/^Types: deb$/Types: deb deb-src/' "$sources"
  # A failed index of another architecture (i386, added for 32-bit Wine) is no matter here.
  apt_update || echo "$VOND_APT_ERROR; trying the source package with the lists at hand" >&2
fi

src_dir="$cache/src"
$sudo mkdir -p "$src_dir"
$sudo chown "$(id -u):$(id -g)" "$cache" "$src_dir"
# Checkouts on one machine share the cache: one build at a time, so a second one finds the
# first's result complete instead of removing it in the middle of its install.
exec 9>"$cache/.lock"
flock 9
tarball=$(ls "$src_dir"/openssl_3.*.orig.tar.gz 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$tarball" ]; then
  # Debian's own files of the security suite may be missing on the mirror; apt-get then
  # fails after the upstream tarball has already arrived, which is fine.
  (cd "$src_dir" && apt-get source --download-only openssl/bookworm >&2) || true
  tarball=$(ls "$src_dir"/openssl_3.*.orig.tar.gz 2>/dev/null | sort -V | tail -n 1 || true)
fi
[ -n "$tarball" ] || { echo "no OpenSSL source tarball could be fetched" >&2; exit 1; }

version=$(basename "$tarball" | sed -E 's/^openssl_(.*)\.orig\.tar\.gz$/\1/')
prefix="$cache/openssl-$version-$arch"
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "$cache/build-$arch.XXXXXX")
trap 'rm -rf "$work"' EXIT
tar -xzf "$tarball" -C "$work" --strip-components=1
rm -rf "$prefix"
(
  cd "$work"
  ./Configure "$target" no-shared no-tests \
    --cross-compile-prefix="$arch-w64-mingw32-" --prefix="$prefix" --libdir=lib
  make -j "$(nproc)" build_libs
  make install_dev
) >"$cache/openssl-$version-$arch.log" 2>&1 || {
  echo "OpenSSL build for $arch failed; last lines of $cache/openssl-$version-$arch.log:" >&2
  tail -n 30 "$cache/openssl-$version-$arch.log" >&2
  exit 1
}
touch "$prefix/.complete"
echo "$prefix"
