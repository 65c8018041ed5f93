#!/usr/bin/env bash
# The interpreters and userlands the tests run on, made on first use and kept
# outside the work tree (under $ZENDRIK_CACHE) so that every clone reuses them.
#
#   tools/environment.sh chroot ARCH        make the Debian unstable chroot for
#                                           ARCH (i386, amd64); print its path
#   tools/environment.sh run ARCH CMD...    run CMD in that chroot, in the work
#                                           tree (mounted at /src)
#   tools/environment.sh python VERSIONt    build the free-threaded CPython
#                                           VERSION (3.13t) for this host from
#                                           Debian's source; print its path
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
    command -v debootstrap >/dev/null || {
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    }
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
    local arch=$1
    [[ $arch =~ ^(i386|amd64)$ ]] || die "no chroot for architecture '$arch'"
    with_lock "sid-$arch" make_chroot "$arch" >&2
    echo "$CACHE/sid-$arch"
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

# Free-threaded CPython: Debian packages none, so it is built here, for the
# host, from Debian's own source of that CPython, fetched with a private apt
# configuration kept in the cache (the host's apt is left as it is). The
# suite each version's source is taken from:
declare -A FREETHREADED_SOURCE_SUITES=([3.13]=trixie)
# What that build needs from the host (the base image has them all).
FREETHREADED_BUILD_PACKAGES="gcc make xz-utils pkg-config zlib1g-dev libssl-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev"

make_freethreaded() {
    local version=$1 suite=${FREETHREADED_SOURCE_SUITES[$1]}
    local prefix=$CACHE/python${1}t apt=$CACHE/apt-source
    local work=$CACHE/python${1}t.partial log=$CACHE/python${1}t.log
    [ -e "$prefix/.ready" ] && return
    local missing=() package
    for package in $FREETHREADED_BUILD_PACKAGES; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        apt-get -o DPkg::Lock::Timeout=1200 update -qq
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=1200 \
            install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
    echo "environment.sh: building free-threaded CPython $version in $prefix (a few minutes, once)" >&2
    mkdir -p "$apt/lists/partial" "$apt/archives/partial"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) $suite main" \
        >"$apt/sources.list"
    printf '%s\n' "Dir::State \"$apt\";" "Dir::State::Lists \"$apt/lists\";" "Dir::Cache \"$apt\";" \
        "Dir::Etc::SourceList \"$apt/sources.list\";" "Dir::Etc::SourceParts \"/nonexistent\";" \
        'Acquire::Check-Valid-Until "false";' 'Acquire::Languages "none";' 'APT::Sandbox::User "root";' \
        >"$apt/apt.conf"
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    # Only what the module and its tests use: no optimisation by profile, the
    # build's own tests not run, the standard library compiled once.
    (
        set -e
        export APT_CONFIG=$apt/apt.conf
        apt-get update -qq
        cd "$work"
        apt-get source -qq --download-only "python$version/$suite"
        tar -xJf python"$version"_*.orig.tar.xz
        cd Python-*/
        ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install
        make -j2
        make install COMPILEALL_OPTS=-j2
    ) >"$log" 2>&1 || die "building free-threaded CPython $version failed; see $log"
    rm -rf "$work"
    "$prefix/bin/python${version}t" -c 'import sys; assert not sys._is_gil_enabled()' ||
        die "$prefix/bin/python${version}t runs with the GIL"
    touch "$prefix/.ready"
}

freethreaded_path() {
    local version=${1%t}
    [[ $1 == *t && -n ${FREETHREADED_SOURCE_SUITES[$version]:-} ]] ||
        die "no free-threaded CPython '$1' (these are built: ${!FREETHREADED_SOURCE_SUITES[*]/%/t})"
    with_lock "python${version}t" make_freethreaded "$version" >&2
    echo "$CACHE/python${version}t/bin/python${version}t"
}

case ${1:-} in
    chroot) [ $# -eq 2 ] || die "usage: $0 chroot ARCH"; chroot_path "$2" ;;
    run) [ $# -ge 3 ] || die "usage: $0 run ARCH CMD..."; shift; run "$@" ;;
    python) [ $# -eq 2 ] || die "usage: $0 python VERSIONt"; freethreaded_path "$2" ;;
    *) die "usage: $0 chroot ARCH | run ARCH CMD... | python VERSIONt" ;;
esac
