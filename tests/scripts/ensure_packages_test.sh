#!/usr/bin/env bash
# ensure_packages of scripts/lib.sh against a fake apt-get and dpkg: an archive whose i386 half
# is out of step, or one package that cannot be had, must never leave the rest uninstalled.
set -uo pipefail
lib="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
# The fake apt-get installs what it is asked for, unless the case's rule refuses the call:
# REFUSE lists packages it never installs; SPLIT=1 refuses every call without -t.
cat >"$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
[ "$1" = update ] && exit 0
echo "$*" >>"$STATE/calls"
pkgs=() release=0
for a in "$@"; do
    case "$a" in -t) release=1 ;; -*|install|bookworm) ;; *) pkgs+=("$a") ;; esac
done
[ "${SPLIT:-0}" = 1 ] && [ "$release" = 0 ] && { echo "E: Unable to correct problems" >&2; exit 100; }
for p in "${pkgs[@]}"; do
    case " $REFUSE " in *" $p "*) echo "E: Package $p has no installation candidate" >&2; exit 100 ;; esac
done
printf '%s\n' "${pkgs[@]}" >>"$STATE/installed"
FAKE
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
grep -qx "${@: -1}" "$STATE/installed" 2>/dev/null && echo "install ok installed"
FAKE
printf '#!/bin/sh\n[ "$1" = -u ] && echo 0 || exec /usr/bin/id "$@"\n' >"$work/bin/id"
printf '#!/bin/sh\n[ "$1" = --print-foreign-architectures ] && echo i386\nexit 0\n' >"$work/bin/dpkg"
chmod +x "$work/bin/"*

failed=0
# name | REFUSE | SPLIT | expected exit | expected KORRIN_HOST_32BIT after | installed (a sample)
while IFS='|' read -r name refuse split want_rc want_32 want_installed; do
    export STATE="$work/$name" REFUSE="$refuse" SPLIT="$split"
    mkdir -p "$STATE"
    out="$(PATH="$work/bin:$PATH" KORRIN_HOST_32BIT=yes bash -c \
        'source "$1"; ensure_packages; rc=$?; echo "rc=$rc 32=$KORRIN_HOST_32BIT"' _ "$lib" 2>&1)"
    for p in $want_installed; do
        grep -qx "$p" "$STATE/installed" 2>/dev/null || { echo "FAIL $name: $p not installed"; failed=1; }
    done
    case "$out" in *"rc=$want_rc 32=$want_32"*) ;; *) echo "FAIL $name: $out"; failed=1 ;; esac
done <<'CASES'
all at once|||0|yes|cmake wine32:i386 chromium
i386 half out of step: one release||1|0|yes|cmake wine32:i386
wine32 never: the rest, 64-bit path|wine32:i386||0|no|cmake wine64 chromium nsis
wine32 never, split archive|wine32:i386|1|0|no|cmake wine64 chromium
one other package never: the others, and a failure|nsis wine32:i386||1|no|cmake wine64 chromium
CASES
[ "$failed" = 0 ] && echo "all cases passed"
exit "$failed"
