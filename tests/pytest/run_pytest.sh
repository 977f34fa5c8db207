#!/usr/bin/env bash
# pytest for CTest, over the zolhost just built:
#   run_pytest.sh MODE ZOLHOST SOURCE_DIR WORK_DIR
# MODE:
#   installed  the plugin (pytest-zolemul/) pip-installed into a venv in WORK_DIR
#              by the set-up docs/pytest-and-labgrid.md gives, loaded by its pytest11 entry point; its
#              own tests, serially, with zolhost's default engine (built-in devices)
#   checkout   the plugin from the checkout (-p pytest_zolemul.plugin); its own
#              tests with two xdist workers, each serving its own devices, every
#              device a zolemul unless a test says otherwise
#   labgrid    labgrid's pytest plugin over a device the plugin's conftest serves
#              (pytest-zolemul/labgrid: env.yaml, the SerialDriver test)
#   netns      a lab of two machines: two network namespaces joined by a veth pair
#              (addresses of the test's own), zolhost serve listening on its
#              address in one, labgrid's pytest in the other over the link; needs
#              the right to make namespaces (root), else skipped saying so
# Debian's python3 runs them, where the python3-* packages put their modules. A
# module that is missing skips the test (exit 77), except where CI=true: it fails.
set -euo pipefail
mode=$1 zolhost=$2 source=$3 work=$4
python=/usr/bin/python3
plugin=$source/pytest-zolemul
export PYTHONDONTWRITEBYTECODE=1
unset LG_ZOL_PORT LG_ZOL_HOST

need() {  # MODULE PACKAGE
    if ! "$python" -c "import $1" 2>/dev/null; then
        if [ "${CI:-}" = true ]; then
            echo "missing under CI=true: Python module $1 (Debian: $2)"
            exit 1
        fi
        echo "missing: Python module $1 (Debian: $2); skipped"
        exit 77
    fi
}
need pytest python3-pytest
need serial python3-serial
common=(-p no:cacheprovider -q -rfEs --zolhost "$zolhost")

case $mode in
installed)
    need ensurepip python3-venv
    # The set-up docs/pytest-and-labgrid.md gives, word for word, in a copy of the plugin (pip leaves its
    # build in the folder it is given), with a python3 first on PATH that is not
    # Debian's.
    rm -rf "$work" && mkdir -p "$work/other"
    cp -r "$plugin" "$work/src"
    printf '#!/bin/sh\necho "not the python3 to use" >&2\nexit 1\n' >"$work/other/python3"
    chmod +x "$work/other/python3"
    grep -E '^    .*(-m venv|/pip install) ' "$source/docs/pytest-and-labgrid.md" |
        sed -e "s|~/zolenv|$work/venv|g" -e "s|\./pytest-zolemul|$work/src|" -e 's|#.*$|-q --no-index --no-deps|' \
        >"$work/setup.sh"
    [ "$(wc -l <"$work/setup.sh")" = 2 ] || { echo "the set-up in docs/pytest-and-labgrid.md is not two lines:"; cat "$work/setup.sh"; exit 1; }
    PATH=$work/other:$PATH bash -e "$work/setup.sh"
    # The checkout's way still loads the plugin once, with pip's build beside it.
    PYTHONPATH=$work/src "$python" -m pytest -p pytest_zolemul.plugin -p no:labgrid --co -q "${common[@]}" \
        "$plugin/tests" >"$work/checkout.log" || { cat "$work/checkout.log"; exit 1; }
    exec "$work/venv/bin/python" -m pytest -p no:labgrid "${common[@]}" "$plugin/tests"
    ;;
checkout)
    need xdist python3-pytest-xdist
    PYTHONPATH=$plugin exec "$python" -m pytest -p no:labgrid -p pytest_zolemul.plugin -n 2 "${common[@]}" \
        --zol-engine zolemul "$plugin/tests"
    ;;
labgrid)
    need labgrid labgrid
    PYTHONPATH=$plugin exec "$python" -m pytest -p pytest_zolemul.plugin "${common[@]}" \
        --lg-env "$plugin/labgrid/env.yaml" "$plugin/labgrid"
    ;;
netns)
    need labgrid labgrid
    lab=zollab$$ desk=zoldesk$$
    # In a chroot (the fresh-machine check) / is no mount point of its own, and ip
    # netns cannot make its mounts there; CI's own run on the machine runs the test.
    if ! awk '$5 == "/" { found = 1 } END { exit !found }' /proc/self/mountinfo; then
        echo "skipped: a chroot: ip netns needs / to be a mount point of its own (CI runs this test outside the fresh root)"
        exit 77
    fi
    if ! ip netns add "$lab" 2>/tmp/zol-netns-$$.err; then
        why="cannot make a network namespace here ($(cat /tmp/zol-netns-$$.err)): it needs root (ip netns add)"
        rm -f /tmp/zol-netns-$$.err
        if [ "${CI:-}" = true ]; then echo "under CI=true: $why"; exit 1; fi
        echo "skipped: $why"
        exit 77
    fi
    rm -f /tmp/zol-netns-$$.err
    serve_pid=
    cleanup() {
        [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null && wait "$serve_pid" 2>/dev/null
        ip netns del "$desk" 2>/dev/null || true
        ip netns del "$lab" 2>/dev/null || true  # takes the veth pair with it
        rm -rf "$work"
    }
    trap cleanup EXIT
    ip netns add "$desk"
    ip link add "v$lab" type veth peer name "v$desk"
    ip link set "v$lab" netns "$lab"
    ip link set "v$desk" netns "$desk"
    ip -n "$lab" addr add 10.234.34.1/30 dev "v$lab"
    ip -n "$desk" addr add 10.234.34.2/30 dev "v$desk"
    for ns in "$lab" "$desk"; do ip -n "$ns" link set lo up; ip -n "$ns" link set "v$ns" up; done
    rm -rf "$work" && mkdir -p "$work"
    mkfifo "$work/stdin"
    ip netns exec "$lab" "$zolhost" serve --devices 2 --host rfc2217://10.234.34.1:20217 --exit-with-stdin \
        <"$work/stdin" >"$work/devices.json" 2>"$work/serve.err" &
    serve_pid=$!
    exec 3>"$work/stdin"  # serve's standard input: it ends when this script does
    for _ in $(seq 100); do [ -s "$work/devices.json" ] && break; sleep 0.1; done
    if ! grep -q '"rfc2217://10.234.34.1:20218"' "$work/devices.json"; then
        echo "zolhost serve did not come up in the lab namespace:"; cat "$work/serve.err"; exit 1
    fi
    # labgrid on the other machine reaches the second device across the veth pair.
    PYTHONPATH=$plugin LG_ZOL_HOST=10.234.34.1 LG_ZOL_PORT=20218 ip netns exec "$desk" \
        "$python" -m pytest -p pytest_zolemul.plugin "${common[@]}" --lg-env "$plugin/labgrid/env.yaml" "$plugin/labgrid"
    ;;
*)
    echo "usage: $0 installed|checkout|labgrid|netns ZOLHOST SOURCE_DIR WORK_DIR" >&2
    exit 2
    ;;
esac
