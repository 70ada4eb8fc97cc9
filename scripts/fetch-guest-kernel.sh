#!/usr/bin/env bash
# Fetches the kernel of the test guest into a cache folder (default
# build/guest-kernel): the image package that linux-image-amd64 depends on,
# downloaded and unpacked there, never installed into this machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-$root/build/guest-kernel}
if compgen -G "$cache/boot/vmlinuz-*" >/dev/null; then
    exit 0
fi
package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }'
}
name=$(package)
if [ -z "$name" ]; then
    apt-get update -qq
    name=$(package)
fi
download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
# apt's own user may not write to the folder; the download is then done as
# the caller, which is what we want.
(cd "$download" && { apt-get download -qq "$name" 2>/dev/null ||
    { apt-get update -qq && apt-get download -qq "$name" 2>/dev/null; }; })
rm -rf "$cache.new"
mkdir -p "$cache.new"
dpkg -x "$download"/*.deb "$cache.new"
# Of the modules the guest needs only the USB ones (about 1% of them).
find "$cache.new/lib/modules" -name '*.ko*' -not -path '*/drivers/usb/*' -delete
rm -rf "$cache"
mv "$cache.new" "$cache"
echo "Guest kernel: $(ls "$cache/boot" | grep vmlinuz)"
