#!/usr/bin/env bash
# Builds everything and runs every test (unit and end to end, over ptys).
# On a fresh Debian machine it first installs what the build needs.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-build-deps.sh

cmake --workflow --preset ci
