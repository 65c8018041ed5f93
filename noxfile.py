"""Every goal a contributor or CI runs, as nox sessions (`nox -l` lists them):

    nox -s test                    the whole suite on .python-version's CPython (`make test`)
    nox -s test-3.14 -- -k rank    the same on 3.14, with pytest's own arguments
    nox -t linux-aarch64           every session of one platform of targets.toml

The sessions are made from targets.toml, one per CPython of each platform.
A CPython of this machine's platform is the host's own if it has one (no root
needed), else the one in the environment its row names; each command runs
where it can: on the host, or as root in a Debian userland (tools/environments.py).
Sessions make their own venvs and build trees, named by all their inputs (keyed).
"""
import concurrent.futures
import dataclasses
import fcntl
import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

import nox

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from tools import environments  # noqa: E402
from tools.environments import DEFAULT_PYTHON, ENVIRONMENTS, HOST_PLATFORM, PLATFORMS, PYTHONS  # noqa: E402

nox.options.default_venv_backend = "none"
nox.options.sessions = ["test"]
BUILD = pathlib.Path("build")
# Where wheels go; each CI lane has its own. Within the tree: userlands see it too.
DIST = pathlib.Path(os.environ.get("DIST", "dist"))
# Wheels and sdists carry the commit's time, so that one commit gives the same bytes.
os.environ.setdefault("SOURCE_DATE_EPOCH", subprocess.run(
    ["git", "log", "-1", "--format=%ct"], capture_output=True, text=True).stdout.strip() or "315532800")


@dataclasses.dataclass(frozen=True)
class Variant:
    """A build of the module and the core test other than the plain one, and how the suite runs against it."""
    description: str
    cmake: dict = dataclasses.field(default_factory=dict)  # cache values of every tree
    env: dict = dataclasses.field(default_factory=dict)  # the tests' ({tree}: the work tree)
    preload: tuple = ()  # libraries loaded before any other
    python: str = None  # the one CPython it runs on, from this environment
    environment: str = None
    tests: tuple = ()  # the suite's files, if not all of them
    binding_test: bool = False  # the binding's own test, which fails allocations on purpose
    reports: str = None  # where the sanitizer writes its reports, shown after the suite
    host_only: bool = False  # needs the host's own tools (clang, gcovr): not in a userland
    core_test: bool = True  # the core's own test, built with the same settings, runs first


