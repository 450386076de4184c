#!/usr/bin/env bash
# Installs the SDK from a build directory into a temporary prefix and builds the two example
# applications against it, each with CMake and with pkg-config: the C++ test harness here, which
# starts the simulated peripheral itself, and the C application of ../c_app (C99, -pedantic),
# which knows only its host configuration. Runs every build: the C one against the simulated
# peripheral, then against `kest peripheral serve --pty` by a changed configuration.
#   examples/consumer/build_against_install.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
c_app=$(cd "$here/../c_app" && pwd)
work=$(mktemp -d)
serve=
trap '[ -z "$serve" ] || kill "$serve" 2>/dev/null; rm -rf "$work"' EXIT
fail() {
    echo "SDK: $*" >&2
    exit 1
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name kest.pc)")

# The package as a whole: versioned libraries, a prefix that is the prefix, the profiles.
libdir=$(pkg-config --variable=libdir kest)
for library in kest ceplatform dermo; do
    soname=$(objdump -p "$libdir/lib$library.so" | awk '$1 == "SONAME" { print $2 }')
    [ "$soname" = "lib$library.so.0" ] || fail "lib$library.so has SONAME '$soname', not lib$library.so.0"
done
pc_prefix=$(pkg-config --variable=prefix kest)
[[ $libdir != *//* && $(realpath "$pc_prefix") == "$(realpath "$prefix")" ]] ||
    fail "kest.pc: prefix $pc_prefix, libdir $libdir"
[ -f "$(pkg-config --variable=profiledir kest)/peripheral/default.toml" ] ||
    fail "kest.pc: no profiles in profiledir"
rpath=$(pkg-config --variable=rpath kest)

# C++: the test harness, with no language standard of its own.
cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
(cd "$work" && ./cmake/consumer)
# shellcheck disable=SC2046  # the flags are words
c++ "$here/main.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs kest-sim) "$rpath"
(cd "$work" && ./consumer-pc)

# C: the application, by CMake (kest::kest alone) and by pkg-config, both C99 and -pedantic.
cmake -S "$c_app" -B "$work/c-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/c-cmake" >/dev/null
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Werror "$c_app/app.c" -o "$work/app-pc" $(pkg-config --cflags --libs kest) "$rpath"
# shellcheck disable=SC2046
cc -std=c89 -pedantic -Werror -fsyntax-only "$c_app/app.c" $(pkg-config --cflags kest)

# The simulated peripheral in the application's process, by the configuration CMake wrote.
KEST_HOST=$work/c-cmake/host-sim.toml "$work/c-cmake/app" >"$work/sim.out" 2>&1 ||
    fail "C application against the simulator: $(tail -n 5 "$work/sim.out")"
# The same binary and the pkg-config one against the peripheral another process serves.
"$prefix/bin/kest" --root "$work/serve-root" peripheral serve --pty --dir "$work/lines" \
    >"$work/serve.out" 2>&1 &
serve=$!
for _ in $(seq 100); do
    [ -L "$work/lines/power" ] && break
    sleep 0.1
done
cp "$c_app/host-pty.toml" "$work/"
for app in "$work/c-cmake/app" "$work/app-pc"; do
    KEST_HOST=$work/host-pty.toml "$app" >"$work/pty.out" 2>&1 ||
        fail "$app against kest peripheral serve --pty: $(tail -n 5 "$work/pty.out")"
done

# The installed tools find their driver library and profiles next to themselves.
(cd "$work" && "$prefix/bin/drx" demo >/dev/null &&
    "$prefix/bin/kest" --quiet --peripheral inline_file demo >/dev/null)
echo "SDK: installed; C++ and C applications built with CMake and with pkg-config; the C one" \
    "ran against the simulator and against kest peripheral serve --pty by its configuration;" \
    "tools run from the prefix"
