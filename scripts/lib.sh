# Shared by the scripts of this folder: package install and the Wine prefix set-up.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Installs what the build and the tests need; does nothing when all is there.
ensure_packages() {
    local want=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix googletest wine
                wine32:i386 wine64 xvfb xauth x11-apps imagemagick ncat clang libclang-rt-14-dev
                nsis zip nlohmann-json3-dev chromium python3-prometheus-client python3-websocket)
    local missing=()
    local p
    for p in "${want[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Environment of a Wine prefix without Mono/Gecko prompts (they would hang offline): a 32-bit
# one (WINEPREFIX, default build/wineprefix), or with the argument win64 a 64-bit one
# (WINEPREFIX64, default build/wineprefix64), which needs a folder of its own.
wine_env() {
    if [ "${1:-win32}" = win64 ]; then
        export WINEPREFIX="${WINEPREFIX64:-$ROOT/build/wineprefix64}"
        export WINEARCH=win64
    else
        export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
        export WINEARCH=win32
    fi
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree=d;mshtml=d}"
}

# Creates the prefix on first use; later calls return at once. Argument: as wine_env.
wine_prefix_ready() {
    wine_env "$@"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$(dirname "$WINEPREFIX")"
        wineboot -i >/dev/null 2>&1 || true
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
