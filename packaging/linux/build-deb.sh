#!/usr/bin/env bash
# Makes korrin-relay_<version>_amd64.deb from the built binary.
# Usage: build-deb.sh BINARY VERSION OUT_DIR
set -euo pipefail
binary="$1" version="$2" out="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(mktemp -d)"
chmod 0755 "$root"
trap 'rm -rf "$root"' EXIT
umask 022

install -D -m 0755 "$binary" "$root/usr/bin/korrin-relay"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/korrin-relay"
install -D -m 0644 "$here/korrin-relay.service" "$root/lib/systemd/system/korrin-relay.service"
install -D -m 0644 "$here/korrin-relay.conf" "$root/etc/korrin-relay/korrin-relay.conf"
install -d "$root/usr/share/man/man8" "$root/usr/share/doc/korrin-relay"
sed "s/@VERSION@/$version/" "$here/korrin-relay.8" | gzip -9n > "$root/usr/share/man/man8/korrin-relay.8.gz"
{
    echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    echo "Upstream-Name: korrin-relay"
    echo
    echo "Files: *"
    echo "Copyright: Oxa Software"
    echo "License: Expat"
    sed 's/^$/./; s/^/ /' "$here/../../LICENSE"
} > "$root/usr/share/doc/korrin-relay/copyright"
printf 'korrin-relay (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- Oxa Software <korrin-relay@oxasoft.invalid>  %s\n' \
    "$version" "$version" "$(date -R -d @"${SOURCE_DATE_EPOCH:-0}")" |
    gzip -9n > "$root/usr/share/doc/korrin-relay/changelog.gz"

# Only libc is shared: the package needs the newest glibc symbol version the binary asks for.
glibc="$(objdump -T "$root/usr/bin/korrin-relay" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' |
         sort -uV | tail -n1)"
[ -n "$glibc" ] || { echo "build-deb: no GLIBC_ version in the binary" >&2; exit 1; }
# The other shared libraries (the MQTT client and TLS): the lowest versions that have every
# symbol the binary asks for, from the installed libraries' symbols files.
shlibs="$(mktemp -d)"
mkdir "$shlibs/debian"
printf 'Source: korrin-relay\n\nPackage: korrin-relay\nArchitecture: any\n' > "$shlibs/debian/control"
libs="$(cd "$shlibs" && dpkg-shlibdeps -O "$root/usr/bin/korrin-relay" 2>/dev/null |
        sed -n 's/^shlibs:Depends=//p' | tr ',' '\n' | sed 's/^ *//' | grep -v '^libc6 ' |
        paste -sd, | sed 's/,/, /g')"
rm -rf "$shlibs"
[[ "$libs" == *libmosquitto1* ]] || { echo "build-deb: no libmosquitto1 dependency found" >&2; exit 1; }

install -d "$root/DEBIAN"
for f in postinst prerm postrm; do install -m 0755 "$here/$f" "$root/DEBIAN/$f"; done
echo "/etc/korrin-relay/korrin-relay.conf" > "$root/DEBIAN/conffiles"
cat > "$root/DEBIAN/control" <<CONTROL
Package: korrin-relay
Version: $version
Architecture: amd64
Maintainer: Oxa Software <korrin-relay@oxasoft.invalid>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: libc6 (>= $glibc), $libs
Section: net
Priority: optional
Description: paced relay of text lines from senders to receivers
 korrin-relay reads LF-ended text lines from the senders on one TCP port and
 sends them, one line per tick of a pacing timer, to every receiver on the
 next port. It has allow lists for both ports, a read-only status page with
 JSON and Prometheus metrics, a config file, systemd readiness and reload, and
 logs to the journal.
CONTROL
mkdir -p "$out"
dpkg-deb --root-owner-group -Zxz --build "$root" "$out/korrin-relay_${version}_amd64.deb" >/dev/null
echo "$out/korrin-relay_${version}_amd64.deb"
