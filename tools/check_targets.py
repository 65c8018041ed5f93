"""Holds what is written elsewhere about the CPythons and platforms to
targets.toml: the README's platform table (made from it), the CPython ranges
that the README, the guide and the wheels workflow name, pyproject.toml's
classifiers, and the workflow itself: it passes actionlint, and its jobs, each
run with its settings by the cibuildwheel it installs, list together every
CPython of the table (and a free-threaded one of each from the table's
free-threaded-from) on every runner platform once, and nothing else.

    python tools/check_targets.py [--write]   (--write: rewrite the README's table)

Runs in a venv with PyYAML and actionlint; each cibuildwheel release the
workflow names gets a venv of its own, build/venvs/cibuildwheel-VERSION.
"""
import concurrent.futures
import itertools
import os
import pathlib
import re
import subprocess
import sys
import tomllib
import venv

import yaml

ROOT = pathlib.Path(__file__).resolve().parent.parent
WORKFLOW = ROOT / ".github" / "workflows" / "wheels.yml"
TABLE = tomllib.loads((ROOT / "targets.toml").read_text(encoding="utf-8"))
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
PYTHONS, PLATFORMS = TABLE["pythons"], TABLE["platforms"]
minor = lambda version: int(version.split(".")[1].removesuffix("t"))
GIL = sorted((version for version in PYTHONS if not version.endswith("t")), key=minor)
FREE_THREADED = sorted({version for version in PYTHONS if version.endswith("t")} | {
    f"{version}t" for version in GIL if minor(version) >= minor(TABLE["runners"]["free-threaded-from"])}, key=minor)
RANGE = f"{GIL[0]} to {GIL[-1]}"


def readme_table():
    rows = ["| Python | Platform | Install | Built | Runs in (`nox -s environments`) | Tested by |",
            "| --- | --- | --- | --- | --- | --- |"]
    for platform, spec in PLATFORMS.items():
        versions = [version for version, row in PYTHONS.items() if platform in row]
        where = spec["name"] + (f", glibc 2.{spec['wheel'].split('_')[2]} or later"
                                if spec.get("wheel", "").startswith("manylinux_2_") else "")
        install = f"wheel (`{spec['wheel']}`)" if "wheel" in spec else "sdist"
        environments = {}
        for version in versions:
            environments.setdefault(PYTHONS[version][platform], []).append(version)
        places = ", ".join(f"`{name}` ({', '.join(names)})" for name, names in environments.items())
        rows.append(f"| CPython {', '.join(versions)} | {where} | {install} | {spec['built']} | {places} "
                    f"| {spec['tested']} |")
    runners = ", ".join(f"`{name}`" for name in TABLE["runners"]["platforms"])
    rows.append(f"| CPython {', '.join(sorted(GIL + FREE_THREADED, key=minor))} | any other, and all of these "
                f"| sdist; wheels from `.github/workflows/wheels.yml` | by cibuildwheel, with each platform's own "
                f"toolchain | each platform's own runner: {runners} | there, by the whole suite; here "
                f"`nox -s check-targets` lints the workflow and lists the wheels it would build |")
    return "\n".join(rows) + "\n"


def check_readme(write):
    path = ROOT / "README.md"
    before, start, rest = path.read_text(encoding="utf-8").partition("<!-- targets.toml: begin -->\n")
    table, end, after = rest.partition("<!-- targets.toml: end -->\n")
    if table != readme_table():
        if not write:
            return ["README.md's platform table is not targets.toml's: run `nox -s check-targets -- --write`"]
        path.write_text(before + start + readme_table() + end + after, encoding="utf-8")
        print("README.md: the platform table rewritten from targets.toml")
    return []


