#!/usr/bin/env bash
# The interpreters and userlands the tests run on, made on first use and kept
# outside the work tree (under $ZENDRIK_CACHE) so that every clone reuses them.
#
#   tools/environment.sh chroot ARCH        make the Debian unstable chroot for
#                                           ARCH (i386, amd64, arm64); print its path
#   tools/environment.sh run ARCH CMD...    run CMD in that chroot, in the work
#                                           tree (mounted at /src)
#
# ARCH may name Debian's stable suite too, as in trixie-arm64 (CPython 3.13).
# arm64 runs under qemu-user: see the 64-bit ARM section below.
#
# A chroot runs in a mount namespace of its own: the work tree, /proc and the
# host's name resolution and certificates are mounted there for that one run
# and vanish with it, however the run ends.
set -euo pipefail

CACHE=${ZENDRIK_CACHE:-/var/cache/zendrik}
TREE=$(cd "$(dirname "$0")/.." && pwd)
# What the suite needs in each chroot: the interpreters with their headers,
# and a compiler. PyPI has no 32-bit numpy wheel, so the i386 chroot has
# Debian's numpy, pytest and hypothesis, built for unstable's default Python.
BUILD_PACKAGES=g++,cmake,make,ca-certificates
declare -A CHROOT_PACKAGES=(
    [i386]=python3.14,python3.14-dev,python3.14-venv,python3-numpy,python3-pytest,python3-hypothesis
    [amd64]=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,g++-12
)

die() { echo "environment.sh: $*" >&2; exit 1; }

apt_install() {
    apt-get -o DPkg::Lock::Timeout=1200 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=1200 install -y -qq \
        --no-install-recommends "$@" >/dev/null
}

# The Debian mirror this machine's apt already uses: the repository names none.
debian_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }')
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }')
    fi
    [ -n "$uri" ] || die "no Debian mirror found under /etc/apt"
    echo "$uri"
}

# Only one process builds a given environment; the others wait for it.
with_lock() {
    local name=$1; shift
    mkdir -p "$CACHE"
    exec {lock}>"$CACHE/.$name.lock"
    flock "$lock"
    "$@"
    flock -u "$lock"
}

make_chroot() {
    local arch=$1 root=$CACHE/sid-$1
    local packages=$BUILD_PACKAGES,${CHROOT_PACKAGES[$arch]}
    if [ -e "$root/.ready" ]; then
        # Made by an older list: add what it lacks.
        [ "$(cat "$root/.ready")" = "$packages" ] && return
        run_in_chroot "$root" apt-get update -qq -o Acquire::Check-Valid-Until=false
        run_in_chroot "$root" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends ${packages//,/ } >/dev/null
        echo "$packages" >"$root/.ready"
        return
    fi
    command -v debootstrap >/dev/null || apt_install debootstrap
    echo "environment.sh: making the $arch chroot in $root (a few minutes, once)" >&2
    rm -rf "$root.partial"
    debootstrap --arch="$arch" --variant=minbase --include="$packages" \
        sid "$root.partial" "$(debian_mirror)" >"$CACHE/sid-$arch.log" 2>&1 ||
        die "debootstrap failed; see $CACHE/sid-$arch.log"
    mkdir -p "$root.partial/src"
    rm -rf "$root"
    mv "$root.partial" "$root"
    echo "$packages" >"$root/.ready"
}

chroot_path() {
    local name=$1
    case $name in
        i386 | amd64) with_lock "sid-$name" make_chroot "$name" >&2; echo "$CACHE/sid-$name" ;;
        arm64) name=sid-arm64 ;&
        sid-arm64 | trixie-arm64)
            with_lock "$name" make_emulated "${name%-arm64}" arm64 >&2
            echo "$CACHE/$name" ;;
        *) die "no chroot for architecture '$name'" ;;
    esac
}

run() {
    local arch=$1 root; shift
    root=$(chroot_path "$arch")
    run_in_chroot "$root" "$@"
}

