#!/usr/bin/env bash
# Makes every package from a clean clone: the Debian package of the Linux build
# and the zips of the 32-bit and 64-bit Windows exes (cross-built with mingw-w64).
# Installs what the packaging needs first (Debian packages, where missing).
#
#   build/deb/packages/zolemul_<version>_<arch>.deb
#   build/win-i686/packages/zolemul-<version>-win32.zip
#   build/win-x86_64/packages/zolemul-<version>-win64.zip
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-build-deps.sh --package

# Only this run's packages are left: none of an earlier version.
rm -f build/deb/packages/*.deb* build/win-*/packages/*.zip*

for preset in package-deb package-win-i686 package-win-x86_64; do
    printf '\n== %s\n' "$preset"
    cmake --workflow --preset "$preset"
done

printf '\n== packages\n'
ls -l build/deb/packages/*.deb build/win-*/packages/*.zip
