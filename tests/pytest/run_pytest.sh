#!/usr/bin/env bash
# pytest for CTest, over the zolhost just built:
#   run_pytest.sh MODE ZOLHOST SOURCE_DIR WORK_DIR
# MODE:
#   installed  the plugin (pytest-zolemul/) pip-installed into a venv in WORK_DIR,
#              loaded by its pytest11 entry point; its own tests, serially, with
#              zolhost's default engine (built-in devices)
#   checkout   the plugin from the checkout (-p pytest_zolemul.plugin); its own
#              tests with two xdist workers, each serving its own devices, every
#              device a zolemul unless a test says otherwise
#   labgrid    labgrid's pytest plugin over a device the plugin's conftest serves
#              (pytest-zolemul/labgrid: env.yaml, the SerialDriver test)
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
    # pip builds in the folder it is given: a copy, so the checkout stays clean.
    rm -rf "$work" && mkdir -p "$work"
    cp -r "$plugin" "$work/src"
    "$python" -m venv --system-site-packages "$work/venv"
    "$work/venv/bin/pip" install -q --no-build-isolation --no-index --no-deps "$work/src"
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
*)
    echo "usage: $0 installed|checkout|labgrid ZOLHOST SOURCE_DIR WORK_DIR" >&2
    exit 2
    ;;
esac
