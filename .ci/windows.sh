#!/usr/bin/env bash
# The Windows side: cross-builds the 32-bit (i686) and 64-bit (x86_64) console
# exes with mingw-w64, checks that the 32-bit exe needs no DLL beyond the system's,
# then runs the end-to-end tests (the Linux test binaries that ./test.sh built in
# build/ci, or ZOL_LINUX_TESTS) against the exes under Wine, in a fresh Wine prefix with COM2 mapped
# to a path each test points at a pty.
#
# Installs mingw-w64 and Wine first where they are missing (Debian packages).
# Every step has a time limit; the Wine prefix and its server are removed on exit.
#
# Where 32-bit programs run, the end-to-end tests and the serial and console
# probes run against the 32-bit build, then the end-to-end tests against the 64-bit
# exe. Some kernels run no 32-bit programs at all; there Wine's 32-bit loader runs
# under qemu-i386 (user mode emulation) and the same tests run the same way, their
# time limits three times as long. ZOL_WINE_QEMU=1 takes the qemu road on any machine;
# ZOL_WINE_NO_32BIT=1 runs the tests and the probes against the 64-bit build only
# (the 32-bit exe is then built and import-checked only). One line says which
# road was taken. Every test that fails fails the step.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n== %s\n' "$*"; }

# --- Tools -------------------------------------------------------------------
# mingw-w64 and the 64-bit Wine are needed; the 32-bit Wine (wine32:i386) only to
# run the 32-bit exe, so a day when the archive cannot give it (an i386 index
# mid-sync) runs the 64-bit exe alone and says so.
step "packages"
tools/install-build-deps.sh --windows
WINE32_MISSING=""
if [ -z "${ZOL_WINE_NO_32BIT:-}" ]; then
    status=0
    mkdir -p build
    tools/install-build-deps.sh --wine32 >build/wine32-install.out 2>&1 || status=$?
    cat build/wine32-install.out
    WINE32_MISSING=$(tail -n 1 build/wine32-install.out)
    if [ "$status" -eq 0 ]; then
        WINE32_MISSING=""
    elif [ "$status" -ne 3 ]; then
        echo "FAIL: tools/install-build-deps.sh --wine32 ended with status $status"
        exit 1
    fi
fi
# --- Cross builds --------------------------------------------------------------
for arch in i686 x86_64; do
    step "cross build: win-$arch"
    timeout 900 cmake --preset "win-$arch" >/dev/null
    timeout 1800 cmake --build --preset "win-$arch"
done

EXE32=build/win-i686/zolemul.exe
EXE64=build/win-x86_64/zolemul.exe
PROBE32=build/win-i686/tests/wine/serial_probe.exe
PROBE64=build/win-x86_64/tests/wine/serial_probe.exe
ZOLHOST64=build/win-x86_64/host/zolhost.exe
WAIT_PROBE64=build/win-x86_64/tests/wine/link_wait_probe.exe
RING_PROBE64=build/win-x86_64/tests/wine/shared_ring_probe.exe
CONSOLE_PROBE32=build/win-i686/tests/wine/console_probe.exe
CONSOLE_PROBE64=build/win-x86_64/tests/wine/console_probe.exe
# zolhost run's DLL of each bitness, and the program that loads it.
COM_SHIM32=build/win-i686/host/zolhost-com32.dll
COM_SHIM64=build/win-x86_64/host/zolhost-com64.dll
COM_PROBE32=build/win-i686/tests/wine/com_shim_probe.exe
COM_PROBE64=build/win-x86_64/tests/wine/com_shim_probe.exe

