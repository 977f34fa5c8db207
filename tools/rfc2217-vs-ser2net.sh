#!/usr/bin/env bash
# Round trips of pyserial's rfc2217:// client through zolhost link (--pace 0) and
# through ser2net (chardelay: false), in the same run, each in front of a zolemul
# of its own. Both servers reach zolemul the same way: over a pty pair joined to
# zolemul's COM2 by socat, as ser2net can only open a device by its path.
#   usage: tools/rfc2217-vs-ser2net.sh [BUILD_DIR] [ROUNDS] [REPEATS]
# Prints each run's median and the median of the medians, with their ratio.
set -euo pipefail
build=${1:-build/release}
rounds=${2:-2000}
repeats=${3:-3}
here=$(cd "$(dirname "$0")/.." && pwd)
for tool in socat /usr/sbin/ser2net /usr/bin/python3 "$build/zolemul" "$build/host/zolhost"; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

wait_for() {  # wait_for FILE: up to 10 s
    for _ in $(seq 100); do [ -e "$1" ] && return 0; sleep 0.1; done
    echo "not there in time: $1" >&2; exit 1
}

# zolemul in DIR on DIR/COM2, the other end of the pair at DIR/far.
device() {
    mkdir -p "$1"
    socat pty,raw,echo=0,link="$1/COM2" pty,raw,echo=0,link="$1/far" & pids+=($!)
    wait_for "$1/COM2"; wait_for "$1/far"
    mkfifo "$1/keys"  # zolemul's console input: open, and nothing typed
    (cd "$1" && exec script -qfc "$here/$build/zolemul" /dev/null <> keys > /dev/null 2>&1) & pids+=($!)
    sleep 0.5
}

device "$work/z"
"$build/host/zolhost" --port "$work/z/far" --pace 0 link rfc2217://127.0.0.1:0 > "$work/z/url" 2> "$work/z/log" & pids+=($!)
for _ in $(seq 100); do [ -s "$work/z/url" ] && break; sleep 0.1; done
zurl=$(head -1 "$work/z/url")

device "$work/s"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/s/ser2net.yaml" <<YAML
connection: &zol
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port
  connector: serialdev,$(readlink "$work/s/far"),115200n81,local
  options:
    chardelay: false
YAML
/usr/sbin/ser2net -n -c "$work/s/ser2net.yaml" -P "$work/s/pid" 2> "$work/s/log" & pids+=($!)
sleep 0.5
surl="rfc2217://127.0.0.1:$port?ign_set_control"  # ser2net on a pty answers no SET-CONTROL

median() {  # median URL: one run's median round trip in us
    /usr/bin/python3 "$here/tests/host/link_host.py" "$1" "$rounds" | sed -n 's/.*good \([0-9]*\) .*rtt_median_us \([0-9]*\)/\1 \2/p'
}
z=(); s=()
for i in $(seq "$repeats"); do
    read -r zg zm < <(median "$zurl"); read -r sg sm < <(median "$surl")
    echo "run $i: zolhost median ${zm} us ($zg/$rounds good), ser2net median ${sm} us ($sg/$rounds good)"
    z+=("$zm"); s+=("$sm")
done
/usr/bin/python3 - "${z[*]}" "${s[*]}" <<'PY'
import statistics, sys
z = statistics.median(map(int, sys.argv[1].split())); s = statistics.median(map(int, sys.argv[2].split()))
print("median of medians: zolhost %d us, ser2net %d us, zolhost/ser2net %.2f" % (z, s, z / s))
PY
