#!/usr/bin/env bash
# pytest for CTest, over the zolhost just built:
#   run_pytest.sh MODE ZOLHOST SOURCE_DIR WORK_DIR
# MODE:
#   installed  the plugin (pytest-zolemul/) pip-installed into a venv in WORK_DIR
#              by the README's own set-up, loaded by its pytest11 entry point; its
#              own tests, serially
#   checkout   the plugin from the checkout (-p pytest_zolemul.plugin); its own
#              tests with two xdist workers, each serving its own devices
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
    # The README's set-up, word for word, in a copy of the plugin (pip leaves its
    # build in the folder it is given), with a python3 first on PATH that is not
    # Debian's.
    rm -rf "$work" && mkdir -p "$work/other"
    cp -r "$plugin" "$work/src"
    printf '#!/bin/sh\necho "not the python3 to use" >&2\nexit 1\n' >"$work/other/python3"
    chmod +x "$work/other/python3"
    grep -E '^    .*(-m venv|/pip install) ' "$source/README.md" |
        sed -e "s|~/zolenv|$work/venv|g" -e "s|\./pytest-zolemul|$work/src|" -e 's|#.*$|-q --no-index --no-deps|' \
        >"$work/setup.sh"
    [ "$(wc -l <"$work/setup.sh")" = 2 ] || { echo "the README's set-up is not two lines:"; cat "$work/setup.sh"; exit 1; }
    PATH=$work/other:$PATH bash -e "$work/setup.sh"
    # The checkout's way still loads the plugin once, with pip's build beside it.
    PYTHONPATH=$work/src "$python" -m pytest -p pytest_zolemul.plugin -p no:labgrid --co -q "${common[@]}" \
        "$plugin/tests" >"$work/checkout.log" || { cat "$work/checkout.log"; exit 1; }
    exec "$work/venv/bin/python" -m pytest -p no:labgrid "${common[@]}" "$plugin/tests"
    ;;
checkout)
    need xdist python3-pytest-xdist
    PYTHONPATH=$plugin exec "$python" -m pytest -p no:labgrid -p pytest_zolemul.plugin -n 2 "${common[@]}" "$plugin/tests"
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