VARIANTS = {
    "": Variant("the whole suite"),
    # The sanitizer runtime must be the first library loaded, and the C++
    # runtime there when it starts, or it cannot intercept exceptions.
    # PYTHONMALLOC=malloc lets it see every Python allocation.
    "asan": Variant("the suite against a build with AddressSanitizer, LeakSanitizer and UBSan",
                    {"ZENDRIK_INSTRUMENT": "asan"}, preload=("libasan.so", "libstdc++.so"), env={
                        "PYTHONMALLOC": "malloc", "ZENDRIK_SANITIZED": "1",
                        "ASAN_OPTIONS": "detect_leaks=1:abort_on_error=1:malloc_context_size=3",
                        "LSAN_OPTIONS": "suppressions={tree}/tests/sanitizers/lsan.supp:print_suppressions=0",
                        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1"}),
    "faults": Variant("the suite against a build whose allocations fail on demand, with the fault sweeps",
                      {"ZENDRIK_INSTRUMENT": "faults"}, binding_test=True),
    "portable": Variant("the suite against a build with only the plain fallbacks of compiler-specific constructs",
                        {"ZENDRIK_PORTABLE": "ON"}),
    # LLVM's clang and libc++, the nearest this machine has to macOS's
    # toolchain: 19 is Debian 12's newest, the LLVM of today's Apple clang.
    # libc++ is linked in, as a self-contained module would ship it: Debian's
    # shared libc++abi unwinds with LLVM's libunwind, which cannot walk the
    # stack that glibc unwinds (with GCC's) when CPython ends a thread at exit.
    "clang": Variant("the suite against a build with clang and libc++, warnings as errors", {
        "CMAKE_CXX_COMPILER": "clang++-19", "CMAKE_CXX_FLAGS": "-stdlib=libc++ -Werror",
        **{f"CMAKE_{kind}_LINKER_FLAGS": "-stdlib=libc++ -static-libstdc++" for kind in ("EXE", "SHARED", "MODULE")}},
        host_only=True),
    "coverage": Variant("line and branch coverage of src/ by the suite (gcovr), in coverage/",
                        {"ZENDRIK_INSTRUMENT": "coverage"}, binding_test=True, host_only=True),
    # Calls from many threads, on the CPython built with ThreadSanitizer; any
    # report fails the run. Reports go to files (one per process), which
    # pytest's capture would otherwise swallow.
    "tsan": Variant("the thread tests under ThreadSanitizer", {"ZENDRIK_INSTRUMENT": "tsan"},
                    python="3.13t", environment="python3.13t-tsan", reports="build/tsan-reports",
                    tests=("tests/test_threads.py", "tests/test_module.py", "tests/test_borrows.py"),
                    # The core starts no thread, and its test, a program whose instruction-set
                    # clones are resolved before ThreadSanitizer starts, does not survive it.
                    core_test=False,
                    env={"ZENDRIK_SANITIZED": "thread", "TSAN_OPTIONS": "halt_on_error=1 exitcode=66 "
                         "second_deadlock_stack=1 log_path={tree}/build/tsan-reports/report "
                         "suppressions={tree}/tests/sanitizers/tsan.supp"}),
}


# --- Where commands run, and with which interpreter.

def run(session, where, *command, env=None, silent=False):
    """COMMAND run where it can run: on the host, or in the userland WHERE."""
    if where != "host":
        try:
            command, env = environments.command(where, command, env), None
        except environments.Unavailable as missing:
            session.error(str(missing))
    return session.run(*map(str, command), env=env, external=True, silent=silent)


def tree_root(where):
    return environments.TREE if where == "host" else environments.INSIDE


def identity(where):
    return {"host": HOST_PLATFORM} if where == "host" else {where: environments.stamp(where)}


@dataclasses.dataclass
class Interpreter:
    version: str  # 3.13, or 3.13t without the GIL
    place: str  # where its commands run: the host, or a userland
    executable: str
    identity: dict  # what names every build made with it
    spec: dict  # its environment's entry in targets.toml

    def run(self, session, *command, env=None, silent=False):
        own = dict(assignment.split("=", 1) for assignment in self.spec.get("run-environment", []))
        return run(session, self.place, *command, env=own | (env or {}), silent=silent)


def interpreter(session, version, platform=HOST_PLATFORM, environment=None):
    """CPython VERSION for PLATFORM: the host's own on the host's platform if it
    has one, else the one in the environment its row (or ENVIRONMENT) names."""
    if environment is None and platform == HOST_PLATFORM:
        found = environments.find_python(version)
        if found:
            return Interpreter(version, "host", found[0], {"python": found[:2]}, ENVIRONMENTS["host"])
    environment = environment or PYTHONS[version][platform]
    if environment == "host":
        session.error(f"no CPython {version} on this machine: install it (pyenv, uv or the system's)")
    try:
        root, spec = environments.path(environment), ENVIRONMENTS[environment]
    except environments.Unavailable as missing:
        session.error(str(missing))
    if "configure" in spec:  # built for the host, into the cache
        return Interpreter(version, "host", f"{root}/bin/python{version}", identity(environment), spec)
    return Interpreter(version, environment, f"/usr/bin/python{version}", identity(environment), spec)


def host_python():
    """The interpreter nox runs on, for the tools that build nothing."""
    return Interpreter("%d.%d" % sys.version_info[:2], "host", sys.executable, {"python": sys.version},
                       ENVIRONMENTS["host"])


# --- Venvs and build trees, each named by every input.

def keyed(kind, label, *inputs):
    """build/KIND/LABEL-HASH: a venv or tree named by every input that changes what is made there."""
    digest = hashlib.sha256(json.dumps(inputs, sort_keys=True, default=str).encode()).hexdigest()[:12]
    return BUILD / kind / f"{label}-{digest}"


def venv(session, python, label, group=None):
    """A venv of PYTHON holding a dependency group of pyproject.toml."""
    requirements = environments.group(group)
    options = ["--system-site-packages"] * bool(python.spec.get("system-site-packages"))
    # Some tools publish no wheel for a free-threaded Python, but build from
    # source with toolchains fetched from elsewhere: there only wheels are taken.
    pip_options = ["--only-binary", ":all:"] * python.version.endswith("t")
    where = keyed("venvs", label, python.identity, requirements, options, pip_options)
    if not (where / ".ready").exists():
        shutil.rmtree(where, ignore_errors=True)
        python.run(session, python.executable, "-m", "venv", *options, where)
        if requirements:
            python.run(session, where / "bin" / "python", "-m", "pip", "install", "-q", *pip_options, *requirements)
        (where / ".ready").touch()
    return where


def compiler_version(session, where, compiler):
    return run(session, where, compiler, "--version", silent=True).splitlines()[0]


def cmake(session, where, label, source, defines, platform=None, targets=(), inputs=()):
    """Configures and builds the CMake project SOURCE where it can be built (for
    PLATFORM: with its toolchain file), in a tree named by the compiler's own
    version, every cache value and the toolchain file's contents: no tree is
    ever configured again with other flags."""
    spec = PLATFORMS.get(platform, {})
    if "toolchain" in spec:
        defines = defines | {"ZENDRIK_TRIPLET": spec["triplet"],
                             "CMAKE_TOOLCHAIN_FILE": f"{tree_root(where)}/{spec['toolchain']}"}
    compiler = f"{spec['triplet']}-g++" if "toolchain" in spec else defines["CMAKE_CXX_COMPILER"]
    tree = keyed("cmake", label, identity(where), compiler_version(session, where, compiler), defines, inputs,
                 "toolchain" in spec and pathlib.Path(spec["toolchain"]).read_text())
    tree.parent.mkdir(parents=True, exist_ok=True)
    with open(f"{tree}.lock", "w") as lock:  # sessions run side by side may share a tree
        fcntl.flock(lock, fcntl.LOCK_EX)
        run(session, where, "cmake", "-S", source, "-B", tree, *(f"-D{key}={value}" for key, value in defines.items()))
        run(session, where, "cmake", "--build", tree, "-j2", *(["--target", *targets] if targets else []))
    return tree


def sources():
    """A hash of every file the module is built from."""
    digest = hashlib.sha256()
    for path in [pathlib.Path(name) for name in ("CMakeLists.txt", "cmake/flags.cmake", "pyproject.toml")] + sorted(
            path for top in ("src", "stubs", "tests/faults") for path in pathlib.Path(top).rglob("*")
            if path.is_file() and "__pycache__" not in path.parts):
        digest.update(str(path).encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()


def build(session, python, variant, label, group=None):
    """The module built for PYTHON with VARIANT's settings, in a tree of its
    own, installed into a venv with the dependency group GROUP (again when a
    source changes). Returns the venv, the tree and the cache values it took."""
    defines = {"CMAKE_CXX_COMPILER": python.spec.get("compiler", "g++")} | variant.cmake
    tree = keyed("cmake", f"module-{label}", python.identity,
                 compiler_version(session, python.place, defines["CMAKE_CXX_COMPILER"]), defines)
    installed = venv(session, python, f"{session.name.partition('-')[0]}-{label}", group)
    if (installed / ".zendrik").exists() and (installed / ".zendrik").read_text() == f"{tree} {sources()}":
        return installed, tree, defines
    python.run(session, installed / "bin" / "python", "-m", "pip", "install", "-q", ".",
               f"--config-settings=build-dir={tree}",
               *(f"--config-settings=cmake.define.{key}={value}" for key, value in defines.items()))
    (installed / ".zendrik").write_text(f"{tree} {sources()}")
    return installed, tree, defines


def label(platform, version, variant=""):
    return "-".join(part for part in (variant, "" if platform == HOST_PLATFORM else platform, version) if part)


# --- The sessions of each CPython of each platform.

def demo(session, version, platform):
    python = interpreter(session, version, platform)
    installed, _, _ = build(session, python, VARIANTS[""], label(platform, version))
    python.run(session, installed / "bin" / "python", "examples/lights_out.py")


def test(session, version, platform, variant):
    python, spec = interpreter(session, version, platform, VARIANTS[variant].environment), VARIANTS[variant]
    if spec.host_only and python.place != "host":
        session.error(f"{session.name} needs the host's own tools, and CPython {version} runs in "
                      f"{python.place} here: install CPython {version} on the host (pyenv, uv, the system's)")
    installed, tree, defines = build(session, python, spec, label(platform, version, variant),
                                     python.spec.get("test-tools"))
    tests = None
    if spec.core_test:
        tests = cmake(session, python.place, "core", "tests/core",
                      defines | ({"Python_EXECUTABLE": python.executable} if spec.binding_test else {}))
        python.run(session, tests / "core-tests")
        if spec.binding_test:
            python.run(session, tests / "binding-tests")
    env = {key: value.format(tree=tree_root(python.place)) for key, value in spec.env.items()}
    if spec.preload:
        env["LD_PRELOAD"] = ":".join(run(session, python.place, defines["CMAKE_CXX_COMPILER"],
                                         f"-print-file-name={library}", silent=True).strip()
                                     for library in spec.preload)
    if spec.reports:
        shutil.rmtree(spec.reports, ignore_errors=True)
        pathlib.Path(spec.reports).mkdir(parents=True)
    try:
        python.run(session, installed / "bin" / "python", "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
                   *spec.tests, *session.posargs, env=env)
    finally:
        for report in sorted(pathlib.Path(spec.reports).iterdir()) if spec.reports else []:
            print(report.read_text())
    return tree, tests


def coverage(session, version, platform):
    # Counts start from zero at each run.
    for stale in BUILD.glob("cmake/*/**/*.gcda"):
        stale.unlink()
    trees = test(session, version, platform, "coverage")
    gcovr = venv(session, host_python(), "coverage", "coverage")
    pathlib.Path("coverage").mkdir(exist_ok=True)
    # The large reductions really make billions of index checks, which gcovr
    # would take for a gcov bug. A line counts once, whichever template
    # instance or instruction-set clone ran it.
    run(session, "host", gcovr / "bin" / "gcovr", "--root", ".", "--filter", "src/", "--exclude-throw-branches",
        "--gcov-suspicious-hits-threshold", "0", "--merge-lines", "--exclude-unreachable-branches",
        "--print-summary", "--txt", "coverage/missing.txt", "--html-details", "coverage/index.html", *trees)


def wheel_tools(session):
    """The venv that packs, repairs and checks wheels on the host: this session's own."""
    return venv(session, host_python(), f"{session.name}-tools", "wheel-tools")


def check_wheels(session, tools, wheels):
    run(session, "host", tools / "bin" / "python", "tools/check_wheels.py", *wheels)


def wheels(version, platform):
    return DIST.glob(f"zendrik-*-{abi_tag(version)}-*{PLATFORMS[platform]['wheel']}.whl")


def abi_tag(version):
    return f"cp{version.removesuffix('t').replace('.', '')}-cp{version.replace('.', '')}"


def repair(session, tools, wheel, platform):
    """auditwheel's repair of a Linux wheel into DIST, tagged with the oldest glibc
    its symbols allow (check_wheels holds the tag to the platform's)."""
    tag = PLATFORMS[platform]["wheel"] if platform == HOST_PLATFORM else "auto"  # it knows only the host's by name
    run(session, "host", tools / "bin" / "python", "-m", "auditwheel", "repair", "--plat", tag, "--wheel-dir", DIST,
        wheel, env={"PATH": f"{(tools / 'bin').resolve()}:{os.environ['PATH']}"})


def dist(session, version, platform):
    """`python -m build` makes the sdist and builds the wheel from it alone."""
    python = interpreter(session, version, platform)
    tools, host_tools = venv(session, python, f"dist-{label(platform, version)}", "wheel-tools"), wheel_tools(session)
    out = BUILD / "dist" / session.name
    shutil.rmtree(out, ignore_errors=True)
    python.run(session, tools / "bin" / "python", "-m", "build", "--outdir", out,
               f"-Ccmake.define.CMAKE_CXX_COMPILER={python.spec.get('compiler', 'g++')}", ".")
    DIST.mkdir(exist_ok=True)
    shutil.copy(next(out.glob("*.tar.gz")), DIST)
    for stale in wheels(version, platform):
        stale.unlink()
    repair(session, host_tools, next(out.glob("*.whl")), platform)
    check_wheels(session, host_tools, wheels(version, platform))


def test_dist(session, version, platform):
    python = interpreter(session, version, platform)
    tools = venv(session, python, f"dist-{label(platform, version)}", "wheel-tools")
    python.run(session, tools / "bin" / "python", "tests/packaging/check_dist.py", "--python", python.executable, DIST)


def platform_environment(platform):
    """Where a cross platform's programs run: its first row's environment."""
    return next(row[platform] for row in PYTHONS.values() if platform in row)


def built_on(platform):
    """Where a cross platform's compiler is: on the host, or in its environment."""
    return "host" if PLATFORMS[platform]["built-on"] == "host" else platform_environment(platform)


def dist_cross(session, version, platform):
    """The module cross-built against the CPython's headers, packed with the
    build backend's metadata (tools/pack_wheel.py); a Linux one repaired."""
    spec, python = PLATFORMS[platform], interpreter(session, version, platform)
    windows, tag = spec["wheel"].startswith("win"), abi_tag(version).partition("-")[0]
    if windows:  # against the Windows kit's headers and its import library of python3N.dll
        kit = environments.windows_kit(python.place, version, spec["triplet"])
        python_defines = {"Python_INCLUDE_DIR": kit["include"], "Python_LIBRARY": kit["library"]}
    else:  # against the headers in the userland, and its multiarch ones
        root = environments.path(python.place)
        python_defines = {"Python_INCLUDE_DIR": f"{root}/usr/include/python{version}",
                          "CMAKE_CXX_FLAGS": f"-idirafter {root}/usr/include"}
    tree = cmake(session, built_on(platform), f"module-{label(platform, version)}", ".", python_defines | {
        "CMAKE_BUILD_TYPE": "Release", "CMAKE_COMPILE_WARNING_AS_ERROR": "ON"}, platform, inputs=python.identity)
    tools, packed = wheel_tools(session), tree / "packed"
    shutil.rmtree(packed, ignore_errors=True)
    for stale in wheels(version, platform):
        stale.unlink()
    run(session, "host", tools / "bin" / "python", "tools/pack_wheel.py",
        next(path for path in tree.glob("zendrik*") if path.suffix in (".so", ".pyd")),
        f".{tag}-{spec['wheel']}.pyd" if windows else f".cpython-{tag[2:]}-{spec['triplet']}.so",
        f"{tag}-{tag}-{spec['wheel'] if windows else 'linux_' + spec['wheel'].split('_', 3)[3]}", DIST if windows else packed)
    if not windows:
        repair(session, tools, next(packed.glob("*.whl")), platform)
    check_wheels(session, tools, wheels(version, platform))


def test_cross(session, version, platform):
    """The suite on the platform's interpreter, with the module from its wheel, where nothing is built."""
    spec, python = PLATFORMS[platform], interpreter(session, version, platform)
    wheel, where = next(wheels(version, platform)), BUILD / "cross" / session.name  # made afresh each time
    shutil.rmtree(where, ignore_errors=True)
    where.parent.mkdir(parents=True, exist_ok=True)
    if spec["wheel"].startswith("win"):
        # A copy of the kit's interpreter whose sys.path holds the test tools and the module.
        kit = environments.windows_kit(python.place, version, spec["triplet"])
        python.run(session, "cp", "-r", kit["python"], where)
        run(session, "host", wheel_tools(session) / "bin" / "python", "-m", "pip", "install", "-q", "--no-deps",
            "--only-binary=:all:", "--platform", spec["wheel"], "--python-version", version, "--implementation",
            "cp", "--abi", abi_tag(version).partition("-")[2], "--target", where / "module", wheel)
        dll, site = "python" + version.replace(".", ""), kit["site"].replace("/", "\\")
        (where / f"{dll}._pth").write_text(f"{dll}.zip\n.\nmodule\nZ:{site}\nimport site\n")
        run(session, "host", *environments.wine(python.place, where / "python.exe", "-m", "pytest", "-q", "-rs",
                                                "-p", "no:cacheprovider", *session.posargs))
        return
    # Debian's test tools beside the wheel unpacked into a venv. Hypothesis
    # makes fewer examples under emulation, unless HYPOTHESIS_PROFILE says otherwise.
    python.run(session, python.executable, "-m", "venv", "--system-site-packages", "--without-pip", where)
    python.run(session, where / "bin" / "python", "-m", "installer", wheel)
    python.run(session, where / "bin" / "python", "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
               *session.posargs, env={"HYPOTHESIS_PROFILE": os.environ.get("HYPOTHESIS_PROFILE", "emulated")})


def core_cross(session, platform):
    environment = platform_environment(platform)
    windows = PLATFORMS[platform]["wheel"].startswith("win")

    def on_platform(program, *arguments, silent=False):
        if windows:
            return run(session, "host", *environments.wine(environment, f"{program}.exe", *arguments), silent=silent)
        return run(session, environment, program, *arguments, silent=silent)

    for portable in ("OFF", "ON"):
        tree = cmake(session, built_on(platform), f"core-{platform}", "tests/core", {"ZENDRIK_PORTABLE": portable},
                     platform, targets=["core-tests", "core-bench"])
        on_platform(tree / "core-tests")
    results = lambda output: [line for line in output.splitlines() if "logs:" in line or line.startswith("checks:")]
    here = cmake(session, "host", "core-bench", "tests/core", {"CMAKE_CXX_COMPILER": "g++"}, targets=["core-bench"])
    here = results(run(session, "host", here / "core-bench", "--quick", silent=True))
    there = results(on_platform(tree / "core-bench", "--quick", silent=True))
    if here != there or "checks: all agree" not in there:
        session.error("\n".join([f"the core bench on {platform} is not the host's:", *here, "---", *there]))
    print(f"core bench: the same ranks and logs on {platform}")


def bench(session, version):
    """bench/bench.py with the arguments given, or the Python program (or -m module) they name."""
    python = interpreter(session, version)
    installed, _, _ = build(session, python, VARIANTS[""], label(HOST_PLATFORM, version), "bench")
    first = session.posargs[0] if session.posargs else ""
    program = [] if first == "-m" or first.endswith(".py") else ["bench/bench.py"]
    python.run(session, installed / "bin" / "python", *program, *session.posargs)


def bench_core(session, target):
    tree = cmake(session, "host", "core-bench", "tests/core", {"CMAKE_CXX_COMPILER": "g++"}, targets=[target])
    run(session, "host", tree / target, *session.posargs)


def register(name, function, tags=(), requires=(), description="", **arguments):
    """Registers FUNCTION(session, **ARGUMENTS) as the nox session NAME."""
    def run_session(session):
        function(session, **arguments)
    run_session.__doc__ = description
    nox.session(name=name, tags=list(tags), requires=list(requires), venv_backend="none")(run_session)


def session_name(family, platform, version):
    """FAMILY-PLATFORM-3.N, on this machine's platform FAMILY-3.N, and FAMILY
    alone on its default CPython (.python-version)."""
    host, default = platform == HOST_PLATFORM, platform == HOST_PLATFORM and version == DEFAULT_PYTHON
    return "-".join(part for part in (family, "" if host else platform, "" if default else version) if part)


for platform, spec in PLATFORMS.items():
    for version in environments.pythons_on(platform):
        def add(family, function, description, requires=(), **arguments):
            register(session_name(family, platform, version), function, [family, platform],
                     [session_name(family, platform, version) for family in requires],
                     f"{description} on CPython {version}, {spec['name']}", version=version, platform=platform,
                     **arguments)
        if "toolchain" in spec:
            add("dist", dist_cross, "the wheel cross-built, packed and checked")
            if spec.get("suite", True):
                add("test", test_cross, "the whole suite with the module from its wheel", ["dist"])
            continue
        for variant in ["", *spec.get("variants", [])]:
            if VARIANTS[variant].python in (None, version):
                family = "coverage" if variant == "coverage" else "-".join(filter(None, ("test", variant)))
                add(family, coverage if variant == "coverage" else test, VARIANTS[variant].description,
                    **({} if variant == "coverage" else {"variant": variant}))
        if "wheel" in spec:
            add("dist", dist, "the sdist and the wheel in DIST (dist/), the wheel built from the sdist alone")
            add("test-dist", test_dist, "that wheel installed where nothing can be built, the examples run from it",
                ["dist"])
        if platform == HOST_PLATFORM:
            add("demo", demo, "the example program")
    if "toolchain" in spec:
        register(f"core-{platform}", core_cross, [platform], description=f"the core test (default and portable) "
                 f"and the core bench, whose ranks and logs must be the host's, on {spec['name']}", platform=platform)
register("bench", bench, ["bench"], description="zendrik timed against its peers (-- --quick: a short run; "
         "-- PROGRAM.py or -- -m MODULE: run that in the bench's venv)", version=DEFAULT_PYTHON)
register("bench-core", bench_core, description="the C++ core alone timed, and M4RI where libm4ri-dev is installed",
         target="core-bench")
register("bench-core-phases", bench_core, description="the same, with the time of each phase of the blocked "
         "elimination", target="core-bench-phases")


# --- The sessions of the whole project.

@nox.session(venv_backend="none")
def docs(session):
    """the documentation site in build/docs/, strict: every warning, broken link or missing API name an error"""
    tools = venv(session, host_python(), "docs", "docs-test")
    shutil.rmtree(BUILD / "docs", ignore_errors=True)
    run(session, "host", tools / "bin" / "sphinx-build", "-q", "-W", "--keep-going", "-n", "-b", "html",
        "-E", "-d", BUILD / "docs-doctrees", "docs", BUILD / "docs")


@nox.session(name="test-docs", venv_backend="none", requires=["docs"])
def test_docs(session):
    """that site checked in Debian's headless Chromium (a host tool), screenshots in build/docs-shots/"""
    run(session, "host", venv(session, host_python(), "docs", "docs-test") / "bin" / "python",
        "tests/docs/check_site.py", BUILD / "docs", BUILD / "docs-shots")


@nox.session(name="check-targets", venv_backend="none")
def check_targets(session):
    """the README, the classifiers and the wheels workflow hold to targets.toml (-- --write: rewrite README's table)"""
    tools = venv(session, host_python(), "check-targets", "check-targets")
    run(session, "host", tools / "bin" / "python", "tools/check_targets.py", *session.posargs)


@nox.session(name="check-dist", venv_backend="none")
def check_dist(session):
    """every wheel in DIST checked: tags, imports, exports, RECORD, stubs, one metadata"""
    check_wheels(session, wheel_tools(session), sorted(DIST.glob("*.whl")))


@nox.session(name="environments", venv_backend="none")
def make_environments(session, ci=False):
    """(as root) make every environment the sessions need here, or those named (-- --ci: those CI needs)"""
    names, ci = [name for name in session.posargs if name != "--ci"], ci or "--ci" in session.posargs
    try:
        environments.make_all(names or environments.wanted(ci))
    except environments.Unavailable as failure:
        session.error(str(failure))


@nox.session(venv_backend="none")
def ci(session):
    """what .ci/run runs: the environments, then targets.toml's two lanes side by side, then every wheel"""
    started, logs = time.monotonic(), BUILD / "ci"
    make_environments(session, ci=True)
    shutil.rmtree(logs, ignore_errors=True)
    logs.mkdir(parents=True)

    def steps(lane):
        """A step naming {PLATFORM} runs once for each other CPython of that platform."""
        for step in environments.TABLE["ci"][lane]:
            platform = next((platform for platform in PLATFORMS if f"{{{platform}}}" in step), None)
            yield from [step.replace(f"{{{platform}}}", version) for version in environments.pythons_on(platform)
                        if version != DEFAULT_PYTHON] if platform else [step]

    # The steps find nox on the PATH, and nothing else of its venv (its python3.12 is no host's CPython).
    (logs / "bin").mkdir()
    (logs / "bin" / "nox").symlink_to(pathlib.Path(sys.executable).parent.resolve() / "nox")

    def lane(name):
        """The lane's steps in turn, each timed, into its own log and dist folder, to the first failure."""
        env = os.environ | {"DIST": str(logs / f"{name}-dist"), "PATH": f"{(logs / 'bin').resolve()}:{os.environ['PATH']}"}
        with open(logs / f"{name}.log", "w") as log:
            for step in steps(name):
                begun = time.monotonic()
                print(f"[{name}, {time.strftime('%T')}] {step}", flush=True)
                print(f"=== {step}", file=log, flush=True)
                failed = subprocess.run(["bash", "-c", step], stdout=log, stderr=subprocess.STDOUT, env=env).returncode
                outcome = f"{'FAILED' if failed else 'done'} in {time.monotonic() - begun:.0f} s: {step}"
                print(f"=== {outcome}", file=log, flush=True)
                print(f"[{name}, {time.strftime('%T')}] {outcome}", flush=True)
                if failed:
                    tail = (logs / f"{name}.log").read_text(errors="replace").splitlines()[-40:]
                    print("\n".join(f"    {line}" for line in [f"the end of {log.name}:", *tail]), flush=True)
                    return False
        return True

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        passed = all(list(pool.map(lane, ["first", "second"])))
    for name in ("second", "first"):
        print((logs / f"{name}.log").read_text(errors="replace"))
    if passed:
        check_wheels(session, wheel_tools(session), sorted(logs.glob("*-dist/*.whl")))
    print(f"=== all: {time.monotonic() - started:.0f} s")
    if not passed:
        session.error("a lane failed")