def check_words():
    faults = []
    for path in (ROOT / "README.md", ROOT / "docs" / "guide.md", WORKFLOW):
        for found in re.findall(r"3\.\d+ to 3\.\d+", path.read_text(encoding="utf-8")):
            if found != RANGE:
                faults.append(f"{path.relative_to(ROOT)} says {found}, targets.toml {RANGE}")
    free = f"{', '.join(FREE_THREADED[:-1])} and {FREE_THREADED[-1]}"
    if f"free-threaded {free}" not in " ".join(WORKFLOW.read_text().replace("#", "").split()):
        faults.append(f"{WORKFLOW.relative_to(ROOT)}'s header does not name the free-threaded {free}")
    classifiers = {c.rpartition(":: ")[2] for c in PYPROJECT["project"]["classifiers"]
                   if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)}
    if classifiers != set(GIL):
        faults.append(f"pyproject.toml's classifiers name CPython {sorted(classifiers, key=minor)}, not {GIL}")
    return faults


def cibuildwheel(version):
    where = ROOT / "build" / "venvs" / f"cibuildwheel-{version}"
    program = where / "bin" / "cibuildwheel"
    if not program.exists():
        # Filled by this venv's pip, which saves each new venv a pip of its own.
        venv.create(where)
        subprocess.run([sys.executable, "-m", "pip", "--python", where / "bin" / "python",
                        "install", "-q", f"cibuildwheel=={version}"], check=True)
    return version, program


def evaluate(text, context):
    """Replaces each ${{ matrix.A.B }} in TEXT with its value."""
    def value(found):
        names = found[1].split(".")
        assert names[0] == "matrix", found[0]
        item = context
        for name in names[1:]:
            item = item[name]
        return str(item)
    return re.sub(r"\$\{\{\s*([\w.]+)\s*\}\}", value, str(text))


def check_workflow():
    lint = subprocess.run([pathlib.Path(sys.executable).parent / "actionlint", WORKFLOW], capture_output=True, text=True)
    print(lint.stdout + lint.stderr, end="")
    if lint.returncode != 0:
        return ["the workflow does not pass actionlint"]
    print(f"actionlint: {WORKFLOW.relative_to(ROOT)} passes")
    listings = []
    for job in yaml.safe_load(WORKFLOW.read_text())["jobs"].values():
        matrix = job.get("strategy", {}).get("matrix", {})
        assert not {"include", "exclude"} & matrix.keys(), "only plain products are evaluated here"
        for values in itertools.product(*matrix.values()):
            context = dict(zip(matrix, values))
            steps = [step for step in job["steps"] if "cibuildwheel" in str(step.get("run", ""))]
            install = next(step for step in steps if "pip install" in step["run"])
            build = next(step for step in steps if "pip install" not in step["run"])
            env = {key: value for key, value in os.environ.items() if not key.startswith("CIBW_")}
            env |= {key: evaluate(value, context) for key, value in build.get("env", {}).items()}
            listings.append((evaluate(job["runs-on"], context),
                             re.search(r"cibuildwheel==([\w.]+)", evaluate(install["run"], context))[1], env))
    built = []
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        programs = dict(pool.map(cibuildwheel, {version for _, version, _ in listings}))
        listed = lambda job: (job, subprocess.run([programs[job[1]], "--print-build-identifiers"], cwd=ROOT,
                                                  env=job[2], capture_output=True, text=True, check=True).stdout.split())
        for (runner, version, _), identifiers in pool.map(listed, listings):
            print(f"{runner} (cibuildwheel {version}): {' '.join(identifiers) or 'nothing'}")
            built += identifiers
    expected = {f"cp{version.replace('.', '')}-{target}" for version in GIL + FREE_THREADED
                for target in TABLE["runners"]["platforms"]}
    twice = sorted({name for name in built if built.count(name) > 1})
    missing, unexpected = sorted(expected - set(built)), sorted(set(built) - expected)
    if twice or missing or unexpected:
        return [f"the workflow builds twice: {twice}; misses: {missing}; builds beyond the table: {unexpected}"]
    print(f"{len(built)} wheels: {len(GIL + FREE_THREADED)} CPythons on each of "
          f"{len(TABLE['runners']['platforms'])} runner platforms")
    return []


if __name__ == "__main__":
    faults = check_readme("--write" in sys.argv[1:]) + check_words() + check_workflow()
    if faults:
        sys.exit("\n".join(faults))
    print("README.md, docs/guide.md, pyproject.toml and the wheels workflow hold to targets.toml")