# --- Imports -------------------------------------------------------------------
# The DLLs FILE imports, each matching the extended regex ALLOWED, or the step
# fails saying WHAT was expected.
check_imports() {
    local file=$1 allowed=$2 what=$3 arch dlls bad
    step "DLL imports of $file"
    arch=${file#build/win-}
    dlls=$("${arch%%/*}-w64-mingw32-objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
    printf '%s\n' "$dlls"
    bad=$(printf '%s\n' "$dlls" | grep -viE "^($allowed)\.dll$" || true)
    if [ -n "$bad" ]; then
        echo "FAIL: $file needs DLLs beyond $what: $bad"
        exit 1
    fi
    echo "ok: $what only"
}
# Single statically linked exes: only DLLs that every Windows has.
for exe in "$EXE32" "$EXE64"; do
    check_imports "$exe" 'kernel32|msvcrt|user32|advapi32|ws2_32|shell32|ole32|oleaut32|gdi32|ntdll|api-ms-win-[a-z0-9-]+' \
        "the system's"
done
# zolhost run's DLL goes into other programs: the fewest system DLLs.
for dll in "$COM_SHIM32" "$COM_SHIM64"; do
    check_imports "$dll" 'kernel32|ws2_32|ntdll|msvcrt' "kernel32, ws2_32, ntdll and the C runtime (msvcrt)"
done

# --- Which road: the 32-bit loader natively, under qemu-i386, or none ----------
# The 32-bit loader answers for itself; a kernel without 32-bit support refuses
# to start it ("Exec format error").
step "32-bit programs"
WORK=$(mktemp -d /tmp/zolwine.XXXXXX)
export WINEPREFIX="$WORK/prefix"
cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
trap cleanup EXIT
if [ -n "${ZOL_WINE_NO_32BIT:-}" ]; then
    ROAD=64-bit
    why="ZOL_WINE_NO_32BIT is set"
elif [ -n "$WINE32_MISSING" ]; then
    ROAD=64-bit
    why="the 32-bit Wine is not installed: $WINE32_MISSING"
elif [ -n "${ZOL_WINE_QEMU:-}" ] && [ "$ZOL_WINE_QEMU" != 0 ]; then
    ROAD=qemu
    why="ZOL_WINE_QEMU is set"
elif why=$(/usr/lib/wine/wine --version 2>&1); then
    ROAD=native
else
    ROAD=qemu
    why="the 32-bit loader does not start: ${why##*: }"
fi

# qemu-user 10 (Debian 12's own 7.2 hangs under Wine): one on PATH, the one kept
# in build/qemu-user by an earlier run, or else the static qemu-i386 taken out of
# qemu-user from the backports suite of the archive this machine already uses,
# fetched through a private apt state that goes with $WORK (no apt source is
# added and no package installed).
QEMU_KEPT=build/qemu-user/qemu-i386
qemu_major() { "$1" --version 2>/dev/null | sed -n '1s/^qemu-i386[^ ]* version \([0-9]*\)\..*/\1/p'; }
find_qemu() {
    local q
    for q in "$(command -v qemu-i386 || true)" "$(command -v qemu-i386-static || true)" "$QEMU_KEPT"; do
        if [ -n "$q" ] && [ -x "$q" ] && [ "$(qemu_major "$q")" -ge 10 ] 2>/dev/null; then
            realpath "$q"
            return 0
        fi
    done
    return 1
}
fetch_qemu() {
    local codename uri apt
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    uri=$(apt-get indextargets --format '$(REPO_URI)' "Release: $codename" "Target-Of: deb" 2>/dev/null | head -1)
    if [ -z "$codename" ] || [ -z "$uri" ]; then
        echo "FAIL: no apt source for '$codename' on this machine to take $codename-backports from"
        exit 1
    fi
    echo "fetching qemu-user from $uri $codename-backports"
    apt="$WORK/apt"
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
    printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\n' "$uri" "$codename" >"$apt/backports.sources"
    local opts=(-o Dir::Etc::SourceList="$apt/backports.sources" -o Dir::Etc::SourceParts=/nonexistent
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache"
        -o APT::Architectures::="$(dpkg --print-architecture)" -o APT::Sandbox::User="$(id -un)")
    # A mirror mid-sync fails an index now and then: tried again after a pause.
    local try
    for try in 1 2 3 4; do
        timeout 600 apt-get "${opts[@]}" -qq update </dev/null && break
        [ "$try" -lt 4 ] || { echo "FAIL: the backports index did not download"; exit 1; }
        sleep 45
    done
    (cd "$apt" && timeout 900 apt-get "${opts[@]}" -qq download "qemu-user/$codename-backports" </dev/null)
    mkdir -p "${QEMU_KEPT%/*}"
    dpkg-deb --fsys-tarfile "$apt"/qemu-user_*.deb | tar -xO ./usr/bin/qemu-i386 >"$QEMU_KEPT.part"
    chmod +x "$QEMU_KEPT.part"
    mv "$QEMU_KEPT.part" "$QEMU_KEPT"
    rm -rf "$apt"
}

# Wine looks for its 32-bit loader next to the 64-bit one (in the directory of the
# running loader, symlinks resolved) and starts further processes through the
# name it was started as. So a private copy of that directory holds both loaders:
# wine64, the real 32-bit loader as wine-i386, and as `wine` a wrapper that runs
# wine-i386 under qemu-i386 in its own name; the rest of Wine is linked from the
# system, whose files stay as they are.
WINE_BIN=/usr/lib/wine
TIME_SCALE=1
if [ "$ROAD" = qemu ]; then
    if ! qemu=$(find_qemu); then
        fetch_qemu
        qemu=$(find_qemu) || { echo "FAIL: $QEMU_KEPT is no qemu-i386 10 or later"; exit 1; }
    fi
    root="$WORK/wine-root"
    WINE_BIN="$root/lib/wine"
    mkdir -p "$WINE_BIN" "$root/share" "$root/lib/x86_64-linux-gnu" "$root/lib/i386-linux-gnu"
    cp /usr/lib/wine/wine64 "$WINE_BIN/wine64"
    cp /usr/lib/wine/wine "$WINE_BIN/wine-i386"
    ln -s /usr/lib/wine/wineserver "$WINE_BIN/wineserver"
    ln -s /usr/lib/x86_64-linux-gnu/wine "$root/lib/x86_64-linux-gnu/wine"
    ln -s /usr/lib/i386-linux-gnu/wine "$root/lib/i386-linux-gnu/wine"
    ln -s /usr/share/wine "$root/share/wine"
    printf '#!/bin/sh\nexec %q -0 "$0" %q "$@"\n' "$qemu" "$WINE_BIN/wine-i386" >"$WINE_BIN/wine"
    chmod +x "$WINE_BIN/wine"
    if ! version=$(timeout 60 "$WINE_BIN/wine" --version 2>&1); then
        echo "FAIL: the 32-bit loader does not start under $qemu: $version"
        exit 1
    fi
    # The slowest test took about three times as long as with the loader run natively.
    TIME_SCALE=3
    export ZOLEMUL_E2E_TIME_SCALE=$TIME_SCALE
    how="the 32-bit loader ($version) runs under $qemu ($("$qemu" --version | sed -n 1p)), time limits x$TIME_SCALE"
fi
export PATH="$WINE_BIN:/usr/lib/wine:$PATH"  # wine64, wineserver
WINE_LOADER="$WINE_BIN/wine64"
limit() { echo $(($1 * TIME_SCALE)); }

case $ROAD in
    native) echo "road: native, this machine runs 32-bit programs ($why): tests run against both exes" ;;
    qemu) echo "road: qemu, $why: $how; tests run against both exes" ;;
    *) echo "road: 64-bit only, $why: tests run against the 64-bit exe" ;;
