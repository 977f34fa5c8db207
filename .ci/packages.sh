#!/usr/bin/env bash
# The packages, as a user gets them: tools/package.sh makes the Debian package and
# the Windows zips; the .deb is installed into a scratch root with dpkg and its
# programs run from there, its /usr laid over this machine's so that Debian's
# pytest, tshark and man find what it brings where they look by themselves; lintian
# checks it; the zips are listed and their exes' version resources read back. Every
# check that fails ends the step with a nonzero status. Needs root, or user
# namespaces, for the overlay.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n== %s\n' "$*"; }
fail() {
    echo "FAIL: $*"
    exit 1
}
passed=0
ok() {
    echo "ok: $*"
    passed=$((passed + 1))
}

step "making the packages"
timeout 1800 tools/package.sh

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/deb/CMakeCache.txt)
[ -n "$version" ] || fail "no project version in build/deb/CMakeCache.txt"
echo "version $version"

WORK=$(mktemp -d /tmp/zolpkg.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# --- Debian package --------------------------------------------------------------
deb=build/deb/packages/zolemul_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "$deb was not made"
step "$deb"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"

[ "$(dpkg-deb -f "$deb" Package)" = zolemul ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"
for field in Maintainer Section Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field field"
done
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | LC_ALL=C sort | tr '\n' ' ')
expected="./usr/bin/zolemul ./usr/bin/zolhost
./usr/lib/python3/dist-packages/pytest_zolemul-$version.dist-info/METADATA
./usr/lib/python3/dist-packages/pytest_zolemul-$version.dist-info/entry_points.txt
./usr/lib/python3/dist-packages/pytest_zolemul-$version.dist-info/top_level.txt
./usr/lib/python3/dist-packages/pytest_zolemul/__init__.py
./usr/lib/python3/dist-packages/pytest_zolemul/frames.py
./usr/lib/python3/dist-packages/pytest_zolemul/plugin.py
./usr/lib/python3/dist-packages/pytest_zolemul/served.py
./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/zolemul.lua
./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/zolhost/libzolhost-tty.so
./usr/share/doc/zolemul/README.md ./usr/share/doc/zolemul/changelog.gz ./usr/share/doc/zolemul/copyright
./usr/share/lintian/overrides/zolemul
./usr/share/man/man1/zolemul.1.gz ./usr/share/man/man1/zolhost.1.gz
$(cd docs && printf './usr/share/doc/zolemul/docs/%s\n' *.md)"
[ "$files" = "$(tr ' ' '\n' <<<"$expected" | LC_ALL=C sort | tr '\n' ' ')" ] || fail "unexpected files in the package: $files"
ok "fields and files of the package"

# Depends comes from the binaries (dpkg-shlibdeps); every entry must be met by
# this machine's packages, as apt would demand.
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libc6* && "$depends" == *libstdc++6* ]] || fail "Depends not worked out from the binaries: '$depends'"
IFS=',' read -ra deps <<<"$depends"
for dep in "${deps[@]}"; do
    read -r name op want <<<"$(tr -d '()' <<<"$dep")"
    have=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null) || fail "dependency $name is not installed here"
    if [ -n "${op:-}" ]; then
        case "$op" in
        '>=') rel=ge ;; '<=') rel=le ;; '>>') rel=gt ;; '<<') rel=lt ;; '=') rel=eq ;;
        *) fail "dependency $dep: unknown relation $op" ;;
        esac
        dpkg --compare-versions "$have" "$rel" "$want" || fail "dependency $dep: this machine has $have"
    fi
done
ok "Depends met here: $depends"

