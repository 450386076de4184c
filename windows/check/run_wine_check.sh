#!/bin/bash
# Runs the Wine check of kest.dll in a Wine prefix of its own, made on first use.
#
#   run_wine_check.sh PREFIX CHECK_EXE DLL...
#
# PREFIX is the Wine prefix directory (under the build directory). In it "COM1" is mapped to a
# Unix socket: no open of a serial port succeeds on it, so the library finds no peripheral.
# Left alone, Wine maps COM1 to /dev/ttyS0, which may exist and open. The DLLs are copied next
# to the program, where the loader looks first. WINE64 and WINESERVER name Wine's programs.
set -euo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 PREFIX CHECK_EXE DLL..." >&2
    exit 2
fi
prefix=$1
exe=$2
shift 2
wine=${WINE64:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
time_limit=${WINE_CHECK_TIME_LIMIT:-300}

for program in "$wine" "$wineserver"; do
    if [ ! -x "$program" ]; then
        echo "wine_check: $program not found (Debian package wine64)" >&2
        exit 2
    fi
done

export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No Mono or Gecko installer at prefix creation, and no window of any kind.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

socket=$prefix/com1.socket
ready=$prefix/.wine-check-ready
# A Unix socket path holds at most 107 bytes.
if [ ${#socket} -gt 107 ]; then
    echo "wine_check: $socket is too long for a socket path; use a shorter build directory" >&2
    exit 2
fi

now_ms() {
    echo $(($(date +%s%N) / 1000000))
}

make_socket() {
    rm -f "$socket"
    perl -MIO::Socket::UNIX -e \
        'IO::Socket::UNIX->new(Local => $ARGV[0], Listen => 1) or die "$ARGV[0]: $!\n"' "$socket"
}

if [ ! -e "$ready" ]; then
    start=$(now_ms)
    rm -rf "$prefix"
    mkdir -p "$prefix"
    "$wine" wineboot --init >/dev/null 2>&1
    make_socket
    "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$socket" /f >/dev/null
    # Wine maps the COM ports when its server starts: stop it so that the next start maps COM1
    # onto the socket (and the registry is saved).
    "$wineserver" -w
    "$wine" reg query 'HKLM\Software\Wine\Ports' /v COM1 >/dev/null
    touch "$ready"
    echo "wine prefix created in $(($(now_ms) - start)) ms"
fi
[ -S "$socket" ] || make_socket
com1=$(readlink "$prefix/dosdevices/com1" || true)
if [ "$com1" != "$socket" ]; then
    echo "wine_check: COM1 is mapped to '$com1', not to $socket" >&2
    exit 2
fi

exe_dir=$(dirname "$exe")
for dll in "$@"; do
    target=$exe_dir/$(basename "$dll")
    [ "$dll" -ef "$target" ] || cp -f "$dll" "$target"
done

start=$(now_ms)
status=0
timeout -k 5 "$time_limit" "$wine" "$exe" || status=$?
elapsed=$(($(now_ms) - start))
if [ $status -eq 124 ]; then
    echo "wine_check: no result within ${time_limit} s"
fi
echo "check ran ${elapsed} ms, exit code ${status}"
exit $status
