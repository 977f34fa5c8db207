#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for a quarter of SECONDS
# (default 60): the frame reader, zolhost's telnet / RFC 2217 engine, what
# zolhost replay reads from a capture, and what serve's control API reads from a
# client, each on a scratch corpus grown from its seeds. Exits nonzero on a
# finding; the crashing input is left in build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
each=$(( (seconds + 3) / 4 ))

tools/install-build-deps.sh --fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target frame_reader_fuzz telnet_port_fuzz capture_fuzz control_http_fuzz

findings=build/fuzz/findings
mkdir -p "$findings"

# fuzz TARGET MAXLEN SEEDSCRIPT: one target's run; its status is kept in $status.
status=0
fuzz() {
    local target=$1 maxlen=$2 seeds=$3
    local work=build/fuzz/corpus/$target log=build/fuzz/$target.log rc=0
    rm -rf "$work"
    mkdir -p "$work"
    bash "$seeds" "$work"
    build/fuzz/tests/fuzz/"$target" "$work" \
        -max_total_time="$each" -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/$target-" >"$log" 2>&1 || rc=$?
    echo "$target:"
    grep -E '^#[0-9]+.*cov:' "$log" | tail -n 1 || true
    grep -E '^stat::' "$log" || true
    if [ "$rc" -ne 0 ]; then
        tail -n 40 "$log"
        echo "fuzz: $target: finding (exit $rc); input in $findings/, full log in $log" >&2
        status=$rc
    fi
}

fuzz frame_reader_fuzz 1024 tests/fuzz/make_seeds.sh
fuzz telnet_port_fuzz 4096 tests/fuzz/make_telnet_seeds.sh
fuzz capture_fuzz 8192 tests/fuzz/make_capture_seeds.sh
fuzz control_http_fuzz 16384 tests/fuzz/make_control_seeds.sh
if [ "$status" -ne 0 ]; then
    exit "$status"
fi
echo "fuzz: no findings in ${each}s per target; full logs in build/fuzz/*.log"