run_in_chroot() {
    local root=$1; shift
    # Inside the private namespace: mount, then run as the chroot's own root.
    unshare --mount --propagation private -- /bin/bash -euc '
        root=$1 tree=$2; shift 2
        mount --bind "$tree" "$root/src"
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        for file in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt; do
            [ -e "$root$file" ] || touch "$root$file"
            mount --bind "$file" "$root$file"
        done
        exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
            ZENDRIK_ENVIRONMENT="${root##*/}" \
            PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
            ${CI:+CI="$CI"} ${HYPOTHESIS_PROFILE:+HYPOTHESIS_PROFILE="$HYPOTHESIS_PROFILE"} \
            PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
            /bin/bash -c "cd /src && exec \"\$@\"" run "$@"
    ' mount "$root" "$TREE" "$@"
}

# --- 64-bit ARM, emulated.
# Nothing is built there: the module, the core test and the core bench are
# cross-built on the host (Debian 12's aarch64 cross compiler, against the
# headers of each userland's interpreters). So the userland is only
# interpreters and test tools, and its packages are unpacked, not installed:
# a maintainer script run under emulation costs ten times its native time,
# and none of theirs matters here but the two library links made below.
declare -A EMULATED_PACKAGES=(
    [sid]=python3.14,python3.15,libpython3.14-dev,libpython3.15-dev
    [trixie]=python3.13,libpython3.13-dev
)
EMULATED_TOOLS=bash,coreutils,binutils,python3-installer,python3-numpy,python3-pytest,python3-hypothesis,python3-mypy

# The cross compiler, and qemu-user to run the foreign binaries, registered
# with the kernel so that they run as if native, in a chroot too (its F flag
# has the kernel open the emulator once, outside any chroot).
ensure_emulation() {
    local arch=$1
    command -v mmdebstrap >/dev/null && [ -e "/usr/libexec/qemu-binfmt/$arch-binfmt-P" ] &&
        command -v aarch64-linux-gnu-g++ >/dev/null ||
        apt_install qemu-user-static binfmt-support mmdebstrap g++-aarch64-linux-gnu
    mountpoint -q /proc/sys/fs/binfmt_misc ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    grep -q enabled "/proc/sys/fs/binfmt_misc/qemu-$arch" 2>/dev/null ||
        update-binfmts --enable "qemu-$arch"
}

make_emulated() {
    local suite=$1 arch=$2 root=$CACHE/$1-$2
    local qemu_arch=${arch/arm64/aarch64}
    local packages=$EMULATED_TOOLS,${EMULATED_PACKAGES[$suite]}
    ensure_emulation "$qemu_arch"
    [ -e "$root/.ready" ] && [ "$(cat "$root/.ready")" = "$packages" ] && return
    echo "environment.sh: unpacking the $suite $arch userland in $root (a minute, once)" >&2
    rm -rf "$root.partial"
    mmdebstrap --mode=root --variant=extract --architectures="$arch" \
        --aptopt='Acquire::Check-Valid-Until "false"' --include="$packages" \
        "$suite" "$root.partial" "$(debian_mirror)" >"$CACHE/$suite-$arch.log" 2>&1 ||
        die "mmdebstrap failed; see $CACHE/$suite-$arch.log"
    # NumPy finds BLAS and LAPACK through links that the alternatives system
    # would have made.
    local lib=$root.partial/usr/lib/$qemu_arch-linux-gnu
    ln -sf blas/libblas.so.3 "$lib/libblas.so.3"
    ln -sf lapack/liblapack.so.3 "$lib/liblapack.so.3"
    mkdir -p "$root.partial/src" "$root.partial/root" "$root.partial/etc/ssl/certs"
    rm -rf "$root"
    mv "$root.partial" "$root"
    echo "$packages" >"$root/.ready"
}

case ${1:-} in
    chroot) [ $# -eq 2 ] || die "usage: $0 chroot ARCH"; chroot_path "$2" ;;
    run) [ $# -ge 3 ] || die "usage: $0 run ARCH CMD..."; shift; run "$@" ;;
    *) die "usage: $0 chroot ARCH | run ARCH CMD..." ;;
esac
