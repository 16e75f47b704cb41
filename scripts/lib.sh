# Shared by the scripts of this folder: package install and the Wine prefix set-up.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# True where this host runs 32-bit programs, which Wine's 32-bit loader needs: some hosts run
# only 64-bit ones. A 93-byte i386 program that only exits asks the kernel itself, whatever is
# installed. KORRIN_64BIT_ONLY=1 takes the 64-bit-only path on any host.
host_runs_32bit() {
    [ "${KORRIN_64BIT_ONLY:-0}" = 1 ] && return 1
    if [ -z "${KORRIN_HOST_32BIT:-}" ]; then
        local probe
        probe="$(mktemp)"
        printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0'`
              `'\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\x80\x04\x08'`
              `'\0\x80\x04\x08\x5d\0\0\0\x5d\0\0\0\x05\0\0\0\0\x10\0\0'`
              `'\xb8\x01\0\0\0\x31\xdb\xcd\x80' >"$probe"
        chmod +x "$probe"
        # An emulator registered for i386 programs would answer too, but cannot carry Wine.
        if "$probe" 2>/dev/null && ! grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
            KORRIN_HOST_32BIT=yes
        else
            KORRIN_HOST_32BIT=no
        fi
        rm -f "$probe"
        export KORRIN_HOST_32BIT
    fi
    [ "$KORRIN_HOST_32BIT" = yes ]
}

# Installs what the build and the tests need; does nothing when all is there. Wine's 32-bit
# half only where 32-bit programs run (elsewhere it is of no use). The archive's halves can be
# out of step for days (the i386 security index behind the amd64 one), and multi-arch needs
# both halves of a library at one version: so a failed install is tried again from one release
# (`-t <codename>`), and if Wine's 32-bit half still cannot be had, everything else is installed
# and the run goes on as on a host that runs no 32-bit programs (KORRIN_NO32_REASON says why).
ensure_packages() {
    local want=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix googletest wine
                wine64 xvfb xauth x11-apps imagemagick ncat clang libclang-rt-14-dev clang-format
                nsis zip nlohmann-json3-dev chromium python3-prometheus-client python3-websocket
                procps mosquitto mosquitto-clients libmosquitto-dev libssl-dev dpkg-dev)
    host_runs_32bit && want+=(wine32:i386)
    local missing=() p
    for p in "${want[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    if host_runs_32bit && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    # An index that fails to load (a mirror in the middle of a sync) need not stop the install.
    apt-get update -qq || echo "apt-get update reported errors; installing from what it has" >&2
    apt_install_from_one_release "${missing[@]}" && return 0
    local rest=() failed=()
    for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
    if [ ${#rest[@]} -gt 0 ] && { [ ${#rest[@]} -eq ${#missing[@]} ] ||
                                  ! apt_install_from_one_release "${rest[@]}"; }; then
        # Whatever one package does, the others are installed: one at a time.
        for p in "${rest[@]}"; do apt_install_from_one_release "$p" || failed+=("$p"); done
    fi
    if [ ${#rest[@]} -lt ${#missing[@]} ] && ! apt_install_from_one_release wine32:i386; then
        no_32bit_runs "wine32:i386 could not be installed from the archive"
    fi
    [ ${#failed[@]} -eq 0 ] && return 0
    echo "these packages could not be installed: ${failed[*]}" >&2
    return 1
}

# apt-get install as is, then once more with every package from the host's own release
# (codename from /etc/os-release), which a half-synced security archive cannot split.
apt_install_from_one_release() {
    local release log
    release="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    log="$(mktemp)"
    if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" \
            >"$log" 2>&1 ||
       { [ -n "$release" ] &&
         DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            -t "$release" "$@" >"$log" 2>&1; }; then
        rm -f "$log"
        return 0
    fi
    echo "apt-get install $* failed:" >&2
    grep -E '^(E:|W:| )' "$log" | tail -n 8 >&2
    rm -f "$log"
    return 1
}

# Takes the path of a host that runs no 32-bit programs for the rest of this run, saying why.
no_32bit_runs() {
    echo "$1: the 32-bit Windows programs are not run on this machine" >&2
    KORRIN_HOST_32BIT=no
    KORRIN_NO32_REASON="$1"
    export KORRIN_HOST_32BIT KORRIN_NO32_REASON
}

# Environment of a Wine prefix without Mono/Gecko prompts (they would hang offline): a 32-bit
# one (WINEPREFIX, default build/wineprefix), or with the argument win64 a 64-bit one
# (WINEPREFIX64, default build/wineprefix64), which needs a folder of its own. KORRIN_WINE is
# the loader to start programs with: the wine script prefers the 32-bit loader even in a
# 64-bit prefix, which fails where 32-bit programs cannot run, so 64-bit ones get the 64-bit
# loader itself.
wine_env() {
    if [ "${1:-win32}" = win64 ]; then
        export WINEPREFIX="${WINEPREFIX64:-$ROOT/build/wineprefix64}"
        export WINEARCH=win64
        export WINELOADER=/usr/lib/wine/wine64
        KORRIN_WINE=/usr/lib/wine/wine64
    else
        export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
        export WINEARCH=win32
        KORRIN_WINE=wine
    fi
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree=d;mshtml=d}"
}

# Creates the prefix on first use; later calls return at once. Argument: as wine_env.
wine_prefix_ready() {
    wine_env "$@"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$(dirname "$WINEPREFIX")"
        "$KORRIN_WINE" wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
}

# A display for windows: the caller's, else a private Xvfb that stops with the script.
ensure_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
        local i
        for i in $(seq 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && return 0
            sleep 0.1
        done
        kill "$XVFB_PID" 2>/dev/null || true
    done
    echo "no virtual display could be started" >&2
    return 1
}
