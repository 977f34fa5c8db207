#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the CI steps need,
# where they are missing. Every package the project uses is in the one list below,
# with what it is for; a group is installed when asked for:
#
#   (no option)   build and test: what ./test.sh and ./demo.sh need
#   --fuzz        tools/fuzz.sh: clang with its libFuzzer runtime
#   --package     tools/package.sh: dpkg-shlibdeps, mingw-w64, unzip; lintian
#   --windows     .ci/windows.sh: mingw-w64 and the 64-bit Wine
#   --wine32      .ci/windows.sh: the 32-bit Wine (i386); the i386 architecture is
#                 added first. Exits 3 with one line naming the reason when it cannot
#                 be installed, so the caller can go on without it.
#   --fresh-root  .ci/fresh-root.sh: mmdebstrap, to make a minimal Debian root
#   --list        prints the list and installs nothing
#
# The archive now and then fails an index while a mirror syncs ("File has unexpected
# size ... Mirror sync in progress?"): `apt-get update` is tried again after a pause,
# and an index that still fails matters only if the packages asked for then cannot
# be installed (ZOL_APT_TRIES, default 4, and ZOL_APT_PAUSE seconds, default 45).
set -euo pipefail

# group       package                 what it is for
PACKAGES="
build         cmake                   configures every build (CMakePresets.json)
build         ninja-build             the generator of every preset
build         g++                     compiles zolemul, zolhost and the tests
build         libgtest-dev            the unit and end-to-end tests (GoogleTest)
build         libcli11-dev            zolhost's command line (CLI11, header only)
build         nlohmann-json3-dev      zolhost's --json output (nlohmann/json, header only)
build         libserialport-dev       the tests' libserialport program that opens its port through zolhost run
build         chromium                the control page's test loads it in headless Chromium
build         python3-serial          the link tests' host programs and the bench's pyserial baseline
build         ser2net                 the RFC 2217 tests put it in front of zolemul
build         tshark                  the link's capture test reads the capture back with the dissector
build         python3-pytest          the pytest plugin's tests, and labgrid's test run (tests/pytest)
build         python3-pytest-xdist    the pytest plugin's tests with two workers, each with its own devices
build         python3-venv            the pytest plugin's tests install it with pip into a venv
build         python3-wheel           ... where pip builds its wheel without fetching anything
build         python3-setuptools      the pytest plugin's dist-info (its entry point) for cmake --install and the .deb
build         man-db                  the manual pages' test renders them (man -l), as .ci/packages.sh does the installed ones
build         labgrid                 the labgrid test: a served device as a NetworkSerialPort with its SerialDriver
build         iproute2                the two-namespace lab test: ip netns, a veth pair between serve and labgrid
fuzz          clang                   builds the libFuzzer targets
fuzz          libclang-rt-14-dev      clang's libFuzzer and sanitizer runtimes
package       dpkg-dev                dpkg-shlibdeps works out the .deb's Depends
package       g++-mingw-w64-i686      the 32-bit Windows exes and their zip
package       g++-mingw-w64-x86-64    the 64-bit Windows exes and their zip
package       unzip                   looks inside the Windows zips
package       lintian                 .ci/packages.sh checks the .deb as Debian's archive would
windows       g++-mingw-w64-i686      the 32-bit Windows exes
windows       g++-mingw-w64-x86-64    the 64-bit Windows exes
windows       wine64                  runs the 64-bit exes end to end
wine32        wine32:i386             runs the 32-bit exes end to end (natively or under qemu-i386)
fresh-root    mmdebstrap              makes the minimal Debian root of the fresh-machine check
"

groups=(build)
optional=0
for arg in "$@"; do
    case "$arg" in
    --fuzz) groups+=(fuzz) ;;
    --package) groups+=(package) ;;
    --windows) groups=(windows) ;;
    --wine32) groups=(wine32) optional=1 ;;
    --fresh-root) groups=(fresh-root) ;;
    --list)
        printf '%s\n' "$PACKAGES" | sed '/^$/d'
        exit 0
        ;;
    *)
        echo "usage: $0 [--fuzz] [--package] | --windows | --wine32 | --fresh-root | --list" >&2
        exit 2
        ;;
    esac
done

installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

need=()
while read -r group package _; do
    [ -n "$group" ] || continue
    for g in "${groups[@]}"; do
        if [ "$g" = "$group" ] && ! installed "$package" && [[ " ${need[*]} " != *" $package "* ]]; then
            need+=("$package")
        fi
    done
done <<<"$PACKAGES"
[ ${#need[@]} -gt 0 ] || exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
tries=${ZOL_APT_TRIES:-4}
pause=${ZOL_APT_PAUSE:-45}
log=$(mktemp "${TMPDIR:-/tmp}/zolapt.XXXXXX")
update_log=$(mktemp "${TMPDIR:-/tmp}/zolapt.XXXXXX")
trap 'rm -f "$log" "$update_log"' EXIT

# The first error or warning line of apt's own in a log ("E: Unable to locate
# package ...", "W: Failed to fetch ..."), else the status it ended with.
reason() {
    local line
    line=$(grep -m1 -E '^(E|W): ' "$1" | cut -c1-300) || true
    echo "${line:-apt-get ended with status $2}"
}

if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
echo "installing: ${need[*]}"
update_status=0
for try in $(seq "$tries"); do
    update_status=0
    timeout 600 $sudo apt-get update -qq >"$update_log" 2>&1 || update_status=$?
    [ "$update_status" -eq 0 ] && break
    echo "apt-get update, try $try of $tries: $(reason "$update_log" "$update_status")"
    [ "$try" -lt "$tries" ] && sleep "$pause"
done
# An index that still fails is left to the install: it fails only if what we ask
# for is not in the indexes that were read. The download itself is retried too.
for try in $(seq "$tries"); do
    status=0
    timeout 1800 $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null >"$log" 2>&1 || status=$?
    [ "$status" -eq 0 ] && exit 0
    # A package that no index holds, or whose dependencies none can meet, will not
    # appear by waiting.
    if grep -qE '^E: (Unable to locate package|Package .* has no installation candidate|Unable to correct problems)' "$log"; then
        break
    fi
    echo "apt-get install, try $try of $tries: $(reason "$log" "$status")"
    [ "$try" -lt "$tries" ] && sleep "$pause"
done
why=$(reason "$log" "$status")
# apt-get update may end well with an index it could not fetch (a warning only).
fetch=$(grep -m1 -E '^(E|W): (Failed to fetch|.*Mirror sync in progress)' "$update_log" | cut -c1-300 || true)
if [ "$update_status" -ne 0 ] || [ -n "$fetch" ]; then
    why="$why (an index of the archive did not download: ${fetch:-$(reason "$update_log" "$update_status")})"
fi
if [ "$optional" -eq 1 ]; then
    echo "cannot install ${need[*]}: $why"
    exit 3
fi
cat "$log" >&2
echo "$0: cannot install ${need[*]}: $why" >&2
exit 1