step "installing $deb into a scratch root"
ROOT="$WORK/root"
mkdir -p "$ROOT/var/lib/dpkg/info" "$ROOT/var/lib/dpkg/updates"
touch "$ROOT/var/lib/dpkg/status"
# The scratch root has no libc6 of its own: the programs run on this machine's,
# whose versions were checked above. Nor has it a shell: the maintainer scripts run
# outside it, told where it is (DPKG_ROOT).
timeout 120 dpkg --root="$ROOT" --force-depends --force-script-chrootless -i "$deb" >"$WORK/dpkg.out" 2>&1 || {
    cat "$WORK/dpkg.out"
    fail "dpkg could not install $deb"
}
grep -v -e 'not installed' -e 'depends on' -e 'dependency problems' -e '^$' "$WORK/dpkg.out" || true
[ "$(dpkg --root="$ROOT" -s zolemul | sed -n 's/^Status: //p')" = "install ok installed" ] || fail "dpkg did not install it"
for p in zolemul zolhost; do
    [ -x "$ROOT/usr/bin/$p" ] || fail "$ROOT/usr/bin/$p missing"
done
ok "installed by dpkg"

# With no COM2 in its directory (and no /dev/ttyS1) zolemul ends at once with -1,
# printing nothing.
step "installed zolemul in an empty directory"
mkdir "$WORK/empty"
set +e
(cd "$WORK/empty" && timeout 20 "$ROOT/usr/bin/zolemul" </dev/null >"$WORK/zolemul.out" 2>&1)
status=$?
set -e
echo "exit status $status, output: '$(cat "$WORK/zolemul.out")'"
[ "$status" -eq 255 ] || fail "expected exit status 255 with COM2 missing (is there a /dev/ttyS1?)"
[ ! -s "$WORK/zolemul.out" ] || fail "expected no output"
ok "zolemul: exit status 255, silent"

step "installed zolhost --version"
out=$(timeout 20 "$ROOT/usr/bin/zolhost" --version)
echo "$out"
[ "$out" = "zolhost $version" ] || fail "expected 'zolhost $version'"
ok "zolhost prints its version"

# zolhost run finds its library where the package put it: the program sees the
# path it was given as a character device.
step "installed zolhost run"
timeout 20 "$ROOT/usr/bin/zolhost" run --tty /dev/ttyZOLPKG0=builtin -- /bin/sh -c 'test -c /dev/ttyZOLPKG0' \
    2>"$WORK/run.err" || { cat "$WORK/run.err"; fail "the program did not see /dev/ttyZOLPKG0 served"; }
ok "zolhost run serves a path through its installed library"

# lintian as Debian's archive runs it: no error and no warning (the package's one
# override says why).
step "lintian $deb"
timeout 600 lintian --fail-on error,warning "$deb" || fail "lintian reports on the package"
ok "lintian: nothing to report"

# The package as if apt had installed it: the scratch root's /usr over this
# machine's, in a mount namespace of the command's own (nothing here changes).
# Debian's python3, pytest, tshark and man then look where they always look.
installed() {
    local ns=(unshare --mount --propagation private)
    [ "$(id -u)" -eq 0 ] || ns=(unshare --user --map-root-user --mount --propagation private)
    "${ns[@]}" /bin/sh -c 'mount -t overlay zolpkg -o "lowerdir=$0/usr:/usr" /usr && exec "$@"' "$ROOT" \
        env -i HOME="$WORK" PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"
}

# A user's test through the plugin: Debian's pytest loads it by its entry point,
# its fixture serves a device with the installed zolhost, and the requests sent
# through pyserial get good replies; the device's link writes a capture.
step "installed pytest plugin: a test with zol_device"
mkdir "$WORK/pytest"
cat >"$WORK/pytest/test_installed.py" <<'PY'
import os

import pytest
from pytest_zolemul import exchange


@pytest.mark.zol(pcap=os.path.join(os.path.dirname(__file__), "link.pcapng"))
def test_device_answers(zol_device):
    with zol_device.open() as line:
        assert exchange(line, 5) == 5
PY
set +e
(cd "$WORK/pytest" && installed timeout 120 /usr/bin/python3 -m pytest -p no:cacheprovider -v test_installed.py) \
    >"$WORK/pytest.out" 2>&1
