#!/usr/bin/env bash
# Builds the fuzz preset and runs the frame reader's libFuzzer target for SECONDS
# (default 60) on a scratch corpus grown from the seeds. Exits nonzero on a finding;
# the crashing input is left in build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

tools/install-build-deps.sh --fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=build/fuzz/corpus
findings=build/fuzz/findings
log=build/fuzz/fuzz.log
rm -rf "$work"
mkdir -p "$work" "$findings"
bash tests/fuzz/make_seeds.sh "$work"

status=0
build/fuzz/tests/fuzz/frame_reader_fuzz "$work" \
    -max_total_time="$seconds" -max_len=1024 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?

grep -E '^#[0-9]+.*cov:' "$log" | tail -n 1 || true
grep -E '^stat::' "$log" || true
if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzz: finding (exit $status); input in $findings/, full log in $log" >&2
    exit "$status"
fi
echo "fuzz: no findings in ${seconds}s; full log in $log"
