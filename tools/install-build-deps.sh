#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where they are missing.
# --fuzz: also clang with its libFuzzer runtime, for tools/fuzz.sh.
# --package: also dpkg-shlibdeps and mingw-w64, for tools/package.sh, and unzip to
#            look inside the zips.
set -euo pipefail

fuzz=0
package=0
for arg in "$@"; do
    case "$arg" in
    --fuzz) fuzz=1 ;;
    --package) package=1 ;;
    *) echo "usage: $0 [--fuzz] [--package]" >&2; exit 2 ;;
    esac
done

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
# The zolhost link tests drive it with a pyserial host program under Debian's
# python3, and the bench measures a pyserial baseline with it.
# Asked from / in isolated mode: run in the repository, the project's own serial/
# folder would pass for the package (Python takes it as a namespace package).
(cd / && /usr/bin/python3 -I -c 'import serial.tools.list_ports' 2>/dev/null) || need+=(python3-serial)
[ -x /usr/sbin/ser2net ] || need+=(ser2net)  # the RFC 2217 tests put it in front of zolemul
# The link's capture test reads it back with tshark and the project's dissector.
# (Its debconf question, capturing as non-root, takes its default: no.)
command -v tshark >/dev/null || need+=(tshark)
if [ "$fuzz" -eq 1 ]; then
    command -v clang++ >/dev/null || need+=(clang)
    compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null \
        || need+=(libclang-rt-14-dev)
fi
if [ "$package" -eq 1 ]; then
    command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
    command -v i686-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-i686)
    command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64)
    command -v unzip >/dev/null || need+=(unzip)
fi
if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi
