#!/usr/bin/env bash
# The demo: zolhost drives zolemul over a virtual link on this machine. zolemul
# runs in the foreground with its status line; any key stops it, and zolhost then
# prints its summary. Builds what it needs first (the release preset) and, on a
# fresh Debian machine, installs the build packages.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

tools/install-build-deps.sh

echo "building zolemul and zolhost (release)..."
cmake --preset release >/dev/null
cmake --build --preset release --target zolemul zolhost >/dev/null
zolemul="$root/build/release/zolemul"
zolhost="$root/build/release/host/zolhost"

dir=$(mktemp -d "${TMPDIR:-/tmp}/zoldemo.XXXXXX")
log=$(mktemp "${TMPDIR:-/tmp}/zoldemo-host.XXXXXX")
host=""
cleanup() {
    if [ -n "$host" ] && kill -0 "$host" 2>/dev/null; then
        kill -TERM "$host" 2>/dev/null || true
        wait "$host" 2>/dev/null || true
    fi
    rm -rf "$dir" "$log"
}
trap cleanup EXIT

# The host end: makes $dir/COM2 and sends 10 requests a second once zolemul opens it.
"$zolhost" --virtual "$dir" drive >"$log" 2>&1 &
host=$!
for _ in $(seq 100); do
    [ -L "$dir/COM2" ] && break
    kill -0 "$host" 2>/dev/null || break
    sleep 0.1
done
if [ ! -L "$dir/COM2" ]; then
    cat "$log" >&2
    echo "demo: zolhost did not make its virtual link" >&2
    exit 1
fi

echo
echo "zolemul answers zolhost over a virtual link ($dir/COM2)."
echo "Watch its status line count the frames; press any key to stop."
echo
status=0
(cd "$dir" && "$zolemul") || status=$?
echo

# zolemul has closed the link: zolhost sees it go, prints its summary and ends.
for _ in $(seq 50); do
    kill -0 "$host" 2>/dev/null || break
    sleep 0.1
done
host_status=0
if kill -0 "$host" 2>/dev/null; then
    kill -TERM "$host"
fi
wait "$host" || host_status=$?
host=""
grep -v '^zolhost: virtual link ready\|opened$' "$log" || true
echo "zolemul exit status $status, zolhost exit status $host_status"