status=$?
set -e
cat "$WORK/pytest.out"
[ "$status" -eq 0 ] || fail "the test through the installed plugin did not pass"
grep -q "^zolhost: /usr/bin/zolhost$" "$WORK/pytest.out" || fail "pytest did not find the installed zolhost on PATH"
grep -q "^plugins: .*zolemul-$version" "$WORK/pytest.out" || fail "pytest did not load the plugin by its entry point"
where=$(installed /usr/bin/python3 -c 'import pytest_zolemul; print(pytest_zolemul.__file__)')
[ "$where" = /usr/lib/python3/dist-packages/pytest_zolemul/__init__.py ] || fail "the plugin came from $where"
ok "Debian's pytest loads the installed plugin; a served device answered 5 of 5"

# The capture decoded by tshark with no plugin path given: five requests, five
# replies (and notes: the ends opening and closing, the host's line settings).
step "tshark -r on the device's capture"
capture=$WORK/pytest/link.pcapng
[ -s "$capture" ] || fail "no capture written by the served device's link"
kinds=$(installed timeout 60 tshark -r "$capture" -Y zol -T fields -e zol.kind 2>/dev/null | sort | uniq -c | tr -s ' ')
echo "$kinds"
grep -qx " 5 request" <<<"$kinds" && grep -qx " 5 reply" <<<"$kinds" || fail "tshark did not decode the frames"
installed timeout 60 tshark -r "$capture" 2>/dev/null | head -n 2
ok "tshark decodes the capture with the installed dissector"

# Both manual pages render without a warning, from the file and by name.
step "manual pages"
for page in zolemul zolhost; do
    text=$(MANWIDTH=80 man --warnings -l "$ROOT/usr/share/man/man1/$page.1.gz" 2>"$WORK/man.err") \
        || fail "man -l $page: $(cat "$WORK/man.err")"
    [ ! -s "$WORK/man.err" ] || { cat "$WORK/man.err"; fail "man -l $page: warnings"; }
    grep -q "^NAME" <<<"$text" && grep -q "^EXIT STATUS" <<<"$text" || fail "man -l $page: no NAME or EXIT STATUS"
done
installed man -P cat zolhost 2>/dev/null | grep -q -- "--exit-with-stdin" || fail "man zolhost: no serve options"
ok "man -l renders zolemul(1) and zolhost(1); man zolhost finds the installed page"

# --- Windows zips ------------------------------------------------------------------
for arch in i686:win32 x86_64:win64; do
    triplet=${arch%%:*}-w64-mingw32
    name=zolemul-$version-${arch##*:}
    zip=build/win-${arch%%:*}/packages/$name.zip
    [ -f "$zip" ] || fail "$zip was not made"
    step "$zip"
    unzip -l "$zip"
    files=$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')
    bits=${arch##*:win}  # zolhost run's DLL for programs of the zip's bitness
    expected=$( (printf '%s\n' "$name/README.txt" "$name/zolemul.exe" "$name/zolemul.lua" "$name/zolhost.exe" \
                        "$name/zolhost-com$bits.dll"
                 cd docs && printf "$name/docs/%s\n" *.md) | LC_ALL=C sort | tr '\n' ' ')
    [ "$files" = "$expected" ] || fail "unexpected files in the zip: $files"
    ok "files of $name.zip"
    unzip -q "$zip" -d "$WORK/zip"
    # The version resource, read back as resource script text.
    for exe in zolemul zolhost; do
        rc=$("$triplet-windres" -i "$WORK/zip/$name/$exe.exe" -O rc)
        grep -q "FILEVERSION ${version//./, }, 0" <<<"$rc" || fail "$exe.exe: no FILEVERSION $version"
        grep -q "\"ProductVersion\", \"$version\"" <<<"$rc" || fail "$exe.exe: no ProductVersion $version"
        grep -q "\"OriginalFilename\", \"$exe.exe\"" <<<"$rc" || fail "$exe.exe: wrong OriginalFilename"
        ok "$exe.exe carries version $version"
    done
done

step "packages done in $SECONDS s"
echo "packages: $passed passed, 0 failed"
