"""What can be checked here of the wheels that .github/workflows/wheels.yml
builds on other platforms' own runners: the workflow passes actionlint, and
each of its jobs, run with that job's settings by the cibuildwheel it
installs, lists the wheels it would build. Together they must build every
supported CPython on every target once, and nothing else.

    python tools/check_workflow.py    (in a venv with PyYAML and actionlint)

The CPythons are targets.toml's rows, the platforms its [runners]. Each
cibuildwheel release the workflow names gets a venv of its own,
build/venvs/cibuildwheel-VERSION, made on first use.
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
PYTHONS = ["cp" + version.replace(".", "") for version in TABLE["pythons"]]
TARGETS = TABLE["runners"]["platforms"]


def cibuildwheel(version):
    where = ROOT / "build" / "venvs" / f"cibuildwheel-{version}"
    program = where / "bin" / "cibuildwheel"
    if not program.exists():
        # Filled by this venv's pip, which saves each new venv a pip of its own.
        venv.create(where)
        subprocess.run([sys.executable, "-m", "pip", "--python", where / "bin" / "python",
                        "install", "-q", f"cibuildwheel=={version}"], check=True)
    return version, program


def jobs(workflow):
    """Each job of each matrix as (job, its matrix values, its cibuildwheel steps)."""
    for job in workflow["jobs"].values():
        matrix = job.get("strategy", {}).get("matrix", {})
        assert not {"include", "exclude"} & matrix.keys(), "only plain products are evaluated here"
        for values in itertools.product(*matrix.values()):
            context = dict(zip(matrix, values))
            steps = [step for step in job["steps"] if "cibuildwheel" in str(step.get("run", ""))]
            yield job, context, steps


def evaluate(text, context):
    """Replaces each ${{ matrix.A.B }} in `text` with its value."""
    def value(found):
        names = found[1].split(".")
        assert names[0] == "matrix", found[0]
        item = context
        for name in names[1:]:
            item = item[name]
        return str(item)
    return re.sub(r"\$\{\{\s*([\w.]+)\s*\}\}", value, str(text))


def main():
    actionlint = pathlib.Path(sys.executable).parent / "actionlint"
    lint = subprocess.run([actionlint, WORKFLOW], capture_output=True, text=True)
    print(lint.stdout + lint.stderr, end="")
    if lint.returncode != 0:
        sys.exit("the workflow does not pass actionlint")
    print(f"actionlint: {WORKFLOW.relative_to(ROOT)} passes")

    workflow = yaml.safe_load(WORKFLOW.read_text())
    listings = []
    for job, context, steps in jobs(workflow):
        install = next(step for step in steps if "pip install" in step["run"])
        version = re.search(r"cibuildwheel==([\w.]+)", evaluate(install["run"], context))[1]
        build = next(step for step in steps if "pip install" not in step["run"])
        env = {key: value for key, value in os.environ.items() if not key.startswith("CIBW_")}
        env.update({key: evaluate(value, context) for key, value in build.get("env", {}).items()})
        listings.append((evaluate(job["runs-on"], context), version, env))

    def listed(runner, version, env):
        done = subprocess.run([programs[version], "--print-build-identifiers"], cwd=ROOT, env=env,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return runner, version, done.stdout.split()

    built = []
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        programs = dict(pool.map(cibuildwheel, {version for _, version, _ in listings}))
        for runner, version, identifiers in pool.map(lambda job: listed(*job), listings):
            print(f"{runner} (cibuildwheel {version}): {' '.join(identifiers) or 'nothing'}")
            built += identifiers

    expected = {f"{python}-{target}" for python in PYTHONS for target in TARGETS}
    twice = sorted({name for name in built if built.count(name) > 1})
    missing, unexpected = sorted(expected - set(built)), sorted(set(built) - expected)
    if twice or missing or unexpected:
        sys.exit(f"built twice: {twice}\nmissing: {missing}\nunexpected: {unexpected}")
    print(f"{len(built)} wheels: {len(PYTHONS)} CPythons on each of {len(TARGETS)} targets")


if __name__ == "__main__":
    main()
