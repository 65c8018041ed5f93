#!/usr/bin/env python3
"""Packs one module built elsewhere (cross-built for another platform) into a
wheel, with the type stubs and the metadata that the native build's wheel has.

    pack_wheel.py --module BUILT_FILE --ext-suffix .cp312-win_amd64.pyd \
        --tag cp312-cp312-win_amd64 --out dist

Prints the wheel's path. It checks nothing about the module itself: what the
tag promises (glibc symbol versions, DLL imports) is for the caller to check.
"""
import argparse
import base64
import hashlib
import pathlib
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs" / "zendrik-stubs" / "__init__.pyi"
# A fixed time for every entry, so that the same inputs give the same bytes.
ZIP_TIME = (2020, 1, 1, 0, 0, 0)


def core_metadata(project, readme):
    fields = [("Metadata-Version", "2.1"), ("Name", project["name"]),
              ("Version", project["version"]), ("Summary", project["description"])]
    fields += [("Keywords", ",".join(project.get("keywords", [])))]
    fields += [("Author", author["name"]) for author in project.get("authors", [])]
    if "text" in project.get("license", {}):
        fields.append(("License", project["license"]["text"]))
    fields += [("Classifier", c) for c in project.get("classifiers", [])]
    fields += [("Project-URL", f"{label}, {url}") for label, url in project.get("urls", {}).items()]
    fields.append(("Requires-Python", project["requires-python"]))
    for extra, requirements in project.get("optional-dependencies", {}).items():
        fields.append(("Provides-Extra", extra))
        fields += [("Requires-Dist", f'{r}; extra == "{extra}"') for r in requirements]
    fields.append(("Description-Content-Type", "text/markdown"))
    head = "".join(f"{key}: {value}\n" for key, value in fields)
    return f"{head}\n{readme}"


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def pack(module, ext_suffix, tag, out):
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    project = pyproject["project"]
    name, version = project["name"], project["version"]
    dist_info = f"{name}-{version}.dist-info"
    readme = (ROOT / project["readme"]).read_text(encoding="utf-8")
    files = {
        f"{name}{ext_suffix}": module.read_bytes(),
        "zendrik-stubs/__init__.pyi": STUBS.read_bytes(),
        f"{dist_info}/METADATA": core_metadata(project, readme).encode(),
        f"{dist_info}/WHEEL": (f"Wheel-Version: 1.0\nGenerator: zendrik pack_wheel.py\n"
                               f"Root-Is-Purelib: false\nTag: {tag}\n").encode(),
        f"{dist_info}/LICENSE": (ROOT / "LICENSE").read_bytes(),
    }
    record_name = f"{dist_info}/RECORD"
    record = "".join(record_line(n, d) for n, d in files.items()) + f"{record_name},,\n"
    files[record_name] = record.encode()

    out.mkdir(parents=True, exist_ok=True)
    wheel = out / f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for file_name, data in files.items():
            entry = zipfile.ZipInfo(file_name, ZIP_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = (0o755 if file_name.endswith(ext_suffix) else 0o644) << 16
            archive.writestr(entry, data)
    return wheel


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", type=pathlib.Path, required=True, help="the built module")
    parser.add_argument("--ext-suffix", required=True,
                        help="the module's file name after 'zendrik', e.g. .cp312-win_amd64.pyd")
    parser.add_argument("--tag", required=True, help="the wheel's tag, e.g. cp312-cp312-win_amd64")
    parser.add_argument("--out", type=pathlib.Path, required=True, help="the folder for the wheel")
    args = parser.parse_args()
    print(pack(args.module, args.ext_suffix, args.tag, args.out))


if __name__ == "__main__":
    main()
