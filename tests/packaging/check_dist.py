"""Check what `make dist` made: the wheel installs and works where nothing can
be built, and the sdist holds everything a build needs (what the wheel holds
is tools/check_wheels.py's to check).

Run by `make test-dist` with the build tools' interpreter:
    check_dist.py --python TARGET_PYTHON DIST_DIR
"""
import argparse
import pathlib
import platform
import subprocess
import sys
import tarfile
import tempfile
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[2]
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]


def run(*command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)
    if done.returncode != 0:
        sys.exit(f"{' '.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def only(paths, what):
    if len(paths) != 1:
        sys.exit(f"expected one {what}, found {[p.name for p in paths]}")
    return paths[0]


def check_installed_wheel(wheel, python, tmp):
    # No pip, no setuptools, no index: nothing in this environment can build.
    venv = tmp / "venv"
    run(python, "-m", "venv", "--without-pip", venv)
    target = venv / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", target, "install", "--quiet", "--no-index",
        "--no-deps", "--only-binary", ":all:", wheel)
    where = run(target, "-c", "import importlib.metadata, pathlib, zendrik; "
                "print(importlib.metadata.version('zendrik')); print(zendrik.__file__); "
                "print(sorted(p.name for p in pathlib.Path(zendrik.__file__).parent.iterdir()))",
                cwd=tmp).splitlines()
    if where[0] != VERSION:
        sys.exit(f"the installed wheel reports version {where[0]}, pyproject says {VERSION}")
    if not where[1].startswith(str(venv)):
        sys.exit(f"zendrik was imported from {where[1]}, not from the fresh environment")
    if "zendrik-stubs" not in where[2] or any(n in where[2] for n in ("pip", "setuptools")):
        sys.exit(f"unexpected site-packages: {where[2]}")
    for example in sorted((ROOT / "examples").glob("*.py")):
        out = run(target, example, cwd=tmp)
        if out != (ROOT / "tests" / "expected" / f"{example.stem}.txt").read_text():
            sys.exit(f"{example.name} printed other output from the installed wheel")
        print(f"ok: {example.name} from the installed wheel")


def check_sdist(sdist):
    names = {n.partition("/")[2] for n in tarfile.open(sdist).getnames()}
    for needed in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
                   "stubs/zendrik-stubs/__init__.pyi", "src/binding/exports.map",
                   "src/matrix/matrix.cpp", "docs/guide.md"):
        if needed not in names:
            sys.exit(f"{sdist.name} lacks {needed}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", required=True)
    parser.add_argument("dist", type=pathlib.Path)
    args = parser.parse_args()
    # cp313-cp313, or cp313-cp313t without the GIL
    tag = run(args.python, "-c", "import sys, sysconfig; print('cp%d%d-cp%d%d' % (sys.version_info[:2] * 2) "
              "+ ('t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''))").strip()
    # This machine's wheel: dist/ holds other platforms' too.
    wheel = only(sorted(args.dist.glob(f"zendrik-{VERSION}-{tag}-*_{platform.machine()}.whl")),
                 f"{tag} wheel")
    sdist = only(sorted(args.dist.glob(f"zendrik-{VERSION}.tar.gz")), "sdist")
    check_sdist(sdist)
    with tempfile.TemporaryDirectory() as tmp:
        check_installed_wheel(wheel, args.python, pathlib.Path(tmp))
    print(f"ok: {wheel.name} and {sdist.name}")


main()
