#!/usr/bin/env bash
# Test of the .deb: builds it from the given binary, checks its control fields and contents,
# and runs the packaged binary from the extracted tree as a relay on loopback.
# Usage: check-deb.sh BINARY VERSION
set -euo pipefail
binary="$1" version="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap '[ -n "${pid:-}" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "check-deb: $*" >&2; exit 1; }

deb="$(bash "$here/build-deb.sh" "$binary" "$version" "$work/dist")"
[ "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = \
  "Package: korrin-relay Version: $version Architecture: amd64 " ] || fail "control fields"
contents="$(dpkg-deb -c "$deb" | awk '{print $NF}')"
for f in ./usr/bin/korrin-relay ./lib/systemd/system/korrin-relay.service \
         ./etc/korrin-relay/korrin-relay.conf ./usr/share/man/man8/korrin-relay.8.gz \
         ./usr/share/doc/korrin-relay/copyright; do
    grep -qx "$f" <<<"$contents" || fail "missing $f"
done
# The list whole, then the look-up: grep -q ending the pipe early fails tar with SIGPIPE.
control="$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)"
grep -qx './conffiles' <<<"$control" || fail "no conffiles"
dpkg-deb -x "$deb" "$work/root"
bin="$work/root/usr/bin/korrin-relay"
# Depends promises what the binary needs: no glibc symbol version above the one it names.
depends="$(dpkg-deb -f "$deb" Depends)"
needed="$(objdump -T "$bin" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n1)"
[[ "$depends" =~ ^libc6\ \(\>=\ ([0-9.]+)\),\ .*libmosquitto1\ \(\>=\ [0-9.]+\) ]] ||
    fail "Depends: $depends"
dpkg --compare-versions "${BASH_REMATCH[1]}" ge "$needed" || fail "Depends $depends, needs $needed"
# A fresh install serves this computer only: both ports and the status port on loopback.
conf="$work/root/etc/korrin-relay/korrin-relay.conf"
[ "$(grep -v '^\s*\(#\|;\|$\)' "$conf")" = "$(printf 'Bind = 127.0.0.1, ::1\nStatusPort = 3080\nSpool = /var/lib/korrin-relay/spool')" ] ||
    fail "conffile values: $(grep -v '^\s*\(#\|;\|$\)' "$conf" | tr '\n' '|')"
[ "$("$bin" --version)" = "korrin-relay $version" ] || fail "--version"
"$bin" --config "$work/root/etc/korrin-relay/korrin-relay.conf" --port 4861 --timer 50 \
    --bind 127.0.0.1 --status-port 4863 --spool "$work/spool" 2>"$work/log" &
pid=$!
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/4862) 2>/dev/null && break; sleep 0.1; done
exec 3<>/dev/tcp/127.0.0.1/4862
sleep 0.2
printf 'packaged\n' >/dev/tcp/127.0.0.1/4861
read -r -t 5 line <&3 || fail "no line relayed"
[ "$line" = packaged ] || fail "relayed '$line'"
exec 4<>/dev/tcp/127.0.0.1/4863
printf 'GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n' >&4
grep -q '^ok' <&4 || fail "/healthz"
kill -TERM "$pid"
wait "$pid" || fail "exit status $? after SIGTERM"
pid=""
echo "check-deb: $deb ok"
