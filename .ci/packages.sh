#!/usr/bin/env bash
# The packages, as a user gets them: tools/package.sh makes the Debian package and
# the Windows zips; the .deb is installed into a scratch root with dpkg and its
# programs run from there; the zips are listed and their exes' version resources
# read back. Every check that fails ends the step with a nonzero status.
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
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/zolemul ./usr/bin/zolhost ./usr/share/doc/zolemul/README.md ./usr/share/zolemul/zolemul.lua " ] \
    || fail "unexpected files in the package: $files"
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
# whose versions were checked above.
timeout 120 dpkg --root="$ROOT" --force-depends -i "$deb" >"$WORK/dpkg.out" 2>&1 || {
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

# --- Windows zips ------------------------------------------------------------------
for arch in i686:win32 x86_64:win64; do
    triplet=${arch%%:*}-w64-mingw32
    name=zolemul-$version-${arch##*:}
    zip=build/win-${arch%%:*}/packages/$name.zip
    [ -f "$zip" ] || fail "$zip was not made"
    step "$zip"
    unzip -l "$zip"
    files=$(unzip -Z1 "$zip" | grep -v '/$' | sort | tr '\n' ' ')
    [ "$files" = "$name/README.txt $name/zolemul.exe $name/zolemul.lua $name/zolhost.exe " ] || fail "unexpected files in the zip: $files"
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
