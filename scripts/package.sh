#!/usr/bin/env bash
# Builds the Debian packages from a build tree (BUILD_DIR, default build/) into <build>/packages:
#   oracle-cloud-info        the plug-in and the private libraries it needs (/usr/lib/oracle-cloud-info)
#   oracle-cloud-info-tools  backup-agent and cloud-sim (/usr/bin), their man pages and bash completion
# and a -dbgsym package for each, with the debug symbols split off the stripped binaries. Then lintian.
#   --check-install  also installs both packages into a fresh Debian 12 root (debootstrap, kept in
#                    CHECK_ROOT_CACHE, default /var/tmp/oracle-cloud-info-check) and runs the tools there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD_DIR:-$root/build}" && pwd)
check_install=false
for arg in "$@"; do
  case "$arg" in
    --check-install) check_install=true ;;
    *) echo "usage: $0 [--check-install]" >&2; exit 2 ;;
  esac
done
"$root/scripts/install-deps.sh" dpkg-dev lintian binutils file

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
changelog_version=$(dpkg-parsechangelog -l "$root/packaging/debian/changelog" -S Version)
if [ "$version" != "$changelog_version" ]; then
  echo "packaging/debian/changelog is at $changelog_version, the build at $version: add a changelog entry" >&2
  exit 1