esac
# The DLL's probe of both bitnesses where 32-bit programs run, else the 64-bit one
# (the 32-bit test then says it was skipped).
COM_PROBES=(ZOLHOST_E2E_COM_PROBE64="$PWD/$COM_PROBE64" ZOLHOST_E2E_COM_SHIM64="$PWD/$COM_SHIM64")
if [ "$ROAD" = 64-bit ]; then
    SMOKE=$EXE64
    PROBE=$PROBE64
    CONSOLE_PROBE=$CONSOLE_PROBE64
else
    COM_PROBES+=(ZOLHOST_E2E_COM_PROBE32="$PWD/$COM_PROBE32" ZOLHOST_E2E_COM_SHIM32="$PWD/$COM_SHIM32")
    SMOKE=$EXE32
    PROBE=$PROBE32
    CONSOLE_PROBE=$CONSOLE_PROBE32
fi

# --- Wine ----------------------------------------------------------------------
# The Linux test binaries: those of ./test.sh unless told otherwise.
TESTS="${ZOL_LINUX_TESTS:-build/ci/tests}"
for t in "$TESTS/emulator_e2e_tests" "$TESTS/wine_tests"; do
    if [ ! -x "$t" ]; then
        echo "FAIL: $t is missing: run ./test.sh first"
        exit 1
    fi
done

export WINEDEBUG=-all
# No Mono or Gecko installer prompts: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
COM2="$WORK/com2"
COM3="$WORK/com3"

step "Wine prefix"
start=$SECONDS
# Wine's first start now and then ends with an error of its own while making the
# prefix; one more try from a clean prefix tells that apart from a real failure.
for try in 1 2; do
    status=0
    timeout "$(limit 180)" wine64 wineboot --init </dev/null >"$WORK/wineboot.out" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
        break
    fi
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    if [ "$try" -eq 2 ]; then
        echo "FAIL: wineboot ended with status $status:"
        tail -20 "$WORK/wineboot.out"
        exit 1
    fi
    echo "wineboot ended with status $status; trying once more"
done
# COM2 through the registry: Wine rewrites its dosdevices links when its server
# starts, but takes the ports named here from the registry.
timeout "$(limit 60)" wine64 reg add 'HKLM\Software\Wine\Ports' /v COM2 /t REG_SZ /d "$COM2" /f </dev/null >/dev/null
# COM3: the device end of zolhost.exe's link.
timeout "$(limit 60)" wine64 reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$COM3" /f </dev/null >/dev/null
timeout 60 wineserver -k || true
timeout 60 wineserver -w || true
echo "prefix ready in $((SECONDS - start)) s"
# One server for the whole run, detached from this shell's terminal and output.
setsid wineserver -p </dev/null >/dev/null 2>&1 || true

