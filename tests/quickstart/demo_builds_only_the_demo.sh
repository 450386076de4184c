#!/usr/bin/env bash
# `./quickstart demo` on a fresh copy of the tree must build the kest program and what it needs,
# and run its demo, without building a test or a benchmark first.
#   tests/quickstart/demo_builds_only_the_demo.sh
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
# Inside the tree's folder, so that ccache (base_dir) finds the objects of earlier builds.
copy=$(mktemp -d "$source/build/quickstart-demo.XXXXXX")
trap 'rm -rf "$copy"' EXIT
(cd "$source" && git ls-files -z | xargs -0 cp --parents -t "$copy")

(cd "$copy" && ./quickstart demo) >"$copy/demo.log" 2>&1 || {
    tail -n 20 "$copy/demo.log"
    echo "quickstart demo: failed" >&2
    exit 1
}
# .ninja_log: one line per output built, the output's path fourth.
built=$(awk 'NR > 1 { print $4 }' "$copy/build/default/.ninja_log" | sort -u)
extra=$(grep -E '^(tests|bench|fuzz)/' <<<"$built" || true)
echo "quickstart demo: $(wc -l <<<"$built") outputs built"
if [ -n "$extra" ]; then
    echo "quickstart demo: built what the demo does not run:" >&2
    head -n 10 <<<"$extra" >&2
    exit 1
fi
