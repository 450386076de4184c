#!/bin/sh
# Output that cannot be written: each tool says why on standard error and exits 1, and a
# directory of profiles that is not there is refused before anything runs.
#   unwritable.sh KEST DRX WORKDIR
kest=$1 drx=$2 work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0

# expect CODE TEXT COMMAND: the shell command exits CODE with TEXT on standard error.
expect() {
    sh -c "$3" 2>stderr
    code=$?
    if [ "$code" -ne "$1" ] || ! grep -qF -- "$2" stderr; then
        echo "FAILED: $3: exit $code, expected $1 and: $2"
        cat stderr
        failures=$((failures + 1))
    fi
}

expect 1 "kest: standard output: No space left on device" "'$kest' --quiet demo >/dev/full"
expect 1 "kest: --trace /dev/full: No space left on device" "'$kest' --trace /dev/full demo >/dev/null"
expect 1 "kest: standard output is closed" "'$kest' demo >&-"
expect 1 "drx: standard output: No space left on device" "'$drx' demo >/dev/full"
expect 1 "drx: standard output is closed" "'$drx' demo >&-"
expect 2 "drx: --profiles: Directory does not exist: /nonexistent" \
    "'$drx' --profiles /nonexistent demo >/dev/null"
exit $failures