# An exe that Wine cannot start prints nothing (WINEDEBUG=-all), so the exit
# status tells: with nothing behind COM2 the emulator ends with -1 (255).
step "smoke: $SMOKE with COM2 missing"
rm -f "$COM2"
set +e
timeout "$(limit 60)" wine64 "$SMOKE" </dev/null >"$WORK/smoke.out" 2>&1
status=$?
set -e
echo "exit status $status, output: '$(cat "$WORK/smoke.out")'"
if [ "$status" -ne 255 ]; then
    echo "FAIL: expected 255; Wine could not run $SMOKE"
    exit 1
fi

export ZOLEMUL_E2E_LOADER="$WINE_LOADER"
export ZOLEMUL_E2E_COM2="$COM2"

# Runs one test binary with a time limit, its output kept for the summary. A run
# that fails is counted and the step goes on, so the summary names every failure;
# a run that ends without gtest's own count of failures (a crash, a time-out)
# counts as one failure.
crashed=0
run_tests() {
    local lim=$1 status
    shift
    : >"$WORK/run.out"
    set +e
    timeout "$(limit "$lim")" "$@" 2>&1 | tee "$WORK/run.out"
    status=${PIPESTATUS[0]}
    set -e
    cat "$WORK/run.out" >>"$WORK/tests.out"
    if [ "$status" -ne 0 ] && ! grep -qE '^\[  FAILED  \] [0-9]+ tests?, listed below' "$WORK/run.out"; then
        echo "FAIL: $* ended with status $status before reporting its failures"
        crashed=$((crashed + 1))
    fi
}

if [ "$ROAD" != 64-bit ]; then
    step "end to end under Wine: $EXE32"
    ZOLEMUL_E2E_EXE="$PWD/$EXE32" run_tests 900 "$TESTS/emulator_e2e_tests"
fi

step "serial and console layer probes, zolhost.exe's link and zolhost run's DLL under Wine: $PROBE, $CONSOLE_PROBE, $ZOLHOST64, $WAIT_PROBE64, $RING_PROBE64, com_shim_probe.exe"
export "${COM_PROBES[@]}"
ZOLEMUL_E2E_PROBE="$PWD/$PROBE" ZOLEMUL_E2E_CONSOLE_PROBE="$PWD/$CONSOLE_PROBE" \
    ZOLHOST_E2E_EXE="$PWD/$ZOLHOST64" ZOLHOST_E2E_WAIT_PROBE="$PWD/$WAIT_PROBE64" ZOLEMUL_E2E_COM3="$COM3" \
    ZOLHOST_E2E_RING_PROBE="$PWD/$RING_PROBE64" run_tests 600 "$TESTS/wine_tests" \
    --gtest_filter='-WineRun.*'

# zolhost.exe run, each bitness with its own programs; nothing is behind the
# prefix's COM2, so the programs reach their ports through run alone.
RUN_BUILDS="build/win-x86_64"
if [ "$ROAD" != 64-bit ]; then
    RUN_BUILDS="build/win-i686 $RUN_BUILDS"
fi
for build in $RUN_BUILDS; do
    step "zolhost.exe run under Wine: $build"
    rm -f "$COM2"
    ZOLHOST_E2E_RUN_BUILD="$PWD/$build" ZOLEMUL_E2E_COM3="$COM3" run_tests 600 "$TESTS/wine_tests" --gtest_filter='WineRun.*'
done

step "end to end under Wine: $EXE64"
ZOLEMUL_E2E_EXE="$PWD/$EXE64" run_tests 900 "$TESTS/emulator_e2e_tests"

if [ "$ROAD" = 64-bit ]; then
    echo
    echo "note: $EXE32 was built and its imports checked, but not run: $why"
elif [ "$ROAD" = qemu ]; then
    echo
    echo "note: the Wine loaders' private copy went with the prefix; nothing outside this clone changed (qemu-i386: $qemu)"
fi

# Totals of gtest's closing lines ("[  PASSED  ] 7 tests.", "[  FAILED  ] 1 test,
# listed below:", "[  SKIPPED ] 5 tests, listed below:").
count() { { grep -E "^\[  $1 *\] [0-9]+ tests?[.,]" "$WORK/tests.out" || true; } | awk '{n += $4} END {print n + 0}'; }
failed=$(($(count FAILED) + crashed))
step "Windows step done in $SECONDS s"
summary="windows ($ROAD road): $(count PASSED) passed, $failed failed, $(count SKIPPED) skipped"
if [ "$ROAD" = 64-bit ]; then
    summary="$summary; the 32-bit exe was not run ($why)"
fi
echo "$summary"
[ "$failed" -eq 0 ]
