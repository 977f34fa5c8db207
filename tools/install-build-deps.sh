#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where they are missing.
# --fuzz: also clang with its libFuzzer runtime, for tools/fuzz.sh.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ "${1:-}" = "--fuzz" ]; then
    command -v clang++ >/dev/null || need+=(clang)
    compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null \
        || need+=(libclang-rt-14-dev)
fi
if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi
