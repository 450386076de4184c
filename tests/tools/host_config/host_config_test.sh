#!/usr/bin/env bash
# host_config_test.sh APP MODEL_LIBRARY KEST
set -uo pipefail
app=$1 models=$2 kest=$3
work=$(mktemp -d)
serve=
trap '[ -z "$serve" ] || kill "$serve"; rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
file_size() { stat -c %s "$1" 2>/dev/null || echo none; }

# Without a configuration the application finds nothing on COM1: and says so.
(cd "$work" && timeout 60 "$app" >"$work/none.out" 2>&1) && fail "ran without a configuration"

# The simulated peripheral in the application's process, with a shipped profile.
cat >"$work/sim.toml" <<TOML
root = "sim-root"
[models]
library = "$models"
peripheral = "default"
TOML
KEST_HOST=$work/sim.toml timeout 60 "$app" >"$work/sim.out" 2>&1 || fail "simulator: $(tail -3 "$work/sim.out")"
[ "$(file_size "$work/sim-root/QUOX/RUV/calib.bin")" = 1000 ] || fail "simulator: no calib.bin of 1000 bytes"

# A configuration with a fault is refused before main, with where and why.
printf 'root = "r"\n[serial]\nCOM1 = "%s"\n' "$work/sim.toml" >"$work/bad.toml"
out=$(KEST_HOST=$work/bad.toml "$app" 2>&1)
[ $? -eq 1 ] && [[ $out == *"COM1: $work/sim.toml: not a terminal or character device"* ]] ||
    fail "bad configuration: $out"

# The same binary against the peripheral another process serves on pseudo-terminals.
"$kest" --root "$work/serve-root" peripheral serve --pty --dir "$work/lines" >"$work/serve.out" 2>&1 &
serve=$!
for _ in $(seq 100); do [ -L "$work/lines/power" ] && [ -s "$work/serve.out" ] && break; sleep 0.1; done
grep -qx "power: $work/lines/power" "$work/serve.out" && grep -qx "data: $work/lines/data" "$work/serve.out" ||
    fail "serve printed: $(cat "$work/serve.out")"
[ -e "$work/lines/data" ] && fail "the data line is there before the power line is opened"
cat >"$work/pty.toml" <<TOML
root = "pty-root"
[serial]
COM1 = "lines/power"
COM5 = "lines/data"
TOML
for run in 1 2; do
    KEST_HOST=$work/pty.toml timeout 60 "$app" >"$work/pty.out" 2>&1 || fail "pty run $run: $(tail -3 "$work/pty.out")"
done
[ "$(file_size "$work/pty-root/QUOX/RUV/calib.bin")" = 1000 ] || fail "pty: no calib.bin of 1000 bytes"
kill "$serve" && wait "$serve"
code=$?
serve=
[ $code -eq 0 ] || fail "serve ended with $code: $(cat "$work/serve.out")"
[ -e "$work/lines/power" ] && fail "the power line outlived serve"
exit $failed