fi
[ -f "$build/man/backup-agent.1" ] && [ -f "$build/man/cloud-sim.1" ] || {
  echo "$build has no man pages: install help2man (scripts/install-deps.sh help2man) and build again" >&2
  exit 1
}
arch=$(dpkg --print-architecture)
out="$build/packages"
work=$(mktemp -d "$build/package.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/debian"
cp "$root/packaging/debian/control" "$root/packaging/debian/changelog" "$work/debian/"
cd "$work"

# Lays out one package's files under debian/<package>: the CMake component, its docs, man pages gzipped.
stage() {
  local package=$1 component=$2 dir="debian/$1"
  DESTDIR="$work/$dir" cmake --install "$build" --prefix /usr --component "$component" >/dev/null
  install -d -m 0755 "$dir/usr/share/doc/$package"
  install -m 0644 "$root/packaging/debian/copyright" "$dir/usr/share/doc/$package/copyright"
  gzip -9n -c "$root/packaging/debian/changelog" >"$dir/usr/share/doc/$package/changelog.gz"
  find "$dir/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} + 2>/dev/null || true
}

# Strips each ELF file of a package and keeps its debug symbols in the -dbgsym package, found by build id.
split_debug() {
  local package=$1 dir="debian/$1" dbg="debian/$1-dbgsym" ids=() file id
  while IFS= read -r file; do
    file -b "$file" | grep -q '^ELF' || continue
    id=$(readelf -n "$file" | sed -n 's/^ *Build ID: *//p')
    [ -n "$id" ] || { echo "$file has no build id" >&2; exit 1; }
    install -d -m 0755 "$dbg/usr/lib/debug/.build-id/${id:0:2}"
    objcopy --only-keep-debug --compress-debug-sections "$file" "$dbg/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
    chmod 0644 "$dbg/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$file"
    objcopy --add-gnu-debuglink="$dbg/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" "$file"
    ids+=("$id")
  done < <(find "$dir" -type f)
  install -d -m 0755 "$dbg/usr/share/doc"
  ln -s "$package" "$dbg/usr/share/doc/$package-dbgsym"
  install -d -m 0755 "$dbg/DEBIAN"
  cat >"$dbg/DEBIAN/control" <<CONTROL
Package: $package-dbgsym
Source: oracle-cloud-info
Version: $version
Auto-Built-Package: debug-symbols
Architecture: $arch
Maintainer: $(sed -n 's/^Maintainer: //p' debian/control)
Installed-Size: $(du -sk --exclude=DEBIAN "$dbg" | cut -f1)
Depends: $package (= $version)
Section: debug
Priority: optional
Description: debug symbols for $package
Build-Ids: ${ids[*]}
CONTROL
}

# Control file (Depends from dpkg-shlibdeps), md5sums, modes, and the .deb.
build_deb() {
  local package=$1 dir="debian/$1" dbg="debian/$1-dbgsym"
  local binaries
  mapfile -t binaries < <(find "$dir" -type f -exec sh -c 'file -b "$1" | grep -q "^ELF"' _ {} \; -print)
  # The libraries of the plug-in's package are found there ($ORIGIN is read against each DEBIAN/'s folder).
  install -d -m 0755 debian/oracle-cloud-info/DEBIAN "$dir/DEBIAN"
  dpkg-shlibdeps -T"debian/$package.substvars" -l"$work/debian/oracle-cloud-info/usr/lib/oracle-cloud-info" \
    "${binaries[@]}" 2> >(grep -v "can't extract name and version from library name" >&2)
  dpkg-gencontrol -p"$package" -P"$dir" -T"debian/$package.substvars" -v"$version" -fdebian/files
  for d in "$dir" "$dbg"; do
    find "$d" -type d -exec chmod 0755 {} +
    find "$d" -type f ! -path '*/DEBIAN/*' -name '*.so' -exec chmod 0644 {} +
    (cd "$d" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z | xargs -0r md5sum >DEBIAN/md5sums)
    chmod 0644 "$d/DEBIAN/control" "$d/DEBIAN/md5sums"
    dpkg-deb --root-owner-group -Zxz --build "$d" "$out" >/dev/null
  done
}

rm -f "$out"/*.deb
started=$SECONDS
stage oracle-cloud-info plugin
stage oracle-cloud-info-tools tools
for package in oracle-cloud-info oracle-cloud-info-tools; do split_debug "$package"; done
for package in oracle-cloud-info oracle-cloud-info-tools; do build_deb "$package"; done
cd "$root"
ls -1 "$out"/*.deb
echo "packages built in $((SECONDS - started)) s"
started=$SECONDS

# Errors fail the script; warnings are printed.
lintian --fail-on error "$out"/*.deb
echo "lintian: no error ($((SECONDS - started)) s)"
$check_install || exit 0

# A fresh Debian 12 root: debootstrapped once into the cache (with apt's lists), copied for each check.
cache=${CHECK_ROOT_CACHE:-/var/tmp/oracle-cloud-info-check}
base="$cache/bookworm-minbase"
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
"$root/scripts/install-deps.sh" debootstrap
if [ ! -e "$base/.ready" ]; then
  started=$SECONDS
  rm -rf "$base"
  mkdir -p "$cache"
  debootstrap --variant=minbase bookworm "$base" "$mirror" >"$cache/debootstrap.log" 2>&1 || {
    tail -20 "$cache/debootstrap.log" >&2
    exit 1
  }
  cp /etc/resolv.conf "$base/etc/resolv.conf"
  chroot "$base" apt-get update -qq
  touch "$base/.ready"
  echo "debootstrap of the Debian 12 root: $((SECONDS - started)) s (kept in $base)"
fi
started=$SECONDS
target=$(mktemp -d "$cache/check.XXXXXX")
cleanup_root() {
  umount "$target/proc" 2>/dev/null || true
  rm -rf "$target"
  rm -rf "$work"
}
trap cleanup_root EXIT
cp -a "$base/." "$target/"
cp /etc/resolv.conf "$target/etc/resolv.conf"
mount -t proc proc "$target/proc"
cp "$out/oracle-cloud-info_${version}_${arch}.deb" "$out/oracle-cloud-info-tools_${version}_${arch}.deb" "$target/tmp/"
DEBIAN_FRONTEND=noninteractive chroot "$target" apt-get install -y -q --no-install-recommends -o Dpkg::Use-Pty=0 \
  "./tmp/oracle-cloud-info_${version}_${arch}.deb" "./tmp/oracle-cloud-info-tools_${version}_${arch}.deb" \
  >"$cache/install.log" 2>&1 || { tail -20 "$cache/install.log" >&2; exit 1; }
chroot "$target" backup-agent --version
chroot "$target" cloud-sim --version
# A sandbox whose volumes are links to files (a chroot has no loop devices of its own), and the agent
# loading the installed plug-in to connect to it.
chroot "$target" cloud-sim init --file-links /tmp/sandbox >/dev/null
chroot "$target" backup-agent --sandbox /tmp/sandbox connect | sed -n 1p
echo "installed into a fresh Debian 12 root and ran there: $((SECONDS - started)) s"
