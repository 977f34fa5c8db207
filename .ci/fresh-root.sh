#!/usr/bin/env bash
# The fresh-machine check: the README's two commands on a new Debian 12 machine.
# A minimal root (mmdebstrap --variant=apt: the essential packages and apt, nothing
# else) gets a clean clone of this repository's HEAD; in it, as a new user would,
# ./test.sh installs what it needs, builds and runs every test with CI=true (so a
# test that lacks a package fails instead of skipping), then ./demo.sh runs until
# a key ends it and prints its summary. The root and its mounts are removed on exit.
#
# Prints the time of each stage. Needs root (chroot, mounts) and mmdebstrap, which
# it installs where missing.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

step() { printf '\n== %s\n' "$*"; }
fail() {
    echo "FAIL: $*"
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "the fresh-machine check needs root (chroot and mounts)"

tools/install-build-deps.sh --fresh-root

WORK=$(mktemp -d /tmp/zolfresh.XXXXXX)
root=$WORK/root
cleanup() {
    # Whatever the tests left running inside goes first, then the mounts, then the files.
    if [ -d "$root/proc/1" ]; then
        for p in /proc/[0-9]*; do
            [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -KILL "${p#/proc/}" 2>/dev/null || true
        done
    fi
    for m in run/netns proc sys dev; do
        mountpoint -q "$root/$m" && umount -R -l "$root/$m" || true
    done
    rm -rf --one-file-system "$WORK"
}
trap cleanup EXIT

# The machine's own Debian sources (its mirror), else mmdebstrap's default.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -qE '^[^#]*(deb |URIs:).*debian' "$f" && sources+=("$f")
done
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")

step "a minimal $suite root"
start=$SECONDS
for try in 1 2 3; do
    rm -rf --one-file-system "$root"
    timeout 900 mmdebstrap --quiet --variant=apt "$suite" "$root" "${sources[@]}" </dev/null && break
    [ "$try" -lt 3 ] || fail "mmdebstrap did not make the root"
    echo "mmdebstrap failed (try $try of 3); again in 60 s"
    sleep 60
done
setup=$((SECONDS - start))
echo "root made in $setup s: $(chroot "$root" dpkg-query -W | wc -l) packages"

git clone -q --no-hardlinks "$repo" "$root/root/zolemul"
echo "clone of $(git -C "$root/root/zolemul" log -1 --format='%h %s')"
cp /etc/hosts /etc/resolv.conf "$root/etc/"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys" && mount --make-rslave "$root/sys"
mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev"

# A login-like environment with nothing of this machine's in it.
inside() {
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 TERM=dumb CI=true /bin/bash -c "cd /root/zolemul && $1"
}

step "inside: tools/install-build-deps.sh (what ./test.sh does first)"
start=$SECONDS
inside "tools/install-build-deps.sh" </dev/null || fail "the build packages did not install"
install=$((SECONDS - start))

step "inside: ./test.sh"
start=$SECONDS
inside "./test.sh" </dev/null || fail "./test.sh failed in a fresh root"
tests=$((SECONDS - start))

# The demo as a user runs it: a key once zolemul has been answering for a while.
step "inside: ./demo.sh, a key after 3 s of frames"
start=$SECONDS
mkfifo "$WORK/keys"
status=0
inside "./demo.sh" <"$WORK/keys" >"$WORK/demo.out" 2>&1 &
demo=$!
exec 7>"$WORK/keys"
for _ in $(seq 600); do
    grep -q "Zol Emul Started" "$WORK/demo.out" && break
    kill -0 "$demo" 2>/dev/null || break
    sleep 0.5
done
sleep 3
printf k >&7
exec 7>&-
wait "$demo" || status=$?
tr '\r' '\n' <"$WORK/demo.out" | grep -v '^Frame [0-9]* receivedEA' | tail -n 15
summary=$(tr '\r' '\n' <"$WORK/demo.out" | grep -c '^Frame [0-9]* receivedEA' || true)
[ "$status" -eq 0 ] || fail "./demo.sh ended with status $status"
grep -q "zolemul exit status 0, zolhost exit status 0" "$WORK/demo.out" || fail "the demo's programs did not both end with 0"
[ "$summary" -gt 0 ] || fail "the demo showed no frame on zolemul's status line"
demo_time=$((SECONDS - start))

step "fresh root: set-up ${setup} s, packages ${install} s, ./test.sh ${tests} s, ./demo.sh ${demo_time} s"
