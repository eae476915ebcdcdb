#!/usr/bin/env bash
# Prepares a private 32-bit Wine that runs the shipped i686 exe on a kernel
# without 32-bit execution: Debian's i386 Wine packages (the same version as
# the machine's wine64) unpacked into a folder of their own, started through
# the user-mode emulator qemu-i386 and served by the machine's 64-bit
# wineserver. The machine's package set and dpkg architectures stay as they
# are: apt only downloads, into the folder's own cache, with its own package
# lists.
#
# Usage: tools/setup-wine32.sh [DIR]        (default: build/wine32)
# Prints the loader to run programs with: DIR/root/usr/lib/wine/wine.
# A prepared DIR is kept as it is; delete it to start over.
#
# The emulator is qemu-user 8 or newer from bookworm-backports (the static
# qemu-i386 of the qemu-user package, taken from the .deb): bookworm's 7.2
# ignores MAP_FIXED_NOREPLACE, so Wine's address-space reservation falls
# apart (minutes per process start, crashes in Wine's services).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dir="${1:-$(dirname "$here")/build/wine32}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
root="$dir/root"
loader="$root/usr/lib/wine/wine"

wine_version="$(dpkg-query -W -f='${Version}' wine64)"
stamp="wine32 $wine_version, $(sha256sum "$0" | cut -c1-16), $dir"
if [ -f "$dir/ready" ] && [ "$(cat "$dir/ready")" = "$stamp" ]; then
    echo "$loader"
    exit 0
fi
rm -rf "$root" "$dir/host" "$dir/ready"

# apt with a state of its own: nothing installed, the packages of one
# architecture, downloads into the folder.
apt_private() { # ARCH NAME [apt-get arguments...]
    local arch="$1" name="$2"
    shift 2
    local state="$dir/apt-$name"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    [ -f "$state/status" ] || : > "$state/status"
    apt-get -q -o APT::Architecture="$arch" -o APT::Architectures::="$arch" \
        -o Dir::State::status="$state/status" -o Dir::State::Lists="$state/lists" \
        -o Dir::Cache="$state/cache" -o APT::Sandbox::User=root -o Debug::NoLocking=1 \
        -o Acquire::Retries=3 \
        "${extra_apt[@]}" "$@"
}
# An update that fails goes on with the lists that arrived, as in setup.sh:
# CI's mirror has served a stale i386 security index for days, and wine32
# comes from main.
apt_private_update() { # ARCH NAME
    apt_private "$1" "$2" update >&2 ||
        echo "setup-wine32.sh: apt-get update failed; going on with the lists that arrived" >&2
}

echo "Preparing 32-bit Wine $wine_version in $dir" >&2

# 32-bit Wine from the machine's own Debian sources.
extra_apt=()
apt_private_update i386 i386
apt_private i386 i386 install -y -d --no-install-recommends \
    "wine32=$wine_version" "libwine=$wine_version" >&2

# The emulator from bookworm-backports: a source given to apt for this one
# download only.
sources="$(grep -h -E '^(URIs|Signed-By):' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)"
mirror="$(echo "$sources" | sed -n 's/^URIs: *//p' | grep -v security | head -n 1)"
keyring="$(echo "$sources" | sed -n 's/^Signed-By: *//p' | head -n 1)"
echo "deb [signed-by=${keyring:-/usr/share/keyrings/debian-archive-keyring.gpg}]" \
    "${mirror:-http://deb.debian.org/debian} bookworm-backports main" > "$dir/backports.list"
extra_apt=(-o Dir::Etc::SourceList="$dir/backports.list" -o Dir::Etc::SourceParts=/nonexistent)
apt_private_update amd64 qemu
apt_private amd64 qemu install -y -d --no-install-recommends -t bookworm-backports qemu-user >&2

mkdir -p "$root" "$dir/host"
for deb in "$dir"/apt-i386/cache/archives/*.deb; do
    dpkg-deb -x "$deb" "$root"
done
qemu_deb="$(ls "$dir"/apt-qemu/cache/archives/qemu-user_*.deb)"
dpkg-deb -x "$qemu_deb" "$dir/host/qemu-user"
qemu="$dir/host/qemu-i386"
cp "$dir/host/qemu-user/usr/bin/qemu-i386" "$qemu"
rm -rf "$dir/host/qemu-user"
qemu_major="$("$qemu" --version | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')"
if [ -z "$qemu_major" ] || [ "$qemu_major" -lt 8 ]; then
    echo "setup-wine32.sh: $qemu_deb is not qemu 8 or newer" >&2
    exit 1
fi

# What unpacking skips of the packages' install scripts: the library cache
# of the 32-bit loader, and the zlib DLLs that libwine's postinst turns into
# Wine builtins.
ldconfig -r "$root"
for pair in i686:i386 x86_64:x86_64; do
    mingw="${pair%%:*}"
    wine_arch="${pair##*:}"
    for in in "$root/usr/$mingw-w64-mingw32/lib"/zlib*.dll; do
        out="$root/usr/lib/i386-linux-gnu/wine/$wine_arch-windows/$(basename "$in")"
        {
            head -c 64 "$in"
            printf "Wine builtin DLL"
            head -c 16 /dev/zero
            tail -c +97 "$in"
        } > "$out"
    done
done

# Wine starts its child processes (services, winedevice, ...) by executing
# its loader again, by the path it was started with; a host script in the
# loader's place makes each of them go through the emulator too.
mv "$loader" "$loader.i386"
cat > "$loader" <<EOF
#!/bin/sh
exec "$qemu" -L "$root" -0 "\$0" "$loader.i386" "\$@"
EOF
chmod +x "$loader"

rm -rf "$dir/apt-i386/cache/archives"/*.deb "$dir/apt-qemu/cache/archives"/*.deb
echo "$stamp" > "$dir/ready"
echo "qemu-i386 $("$qemu" --version | head -n 1), wine32 $wine_version ready" >&2
echo "$loader"
